#include "platform/foundation/Task.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace foundation {

NSTask::~NSTask() {
  waitUntilExit();
}

bool NSTask::launch() {
  std::vector<char*> argv;
  argv.reserve(arguments_.size() + 2);
  argv.push_back(launchPath_.data());
  for (auto& argument : arguments_) argv.push_back(argument.data());
  argv.push_back(nullptr);

  // glibc's posix_spawn reports a failed exec through its return value, so a missing program is
  // a launch failure here rather than a child that exits 127.
  pid_t pid = -1;
  int error = posix_spawn(&pid, launchPath_.c_str(), nullptr, nullptr, argv.data(), environ);
  if (error != 0) {
    launchError_ = error;
    status_ = 127;
    reason_ = TerminationReason::kLaunchFailed;
    return false;
  }
  pid_ = pid;
  running_ = true;
  return true;
}

void NSTask::waitUntilExit() {
  if (!running_) return;
  int wstatus = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &wstatus, 0);
  } while (r < 0 && errno == EINTR);
  running_ = false;
  if (r < 0) {
    // Someone else reaped the child (SIGCHLD ignored, or waited elsewhere): no status exists.
    status_ = 127;
    reason_ = TerminationReason::kLaunchFailed;
    launchError_ = errno;
    return;
  }
  if (WIFSIGNALED(wstatus)) {
    status_ = -WTERMSIG(wstatus);
    reason_ = TerminationReason::kUncaughtSignal;
  } else {
    status_ = WEXITSTATUS(wstatus);
    reason_ = TerminationReason::kExit;
  }
}

}  // namespace foundation
