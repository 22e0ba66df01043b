/* The tool of the launcher's end-to-end tests: packed as "ormivane_tool.exe", it runs
   its arguments as commands, in order, and reports what it sees of the world the
   launcher made for it. Written in C and unbuffered, so that every report reaches the
   launcher's relay as soon as it is written.

     print:TEXT     TEXT and a newline
     args           "argc N", then "arg I HEX" for every argument (its bytes in hex)
     env:NAME       "NAME=VALUE" or "NAME unset"
     sigchld        "sigchld ignored" or "sigchld default": its SIGCHLD disposition
     cwd            "cwd PATH"
     pid            "pid N": its own process id
     modes          "dir MODE" of its own directory, then "mode NAME MODE" for each entry
     stderr         "stderr null" when standard error is /dev/null; writes to it too
     stdin          "stdin open" while nothing is readable and the input is not closed
     password       the password prompt in one write, then "password [ANSWER]"
     password-size  the password prompt in one write, then "password N bytes": the
                    length of the answer, which may be longer than a report line
     prompt         the password prompt in one write, and no wait for an answer
     code           the two-factor prompt in one write, then "code [ANSWER]"
     both           both prompts in one write, then the two answers
     code-twice     the two-factor prompt twice in one write, then "code [ANSWER]"
     split          the password prompt in two writes, the second one only after the
                    first has been read by the launcher, then "password [ANSWER]"
     close-stdin    closes its standard input
     big:N          N bytes of numbered lines
     copy-dir:DEST  copies every file of its own directory into DEST, and writes that
                    directory's path into DEST/.from (for runs whose console is closed)
     kill-parent:N  sends signal N to the launcher's main thread
     exit:N         ends with status N
     signal:N       ends by signal N */
/* Large inode numbers and sizes on a 32-bit build. */
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

/* Under the user-mode emulator the leak checker's stop-the-world step never returns. */
#if defined(__SANITIZE_ADDRESS__)
const char* __asan_default_options(void);
const char* __asan_default_options(void) { return "detect_leaks=0"; }
#endif

static const char kPasswordPrompt[] = "Enter password for user: ";
static const char kCodePrompt[] = "2FA verification: Enter the 6-digit code displayed on your authenticator app";

/* A lost answer must end the test, not hang it. */
enum { kAnswerWaitMs = 120000, kSplitAt = 10, kLineBytes = 4096 };

static void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) exit(90);
    data += n;
    size -= (size_t)n;
  }
}

static void Say(const char* format, ...) {
  char line[kLineBytes];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (n < 0) exit(91);
  if ((size_t)n > sizeof line - 2) n = (int)sizeof line - 2;
  line[n] = '\n';
  WriteAll(1, line, (size_t)n + 1);
}

/* One line of standard input without its newline; "<none>" when nothing came. */
static void ReadAnswer(char* out, size_t capacity) {
  size_t used = 0;
  for (;;) {
    struct pollfd in = {0, POLLIN, 0};
    if (poll(&in, 1, kAnswerWaitMs) <= 0) break;
    char c;
    ssize_t n = read(0, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (c == '\n') {
      out[used] = '\0';
      return;
    }
    if (used + 1 < capacity) out[used++] = c;
  }
  snprintf(out, capacity, "<none>");
}

/* The length of one line of standard input without its newline; -1 when none came. */
static long AnswerLength(void) {
  long length = 0;
  for (;;) {
    struct pollfd in = {0, POLLIN, 0};
    if (poll(&in, 1, kAnswerWaitMs) <= 0) return -1;
    char buffer[kLineBytes];
    ssize_t n = read(0, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    char* end = memchr(buffer, '\n', (size_t)n);
    if (end != NULL) return length + (end - buffer);
    length += n;
  }
}

static void Report(const char* what) {
  char answer[kLineBytes];
  ReadAnswer(answer, sizeof answer);
  Say("%s [%s]", what, answer);
}

static void PrintArgs(int argc, char** argv) {
  Say("argc %d", argc - 1);
  for (int i = 1; i < argc; ++i) {
    char hex[kLineBytes];
    size_t len = strlen(argv[i]);
    if (len * 2 + 1 > sizeof hex) len = (sizeof hex - 1) / 2;
    for (size_t k = 0; k < len; ++k) sprintf(hex + 2 * k, "%02x", (unsigned char)argv[i][k]);
    hex[2 * len] = '\0';
    Say("arg %d %s", i, hex);
  }
}

static void PrintModes(const char* self) {
  char dir[kLineBytes];
  snprintf(dir, sizeof dir, "%s", self);
  char* slash = strrchr(dir, '/');
  if (slash == NULL) return;
  *slash = '\0';
  struct stat st;
  if (stat(dir, &st) == 0) Say("dir %04o", (unsigned)(st.st_mode & 07777));
  struct dirent** entries = NULL;
  int count = scandir(dir, &entries, NULL, alphasort);
  for (int i = 0; i < count; ++i) {
    char path[kLineBytes * 2];
    snprintf(path, sizeof path, "%s/%s", dir, entries[i]->d_name);
    if (entries[i]->d_name[0] != '.' && lstat(path, &st) == 0)
      Say("mode %s %04o", entries[i]->d_name, (unsigned)(st.st_mode & 07777));
    free(entries[i]);
  }
  free(entries);
}

static void CheckStderr(void) {
  struct stat err, null;
  int same = fstat(2, &err) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(err.st_mode) &&
             err.st_rdev == null.st_rdev;
  Say("stderr %s", same ? "null" : "other");
  static const char kText[] = "probe wrote this to standard error\n";
  if (write(2, kText, sizeof kText - 1) < 0) Say("stderr write failed");
}

static void CheckStdin(void) {
  struct pollfd in = {0, POLLIN, 0};
  int ready = poll(&in, 1, 0);
  if (ready == 0)
    Say("stdin open");
  else if (in.revents & POLLHUP)
    Say("stdin closed");
  else
    Say("stdin readable");
}

/* Waits until the launcher has read everything written so far, so that the next write
   arrives as a piece of its own. */
static void WaitUntilRead(void) {
  for (;;) {
    int pending = 0;
    if (ioctl(1, FIONREAD, &pending) != 0 || pending == 0) return;
    usleep(1000);
  }
}

static int CopyFile(const char* from, const char* to) {
  FILE* in = fopen(from, "rb");
  if (in == NULL) return -1;
  FILE* out = fopen(to, "wb");
  if (out == NULL) {
    fclose(in);
    return -1;
  }
  char buffer[kLineBytes];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) fwrite(buffer, 1, n, out);
  fclose(in);
  return fclose(out);
}

static void CopyDir(const char* self, const char* dest) {
  char dir[kLineBytes];
  snprintf(dir, sizeof dir, "%s", self);
  char* slash = strrchr(dir, '/');
  if (slash == NULL) exit(92);
  *slash = '\0';
  char path[kLineBytes * 2], copy[kLineBytes * 2];
  snprintf(copy, sizeof copy, "%s/.from", dest);
  FILE* from = fopen(copy, "w");
  if (from == NULL) exit(92);
  fprintf(from, "%s/", dir);
  fclose(from);
  DIR* d = opendir(dir);
  if (d == NULL) exit(92);
  struct dirent* e;
  while ((e = readdir(d)) != NULL) {
    if (e->d_name[0] == '.') continue;
    snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
    snprintf(copy, sizeof copy, "%s/%s", dest, e->d_name);
    if (CopyFile(path, copy) != 0) exit(92);
  }
  closedir(d);
}

static void Big(long bytes) {
  char line[32];
  long line_number = 0;
  while (bytes > 0) {
    int n = snprintf(line, sizeof line, "line %09ld\n", ++line_number);
    if (n > bytes) n = (int)bytes;
    WriteAll(1, line, (size_t)n);
    bytes -= n;
  }
}

int main(int argc, char** argv) {
  if (argc == 1) Say("argc 0");
  for (int i = 1; i < argc; ++i) {
    const char* command = argv[i];
    if (strncmp(command, "print:", 6) == 0) {
      Say("%s", command + 6);
    } else if (strcmp(command, "args") == 0) {
      PrintArgs(argc, argv);
    } else if (strncmp(command, "env:", 4) == 0) {
      const char* value = getenv(command + 4);
      if (value != NULL)
        Say("%s=%s", command + 4, value);
      else
        Say("%s unset", command + 4);
    } else if (strcmp(command, "sigchld") == 0) {
      struct sigaction current;
      sigaction(SIGCHLD, NULL, &current);
      Say("sigchld %s", current.sa_handler == SIG_IGN ? "ignored" : "default");
    } else if (strcmp(command, "pid") == 0) {
      Say("pid %d", (int)getpid());
    } else if (strcmp(command, "cwd") == 0) {
      char path[kLineBytes];
      Say("cwd %s", getcwd(path, sizeof path) != NULL ? path : "<unknown>");
    } else if (strcmp(command, "modes") == 0) {
      PrintModes(argv[0]);
    } else if (strcmp(command, "stderr") == 0) {
      CheckStderr();
    } else if (strcmp(command, "stdin") == 0) {
      CheckStdin();
    } else if (strcmp(command, "password") == 0) {
      WriteAll(1, kPasswordPrompt, sizeof kPasswordPrompt - 1);
      Report("password");
    } else if (strcmp(command, "password-size") == 0) {
      WriteAll(1, kPasswordPrompt, sizeof kPasswordPrompt - 1);
      Say("password %ld bytes", AnswerLength());
    } else if (strcmp(command, "prompt") == 0) {
      WriteAll(1, kPasswordPrompt, sizeof kPasswordPrompt - 1);
    } else if (strcmp(command, "code") == 0) {
      WriteAll(1, kCodePrompt, sizeof kCodePrompt - 1);
      WriteAll(1, "\n", 1);
      Report("code");
    } else if (strcmp(command, "both") == 0) {
      char both[sizeof kPasswordPrompt + sizeof kCodePrompt + 2];
      snprintf(both, sizeof both, "%s\n%s\n", kPasswordPrompt, kCodePrompt);
      WriteAll(1, both, strlen(both));
      Report("password");
      Report("code");
    } else if (strcmp(command, "code-twice") == 0) {
      char twice[2 * sizeof kCodePrompt + 2];
      snprintf(twice, sizeof twice, "%s\n%s\n", kCodePrompt, kCodePrompt);
      WriteAll(1, twice, strlen(twice));
      Report("code");
    } else if (strcmp(command, "split") == 0) {
      WriteAll(1, kPasswordPrompt, kSplitAt);
      WaitUntilRead();
      WriteAll(1, kPasswordPrompt + kSplitAt, sizeof kPasswordPrompt - 1 - kSplitAt);
      Report("password");
    } else if (strcmp(command, "close-stdin") == 0) {
      close(0);
    } else if (strncmp(command, "big:", 4) == 0) {
      Big(atol(command + 4));
    } else if (strncmp(command, "copy-dir:", 9) == 0) {
      CopyDir(argv[0], command + 9);
    } else if (strncmp(command, "kill-parent:", 12) == 0) {
      /* Where the kernel puts a signal for the launcher anyway (its other threads block
         every signal); an emulator might hand one for the process to a blocking thread. */
      pid_t parent = getppid();
      syscall(SYS_tgkill, parent, parent, atoi(command + 12));
    } else if (strncmp(command, "exit:", 5) == 0) {
      return atoi(command + 5);
    } else if (strncmp(command, "signal:", 7) == 0) {
      raise(atoi(command + 7));
    }
  }
  return 0;
}
