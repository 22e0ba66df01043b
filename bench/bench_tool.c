/* The tool the benchmarks pack into the launcher, and a copy loop to compare the relay
 * with. Plain C on libc alone, so that it starts the same way packed or run directly:
 *   quiet                  prints "tool start=NS end=NS" (CLOCK_MONOTONIC) and ends
 *   flood BYTES PIECE      writes BYTES bytes of text lines in writes of PIECE bytes
 *   cat PIECE              copies its standard input to its standard output in reads
 *                          of PIECE bytes, one write per read */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { kLineBytes = 64, kMaxPieceBytes = 1 << 20 };

static long long NowNs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static int WriteAll(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(STDOUT_FILENO, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    data += n;
    size -= (size_t)n;
  }
  return 0;
}

static size_t PieceBytes(const char* text) {
  long piece = strtol(text, NULL, 10);
  if (piece <= 0 || piece > kMaxPieceBytes) {
    fprintf(stderr, "piece size out of range: %s\n", text);
    exit(2);
  }
  return (size_t)piece;
}

static int Quiet(long long start) {
  char line[96];
  int length = snprintf(line, sizeof line, "tool start=%lld end=%lld\n", start, NowNs());
  return WriteAll(line, (size_t)length) == 0 ? 0 : 1;
}

/* Lines of one repeated letter: nothing in them looks like a prompt. */
static int Flood(long long bytes, size_t piece) {
  char* buffer = malloc(piece);
  if (buffer == NULL) return 1;
  for (size_t i = 0; i < piece; ++i) buffer[i] = (i % kLineBytes == kLineBytes - 1) ? '\n' : 'x';
  int status = 0;
  while (bytes > 0 && status == 0) {
    size_t n = bytes < (long long)piece ? (size_t)bytes : piece;
    status = WriteAll(buffer, n);
    bytes -= (long long)n;
  }
  free(buffer);
  return status == 0 ? 0 : 1;
}

static int Cat(size_t piece) {
  char* buffer = malloc(piece);
  if (buffer == NULL) return 1;
  int status = 0;
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, piece);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) status = 1;
    if (n <= 0) break;
    if (WriteAll(buffer, (size_t)n) != 0) {
      status = 1;
      break;
    }
  }
  free(buffer);
  return status;
}

int main(int argc, char** argv) {
  long long start = NowNs();
  if (argc >= 2 && strcmp(argv[1], "quiet") == 0) return Quiet(start);
  if (argc == 4 && strcmp(argv[1], "flood") == 0) return Flood(atoll(argv[2]), PieceBytes(argv[3]));
  if (argc == 3 && strcmp(argv[1], "cat") == 0) return Cat(PieceBytes(argv[2]));
  fprintf(stderr, "usage: %s quiet | flood BYTES PIECE | cat PIECE\n", argv[0]);
  return 2;
}
