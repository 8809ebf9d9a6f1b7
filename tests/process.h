// Runs the real programs for end-to-end tests: spawn with arguments, output to files, wait
// with a bound, signal, kill on destruction.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/testing/TestSupport.h"

extern char** environ;

namespace e2e {

class Process {
 public:
  // Starts `argv`; stdout and stderr go to the given files.
  Process(std::vector<std::string> argv, const std::string& out, const std::string& err)
      : out_(out), err_(err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool started() const { return pid_ > 0; }
  void signal(int sig) {
    if (pid_ > 0 && !status_) kill(pid_, sig);
  }
  // The exit status, or none if it has not ended within `seconds` (a signal gives 128 + n).
  std::optional<int> wait(double seconds) {
    if (pid_ <= 0) return std::nullopt;
    rctest::WaitUntil(
        [&] {
          int st = 0;
          if (!status_ && waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
          }
          return status_.has_value();
        },
        seconds);
    return status_;
  }
  std::string out() const { return rctest::ReadFile(out_); }
  std::string err() const { return rctest::ReadFile(err_); }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string out_, err_;
};

// Runs a program to its end (bounded); returns its status and output.
struct RunResult {
  int status = -1;
  std::string out, err;
};
inline RunResult Run(std::vector<std::string> argv, const std::string& dir, double seconds = 60) {
  static int n = 0;
  std::string base = dir + "/run" + std::to_string(++n);
  Process p(std::move(argv), base + ".out", base + ".err");
  auto status = p.wait(seconds);
  return {status.value_or(-1), p.out(), p.err()};
}

}  // namespace e2e
