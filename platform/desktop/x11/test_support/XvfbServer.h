// A private Xvfb for tests and benchmarks: started with -displayfd (the server picks a free
// display number and reports it, so parallel test processes never collide), -noreset (state
// survives clients coming and going) and no TCP listener; stopped by the destructor.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace desktop::x11::testing {

class XvfbServer {
 public:
  // `screen` is the -screen 0 geometry ("1280x720x24"); `extraArgs` are appended (e.g.
  // "-extension", "XTEST"). Null, with the reason in *error, when Xvfb is missing or fails.
  static std::unique_ptr<XvfbServer> Start(const std::string& screen,
                                           const std::vector<std::string>& extraArgs,
                                           std::string* error);
  // The Xvfb binary on PATH, or "" when there is none.
  static std::string FindBinary();
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  const std::string& display() const { return display_; }
  pid_t pid() const { return pid_; }
  // Kills the server at once (SIGKILL) and waits for it: the display vanishes under its clients.
  void kill();

 private:
  XvfbServer(pid_t pid, std::string display) : pid_(pid), display_(std::move(display)) {}
  pid_t pid_;
  std::string display_;
};

}  // namespace desktop::x11::testing
