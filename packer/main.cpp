// The launcher: unpacks the carried tool and its libraries, runs the tool with the
// launcher's arguments, echoes its output and answers its prompts, maps its exit status.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/common/error_display.h"
#include "core/file/unix/posixsp.h"
#include "enterprise/common/child_process/process_creator_posix.h"
#include "packer/command_line.h"
#include "packer/console_relay.h"
#include "packer/load_files.h"

namespace {

constexpr Common::SourceFile kSource{Common::Locations::PackerMain, "packer/main.cpp"};
constexpr Common::Site kExecuteFailedSite{"main", 274};
// An answer that could not be taken ends the run: the tool waits for it in vain.
constexpr Common::Site kAnswerTooLongSite{"Write", 318};
constexpr Common::Site kAnswerNoMemorySite{"Write", 319};

constexpr int kStatusSuccess = 0;
constexpr int kStatusQuiet = 6;
constexpr int kStatusKorvelMissing = 7;
constexpr int kStatusNotExited = -1;  // ended by a signal
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

class DataStream;

// What the relay thread must reach: the writer of the tool's standard input.
struct LauncherState {
  std::string toolPath;  // the temporary directory's path, then "ormivane_tool.exe"
  std::string args;      // the launcher's arguments joined by single blanks
  std::string cwd;       // the current directory, with its trailing "/"
  ChildProcess::Parameters params;
  std::shared_ptr<ChildProcess::Control> control;
  std::shared_ptr<DataStream> stream;
  Common::Error answerFailure;    // why the relay ended the tool, which then ends the run
  std::unique_ptr<o_file> input;  // destroyed first at exit: closes the tool's input
  std::mutex mutex;               // guards control, answerFailure and input
};

LauncherState& GetLauncherState() {
  static LauncherState state;
  return state;
}

std::string BuildCommandLine(const LauncherState& state) { return state.toolPath + " " + state.args; }

// Sends one answer and its newline to the tool. A failure stays in the writer, which
// then ignores every later answer; the relay must go on whatever happens.
void Answer(const std::u16string& word) {
  std::string text = Common::ToUtf8(word.c_str());
  LauncherState& state = GetLauncherState();
  o_file* input = nullptr;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    input = state.input.get();
  }
  if (input == nullptr) return;
  Write(*input, text.data(), static_cast<uint32_t>(text.size()));
  Write(*input, "\n", 1);
}

// The run cannot go on without the answer: the tool is ended through its control, which
// signals it only while it is not reaped, and main reports `error` once the relay has
// ended too, unless the tool had exited by itself. Never throws, since the relay must not.
void EndTool(const Common::Error& error) noexcept {
  LauncherState& state = GetLauncherState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.answerFailure = error;
  if (state.control) state.control->Kill();
}

// The sink of the tool's standard output: echoes each piece at once and answers the
// prompts it finds. Runs on the relay thread only.
class DataStream : public o_file {
 public:
  void Write(const void* data, uint32_t size, uint32_t* written) override {
    *written = size;
    std::string_view piece(static_cast<const char*>(data), size);
    std::cout.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    std::cout.flush();
    Launcher::PromptsFound found = scanner.Scan(piece);
    if (found.Password) TakeAnswer(Launcher::ReadPassword());
    if (found.Code) TakeAnswer(Launcher::Read2FACode());
  }

 private:
  // After a failed answer the tool is being ended: nothing more is read or sent.
  void TakeAnswer(const Launcher::Answer& answer) {
    if (ended) return;
    Launcher::AnswerStatus status = answer.Status;
    if (status == Launcher::AnswerStatus::Read) {
      try {
        ::Answer(answer.Word);
        return;
      } catch (const std::bad_alloc&) {
        status = Launcher::AnswerStatus::NoMemory;
      }
    }
    ended = true;
    if (status == Launcher::AnswerStatus::TooLong)
      EndTool(Common::MakeError(kSource.At(kAnswerTooLongSite), Common::CHILD_COMMUNICATION_ABORTED));
    else
      EndTool(Common::MakeError(kSource.At(kAnswerNoMemorySite), Common::FILE_OUT_OF_MEMORY));
  }

  Launcher::PromptScanner scanner;
  bool ended = false;
};

// A closed standard descriptor would be taken by the next file opened: the random device
// would become the input the answers are read from, the archive or an unpacked file the
// output the traces go to. Each closed one is put on /dev/null before anything else opens
// a descriptor; open() gives the lowest free number, which is the one being filled.
void OpenStandardDescriptors() {
  constexpr int kLastStandardDescriptor = STDERR_FILENO;
  for (int fd = STDIN_FILENO; fd <= kLastStandardDescriptor; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    // Running on with the hole would hand it to the next file opened.
    if (null != fd) std::abort();
  }
}

std::string JoinArguments(int argc, char** argv) {
  std::string args;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) args.push_back(' ');
    args += argv[i];
  }
  return args;
}

std::string CurrentDirectory() {
  std::unique_ptr<rio_dir> current(OpenCurrentDir());
  const char16_t* path = current->GetDirPath();
  return Common::ToUtf8(path);
}

void StartTool(LauncherState& state) {
  ChildProcess::Parameters& params = state.params;
  // Byte for byte: arguments that are not strict UTF-8 must reach the tool unchanged.
  params.CommandLine = Launcher::ToCommandLineUtf16(BuildCommandLine(state));
  params.WorkingDirectory = Common::ToUtf16(state.cwd.c_str());
  params.UseShell = false;
  params.MergeStderr = false;
  state.stream = std::make_shared<DataStream>();
  params.Stdin = ChildProcess::InputHandle::Pipe();
  params.Stdout = ChildProcess::OutputHandle::Pipe(state.stream);
  params.Stderr = ChildProcess::OutputHandle::NullDevice();
  // Held until the writer is stored, so an answer never finds it missing.
  std::lock_guard<std::mutex> lock(state.mutex);
  state.control = ChildProcess::Create(params);
  state.input = state.control->TakeInput();
}

int MapToolStatus(int status, const LauncherState& state) {
  switch (status) {
    case kStatusSuccess:
      return kExitSuccess;
    case kStatusKorvelMissing:
      std::cout << "* Cannot proceed: " << "korvel executable missing" << std::endl;
      return kExitFailure;
    case kStatusQuiet:
      return kExitFailure;
    default:
      throw Common::MakeError(kSource.At(kExecuteFailedSite), Common::LAUNCHER_EXECUTE_FAILED,
                              {Common::ToUtf16(BuildCommandLine(state).c_str())});
  }
}

// Everything after the banner. The holder lives until this returns or unwinds, so the
// directory is gone before the caller prints an error.
int Run(int argc, char** argv) {
  std::vector<std::string> unpackList = LoadFiles::UnpackList();
  std::cout << "Start unpacking..." << std::endl;
  auto holder = std::make_shared<LoadFiles::FilesHolder>(unpackList);
  std::string dir = Common::ToUtf8(holder->GetPath().c_str());
  std::string cwd = CurrentDirectory();
  std::string args = JoinArguments(argc, argv);

  LauncherState& state = GetLauncherState();
  state.toolPath = dir + "ormivane_tool.exe";
  state.args = args;
  state.cwd = cwd;
  std::cout << "Start executing..." << std::endl;
  std::cout << std::endl;

  StartTool(state);
  // Returns once the relay has delivered all of the tool's output.
  int status = state.control->Wait();
  {
    // A tool that exited by itself before the kill came ends the run by its own status.
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.answerFailure && status == kStatusNotExited) throw state.answerFailure;
  }
  return MapToolStatus(status, state);
}

// Started with SIGCHLD ignored, the launcher would have the kernel reap the tool and lose
// its exit status; reset before any thread exists.
void ResetChildSignal() {
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  sigaction(SIGCHLD, &standard, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  OpenStandardDescriptors();
  ResetChildSignal();
  Launcher::SetTerminalInputSignal(SIG_BLOCK);
  std::cout << "ormivane_tool packed" << std::endl;
  try {
    return Run(argc, argv);
  } catch (const Common::Error& error) {
    std::cout << Common::ToUtf8(Common::FormatError(error).c_str()) << std::endl;
    return kExitFailure;
  }
}
