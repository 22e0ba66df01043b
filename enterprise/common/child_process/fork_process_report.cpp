// The launch report: what the parent reads on the status pipe, and the error that a
// failing child's record of errno and step becomes.
#include <unistd.h>

#include <cerrno>

#include "enterprise/common/child_process/fork_process_parts.h"

namespace ChildProcess {

using ForkParts::kSource;
using ForkParts::StatusReport;

namespace {

constexpr Common::Site kReadFailedSite{"GetResultFromPipe", 308};
constexpr Common::Site kShortReportSite{"GetResultFromPipe", 310};
constexpr Common::Site kOpenNullSite{"GetResultFromPipe", 319};
constexpr Common::Site kOpenStdinSite{"GetResultFromPipe", 322};
constexpr Common::Site kOpenStdoutSite{"GetResultFromPipe", 325};
constexpr Common::Site kOpenStderrSite{"GetResultFromPipe", 328};
constexpr Common::Site kDupSite{"GetResultFromPipe", 340};
constexpr Common::Site kChdirSite{"GetResultFromPipe", 343};
constexpr Common::Site kSetenvSite{"GetResultFromPipe", 346};
constexpr Common::Site kExecvpSite{"GetResultFromPipe", 349};
constexpr Common::Site kUnknownStepSite{"GetResultFromPipe", 353};

Common::Error BuildResultOfReport(const ForkContext& context, const StatusReport& report) {
  const ssize_t got = report.Got;
  const StatusRecord& record = report.Record;
  if (got == 0) return Common::NoError;
  if (got < 0) {
    Common::Error error = Common::MakeError(kSource.At(kReadFailedSite), Common::CHILD_COMMUNICATION_ABORTED);
    error.AddPosixError(report.Errno);
    return error;
  }
  if (static_cast<size_t>(got) < sizeof record)
    return Common::MakeError(kSource.At(kShortReportSite), Common::CHILD_COMMUNICATION_ABORTED);

  const std::vector<PathString>& argv = context.GetArgv();
  const int errnum = static_cast<int>(record.Errno);
  switch (record.Step) {
    case kStepOpenNullDevice:
      return MakeLaunchFileError(kSource.At(kOpenNullSite), argv, "open", errnum,
                                 PathString(u"/dev/null", "/dev/null"));
    case kStepOpenStdinFile:
      return MakeLaunchFileError(kSource.At(kOpenStdinSite), argv, "open", errnum, context.GetHandlePath(kStdInput));
    case kStepOpenStdoutFile:
      return MakeLaunchFileError(kSource.At(kOpenStdoutSite), argv, "open", errnum, context.GetHandlePath(kStdOutput));
    case kStepOpenStderrFile:
      return MakeLaunchFileError(kSource.At(kOpenStderrSite), argv, "open", errnum, context.GetHandlePath(kStdError));
    case kStepDupStdinFile:
    case kStepDupStdoutFile:
    case kStepDupStderrFile:
    case kStepDupNullStdin:
    case kStepDupNullStdout:
    case kStepDupNullStderr:
    case kStepMergeStderr:
    case kStepDupStdinPipe:
    case kStepDupStdoutPipe:
    case kStepDupStderrPipe:
      return MakeLaunchError(kSource.At(kDupSite), argv, "dup2", errnum);
    case kStepChdir:
      return MakeLaunchFileError(kSource.At(kChdirSite), argv, "chdir", errnum, context.GetWorkingDirectory());
    case kStepSetenv:
      return MakeLaunchError(kSource.At(kSetenvSite), argv, "setenv", errnum);
    case kStepExecvp:
      return MakeLaunchError(kSource.At(kExecvpSite), argv, "execvp", errnum);
    default:
      return MakeLaunchError(kSource.At(kUnknownStepSite), argv, "<unknown>", errnum);
  }
}

}  // namespace

StatusReport ForkParts::ReadStatusReport(int fd) {
  StatusReport report;
  // An interrupted read is no answer from the child: it says nothing about the launch.
  do {
    report.Got = read(fd, &report.Record, sizeof report.Record);
  } while (report.Got == -1 && errno == EINTR);
  report.Errno = errno;
  return report;
}

Common::Error ForkParts::ResultOfReport(const ForkContext& context, const StatusReport& report) noexcept {
  return ForkParts::OrOutOfMemory([&] { return BuildResultOfReport(context, report); });
}

Common::Error GetResultFromPipe(const ForkContext& context, int fd) {
  return ForkParts::ResultOfReport(context, ForkParts::ReadStatusReport(fd));
}

}  // namespace ChildProcess
