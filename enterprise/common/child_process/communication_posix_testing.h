// Test seam of communication_posix.cpp: a moment inside CommunicationLogic::Start.
#pragma once

namespace ChildProcess {

// Called by Start on its own thread after the standard-output relay's thread has been made
// and before the standard-error relay's is (null: nothing), so a test can make memory run
// out between the two.
void SetBetweenRelayStartsHookForTesting(void (*hook)());

}  // namespace ChildProcess
