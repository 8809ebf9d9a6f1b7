// TavrinDeskDaemon: keeps the per-user launch agent in step with the application's configuration
// file, and removes the agent and then itself when the file is gone or no longer asks for it.
//
// One thread, one sequential flow: start-up, then a pass over the configuration file once a
// second for as long as the process lives. The configuration file and the existence of the
// agent's property list are the whole state, but for one bit: a pass that finds no readable file
// acts only when the pass before found none either.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <optional>
#include <string>

#include "daemon/agent_scripts.h"
#include "daemon/config_pass.h"
#include "daemon/log_files.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"

namespace tavrin {
namespace {

constexpr double kPassPauseSeconds = 1.0;

// The configuration file's bytes, at most kMaxConfigBytes + 1 of them (enough for the pass to
// see that the file is too large), or none when there is no regular file to read.
//
// The file's directory may be writable by other users, so whatever is found there is untrusted:
// only an entry that is a regular file is opened at all, never through a symbolic link
// (O_NOFOLLOW), and it must still be the same file once open. A FIFO, a device, a directory or a
// link is never opened, so opening cannot block or have the side effects of opening a device.
// O_NONBLOCK still covers a FIFO swapped in between the check and the open.
//
// The file is reached through its directory, opened afresh in each pass and closed once the file
// has been read: exactly one open of the directory per pass, whether the file is there or not.
std::optional<std::string> ReadConfigFile(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dirPath = path.substr(0, slash + 1), name = path.substr(slash + 1);
  int dir = open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return std::nullopt;
  std::optional<std::string> contents;
  struct stat seen {};
  if (fstatat(dir, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(seen.st_mode)) {
    int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == seen.st_dev &&
        st.st_ino == seen.st_ino) {
      std::string bytes(kMaxConfigBytes + 1, '\0');
      size_t got = 0;
      for (;;) {
        ssize_t n = got < bytes.size() ? read(fd, bytes.data() + got, bytes.size() - got) : 0;
        if (n > 0) {
          got += static_cast<size_t>(n);
        } else if (n == 0) {
          bytes.resize(got);
          contents = std::move(bytes);
          break;
        } else if (errno != EINTR) {
          break;
        }
      }
    }
    if (fd >= 0) close(fd);
  }
  close(dir);
  return contents;
}

bool FileExistsAtPath(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// One pass; returns whether it found no readable configuration file.
bool RunPass(const std::string& configPath, const std::string& bundleIdentifier,
             bool missedLastPass) {
  const std::optional<std::string> contents = ReadConfigFile(configPath);
  PassDecision decision = DecideConfigPass(contents, configPath, missedLastPass);
  if (decision.line) LogLine(*decision.line);
  switch (decision.action) {
    case PassAction::kNothing:
      break;
    case PassAction::kEnsureAgent:
      if (FileExistsAtPath(AgentPlistPathFor(bundleIdentifier))) break;
      LogLine("Try Install Agent");
      installAgent();
      break;
    case PassAction::kRemoveAgentAndDaemon:
      uninstallAgent();
      uninstallDaemon();
      break;
  }
  return !contents;
}

}  // namespace
}  // namespace tavrin

int main() {
  using namespace tavrin;
  // A parent that ignored SIGCHLD would leave us unable to collect the scripts' statuses.
  std::signal(SIGCHLD, SIG_DFL);

  RedirectLogStreams();
  LogLine("Daemon Starting...");

  auto bundle = foundation::NSBundle::mainBundle();
  std::optional<std::string> identifier = bundle ? bundle->bundleIdentifier() : std::nullopt;
  // An empty identifier would name "/Users/Shared//config.json" and "/Library/LaunchAgents/
  // .agent.plist"; it is treated as no identifier.
  if (!identifier || identifier->empty()) {
    LogLine("Bundle is Empty.");
    return 0;
  }
  const std::string configPath = ConfigPathFor(*identifier);
  LogLine("JSON Path: " + configPath);

  // The one thing carried from pass to pass: whether the last one found no readable file.
  bool missedLastPass = false;
  for (;;) {
    RotateLargeLogs();
    missedLastPass = RunPass(configPath, *identifier, missedLastPass);
    NSThreadSleep::sleepForTimeInterval(kPassPauseSeconds);
  }
}
