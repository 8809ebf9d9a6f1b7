#include "platform/desktop/x11/test_support/XvfbServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace desktop::x11::testing {

namespace {
constexpr int kStartTimeoutMs = 20000;
}

std::string XvfbServer::FindBinary() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    auto colon = dirs.find(':', start);
    std::string dir = dirs.substr(start, colon == std::string::npos ? colon : colon - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/Xvfb";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return "";
}

std::unique_ptr<XvfbServer> XvfbServer::Start(const std::string& screen,
                                              const std::vector<std::string>& extraArgs,
                                              std::string* error) {
  std::string binary = FindBinary();
  if (binary.empty()) {
    *error = "Xvfb is not installed";
    return nullptr;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + strerror(errno);
    return nullptr;
  }
  // Everything the child needs is built before fork: after it, only exec-safe calls.
  std::string fdArg = std::to_string(fds[1]);
  std::vector<std::string> args = {binary, "-displayfd", fdArg, "-screen", "0",
                                   screen, "-nolisten",  "tcp", "-noreset"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork: ") + strerror(errno);
    close(fds[0]);
    close(fds[1]);
    return nullptr;
  }
  if (pid == 0) {
    fcntl(fds[1], F_SETFD, 0);  // the one descriptor the server writes its number to
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    setpgid(0, 0);  // signals meant for the test runner do not reach the server first
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  while (number.find('\n') == std::string::npos && poll(&p, 1, kStartTimeoutMs) > 0) {
    char buffer[32];
    ssize_t n = read(fds[0], buffer, sizeof(buffer));
    if (n <= 0) break;
    number.append(buffer, size_t(n));
  }
  close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    *error = "Xvfb did not report a display number";
    return nullptr;
  }
  number.resize(number.find('\n'));
  return std::unique_ptr<XvfbServer>(new XvfbServer(pid, ":" + number));
}

XvfbServer::~XvfbServer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

void XvfbServer::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace desktop::x11::testing
