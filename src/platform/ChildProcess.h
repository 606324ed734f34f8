#pragma once
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace norvane {

// One outside program, started without a window of ours to share: standard input and
// output go nowhere, standard error to a file the caller names (or nowhere), no other
// descriptor of the service is inherited, and the child starts with no signal blocked.
// The owner waits for it with a deadline and may kill it; a child not yet reaped when its
// owner goes is killed and reaped later, so none is left running or as a zombie.
class TChildProcess {
 public:
  enum class TWaitResult { Finished, TimedOut };

  // AArgs[0] is the program's path. Throws std::system_error when it cannot be started
  // (a missing or non-executable program included).
  TChildProcess(const std::vector<std::string>& AArgs, const std::string& AStderrPath);
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Waits up to ATimeout for the program to end. Finished gives its exit code (128 plus
  // the signal's number when a signal ended it). A wait that fails throws std::system_error.
  TWaitResult WaitFor(std::chrono::milliseconds ATimeout, int& AExitCode);
  // Kills the program (it cannot refuse); WaitFor then sees it end.
  void Terminate();

 private:
  pid_t FPid = -1;
  int FPidFd = -1;  // readable once the child has ended, so the wait needs no polling
  bool FReaped = false;
};

}  // namespace norvane
