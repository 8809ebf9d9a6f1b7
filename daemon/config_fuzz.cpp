// libFuzzer entry point for the configuration pass: arbitrary bytes as config.json, through the
// parser and the decision, with no scripts and no sleeping. Besides crashes and sanitizer reports
// it catches broken promises of DecideConfigPass: a line that is empty, longer than its cap or
// holds anything but printable ASCII, an action that comes without its line, or a decision that
// differs on the same bytes (after a pass that found the file, or one that did not).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "daemon/config_pass.h"

namespace {

constexpr char kConfigPath[] = "/Users/Shared/com.tavrin.desk/config.json";
constexpr size_t kLongestLine =
    sizeof "Read Json : Error - Parser 1 " - 1 + tavrin::kMaxDescriptionBytes;

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

int DaemonConfigFuzzOne(const uint8_t* data, size_t size) {
  using tavrin::PassAction;
  std::string contents(reinterpret_cast<const char*>(data), size);
  tavrin::PassDecision decision = tavrin::DecideConfigPass(contents, kConfigPath, false);

  if (decision.line) {
    Require(!decision.line->empty());
    // Printable ASCII only, so no line break; a capped description after the fixed prefix.
    for (char c : *decision.line) Require(c >= 0x20 && c <= 0x7e);
    Require(decision.line->size() <= kLongestLine);
  }
  switch (decision.action) {
    case PassAction::kNothing:
      break;
    case PassAction::kEnsureAgent:
      Require(!decision.line);
      break;
    case PassAction::kRemoveAgentAndDaemon:
      // A file that was read never counts as missing: removal needs two integer flags.
      Require(decision.line == "Try Uninstall Agent");
      break;
  }
  // The same bytes decide the same, whatever the last pass found: only a missing file waits.
  tavrin::PassDecision again = tavrin::DecideConfigPass(contents, kConfigPath, true);
  Require(again.line == decision.line && again.action == decision.action);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return DaemonConfigFuzzOne(data, size);
}
