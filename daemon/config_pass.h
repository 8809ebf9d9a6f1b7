// What one polling pass of the daemon decides from the configuration file.
//
// This is the daemon's whole policy, kept free of effects so that it can be tested and fuzzed on
// its own: it reads bytes and returns the line to log and the action to take. The caller does the
// file reading, the agent-file test, the logging and the script runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrin {

inline constexpr char kLogDirectory[] = "/tmp/tavrin";
inline constexpr char kStdoutLogName[] = "daemon.log";
inline constexpr char kStderrLogName[] = "daemon_error.log";

// The configuration holds two flags; anyone who can write its directory can write it, and the
// daemon runs as root. A larger file, or values nested deeper, are refused like a syntax error
// without being parsed further, and a description never exceeds its cap.
inline constexpr size_t kMaxConfigBytes = 64 * 1024;
inline constexpr int kMaxConfigDepth = 64;
inline constexpr size_t kMaxDescriptionBytes = 200;

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

// `contents` is the configuration file (the reader stops after kMaxConfigBytes + 1 bytes), or
// none when there was no regular file to read. `configPath` only goes into the
// "File is Empty Path: " line. A file that is missing or unreadable is acted on only when the
// previous pass found it so too (`missedLastPass`): a writer that replaces the file, or a moment
// in which it cannot be opened, must not remove the agent and the daemon. The first such pass is
// silent and does nothing.
//
// Parser descriptions never quote the file: the parser's own messages are cut before the text
// they would quote, and every description is capped at kMaxDescriptionBytes printable bytes.
PassDecision DecideConfigPass(const std::optional<std::string>& contents,
                              std::string_view configPath, bool missedLastPass);

// The integer rule for configuration flags, exposed for tests: a JSON number whose value is a
// whole number in the signed 64-bit range (1.0 is 1, 1.5 is none). Booleans, strings (even of
// digits) and null are not integers. `json` is one JSON value; none when it does not parse.
std::optional<int64_t> ConfigIntegerFromJson(std::string_view json);

}  // namespace tavrin
