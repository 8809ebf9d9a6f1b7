// What one polling pass of the daemon decides from the configuration file.
//
// This is the daemon's whole policy, kept free of effects so that it can be tested and fuzzed on
// its own: it reads bytes and returns the line to log and the action to take. The caller does the
// file reading, the agent-file test, the logging and the script runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrin {

inline constexpr char kLogDirectory[] = "/tmp/tavrin";
inline constexpr char kStdoutLogName[] = "daemon.log";
inline constexpr char kStderrLogName[] = "daemon_error.log";

// "/Users/Shared/" + identifier + "/config.json"; the identifier is inserted unchanged.
std::string ConfigPathFor(std::string_view bundleIdentifier);
// "/Library/LaunchAgents/" + identifier + ".agent.plist".
std::string AgentPlistPathFor(std::string_view bundleIdentifier);

enum class PassAction {
  kNothing,
  // Both flags are 1: if the agent property list is missing, log "Try Install Agent" and run
  // installAgent. The existence test is the caller's, since it reads the file system.
  kEnsureAgent,
  // Run uninstallAgent, then uninstallDaemon.
  kRemoveAgentAndDaemon,
};

struct PassDecision {
  // At most one line, without its newline; never empty and never holding a line break.
  std::optional<std::string> line;
  PassAction action = PassAction::kNothing;
};

// `contents` is the whole configuration file, or none when it could not be read. `configPath`
// only goes into the "File is Empty Path: " line.
PassDecision DecideConfigPass(const std::optional<std::string>& contents,
                              std::string_view configPath);

// The integer rule for configuration flags, exposed for tests: a JSON number whose value is a
// whole number in the signed 64-bit range (1.0 is 1, 1.5 is none). Booleans, strings (even of
// digits) and null are not integers. `json` is one JSON value; none when it does not parse.
std::optional<int64_t> ConfigIntegerFromJson(std::string_view json);

}  // namespace tavrin
