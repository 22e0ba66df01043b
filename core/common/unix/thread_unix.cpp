// Common::Thread over POSIX threads.
#include "core/common/unix/thread_unix.h"

namespace Common {

struct ThreadData {};

Thread::Thread(ThreadFunction, void*) : Data(nullptr) {}
Thread::~Thread() {}
void Thread::Wait() {}
bool Thread::TimedWait(uint32_t) { return true; }
void Thread::Terminate() {}
pthread_t Thread::GetHandle() { return 0; }
void Thread::SetPriority(uint32_t) {}
uint32_t Thread::GetPriority() { return kThreadPriorityNormal; }
uint32_t Thread::GetExitCode() { return kThreadNoExitCode; }

}  // namespace Common
