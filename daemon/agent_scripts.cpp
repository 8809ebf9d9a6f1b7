#include "daemon/agent_scripts.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "daemon/console_user.h"
#include "daemon/log_files.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Task.h"

namespace tavrin {
namespace {

constexpr char kInterpreter[] = "/bin/bash";

std::optional<std::string> ScriptPath(const char* resource) {
  auto bundle = foundation::NSBundle::mainBundle();
  if (!bundle) return std::nullopt;
  return bundle->pathForResource(resource, "sh");
}

// Runs the interpreter and returns its termination status. A failure to start it is reported on
// standard error and counts as status 127, so it is logged like any other failed script.
int RunScript(std::vector<std::string> arguments) {
  foundation::NSTask task;
  task.setLaunchPath(kInterpreter);
  task.setArguments(std::move(arguments));
  if (!task.launch()) {
    std::fprintf(stderr, "TavrinDeskDaemon: cannot start %s: %s\n", kInterpreter,
                 std::strerror(task.launchError()));
    return task.terminationStatus();
  }
  task.waitUntilExit();
  return task.terminationStatus();
}

void LogOutcome(const std::string& name, int status) {
  if (status == 0) {
    LogLine(name + " - OK");
  } else {
    LogLine(name + " - Error (Code: " + std::to_string(status) + ")");
  }
}

void RunAgentScript(const char* resource) {
  const std::string name = std::string(resource) + ".sh";
  std::optional<std::string> path = ScriptPath(resource);
  if (!path) {
    LogLine(name + " is Not Found");
    return;
  }
  std::optional<std::string> user = CopyConsoleUser();
  if (!user) {
    LogLine(name + " - Error (Failed to get console user)");
    return;
  }
  LogOutcome(name, RunScript({*path, *user}));
}

}  // namespace

void installAgent() {
  RunAgentScript("install_agent");
}

void uninstallAgent() {
  RunAgentScript("uninstall_agent");
}

void uninstallDaemon() {
  std::optional<std::string> path = ScriptPath("uninstall_daemon");
  if (!path) {
    LogLine("uninstall_daemon.sh is Not Found");
    return;
  }
  LogOutcome("uninstall_daemon.sh", RunScript({*path}));
  std::exit(0);
}

}  // namespace tavrin
