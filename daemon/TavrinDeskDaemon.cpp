// TavrinDeskDaemon: keeps the per-user launch agent in step with the application's configuration
// file, and removes the agent and then itself when the file is gone or no longer asks for it.
//
// One thread, one sequential flow: start-up, then a pass over the configuration file once a
// second for as long as the process lives. Nothing is kept between passes; the configuration
// file and the existence of the agent's property list are the whole state.
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

// The whole file, or none when it cannot be read. Only a regular file counts: a directory, a FIFO
// or a device is unreadable, so that a planted /dev/zero or FIFO cannot stall or exhaust the
// daemon. O_NONBLOCK keeps the open itself from waiting on a FIFO.
//
// The file is reached through its directory, opened afresh in each pass: exactly one open of the
// directory per pass, whether the file is there or not.
std::optional<std::string> ReadConfigFile(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dirPath = path.substr(0, slash + 1), name = path.substr(slash + 1);
  int dir = open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return std::nullopt;
  int fd = openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  close(dir);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> contents;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    std::string bytes;
    char buffer[65536];
    for (;;) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        bytes.append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        contents = std::move(bytes);
        break;
      } else if (errno != EINTR) {
        break;
      }
    }
  }
  close(fd);
  return contents;
}

bool FileExistsAtPath(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

void RunPass(const std::string& configPath, const std::string& bundleIdentifier) {
  PassDecision decision = DecideConfigPass(ReadConfigFile(configPath), configPath);
  if (decision.line) LogLine(*decision.line);
  switch (decision.action) {
    case PassAction::kNothing:
      return;
    case PassAction::kEnsureAgent:
      if (FileExistsAtPath(AgentPlistPathFor(bundleIdentifier))) return;
      LogLine("Try Install Agent");
      installAgent();
      return;
    case PassAction::kRemoveAgentAndDaemon:
      uninstallAgent();
      uninstallDaemon();
      return;
  }
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

  for (;;) {
    RunPass(configPath, *identifier);
    NSThreadSleep::sleepForTimeInterval(kPassPauseSeconds);
  }
}
