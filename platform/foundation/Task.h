// NSTask stand-in: runs one child program and waits for it.
//
// The child inherits the caller's working directory, environment, signal mask and every open
// descriptor without close-on-exec, in particular standard input, output and error: nothing is
// redirected. One object runs one child; it is not thread-safe and is used by one thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace foundation {

class NSTask {
 public:
  enum class TerminationReason { kNotRun, kExit, kUncaughtSignal, kLaunchFailed };

  NSTask() = default;
  NSTask(const NSTask&) = delete;
  NSTask& operator=(const NSTask&) = delete;
  // Waits for a child that was launched and not yet waited for, so that none is left a zombie.
  ~NSTask();

  void setLaunchPath(std::string path) { launchPath_ = std::move(path); }
  // The arguments after the program name; the child's argv[0] is the launch path.
  void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }

  // Starts the child. Returns false, with launchError() set to the errno value, when the program
  // cannot be started (missing, not executable, no resources); the task then counts as ended
  // with reason kLaunchFailed. Call at most once.
  bool launch();

  // Blocks until the child has ended. No time-out. Returns at once when nothing runs.
  void waitUntilExit();

  // Valid after waitUntilExit. kExit: the exit status (0..255). kUncaughtSignal: the negated
  // signal number (-9 for SIGKILL), so it never collides with an exit status. kLaunchFailed: 127,
  // the status a shell gives a command it cannot run.
  int terminationStatus() const { return status_; }
  TerminationReason terminationReason() const { return reason_; }
  int launchError() const { return launchError_; }
  pid_t processIdentifier() const { return pid_; }

 private:
  std::string launchPath_;
  std::vector<std::string> arguments_;
  pid_t pid_ = -1;
  bool running_ = false;
  int status_ = 0;
  int launchError_ = 0;
  TerminationReason reason_ = TerminationReason::kNotRun;
};

}  // namespace foundation
