// libFuzzer entry point for the configuration pass: arbitrary bytes as config.json, through the
// parser and the decision, with no scripts and no sleeping. Besides crashes and sanitizer reports
// it catches broken promises of DecideConfigPass: a line that is empty or holds a line break, an
// action that comes without its line, or a parse that disagrees with itself on the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "daemon/config_pass.h"

namespace {

constexpr char kConfigPath[] = "/Users/Shared/com.tavrin.desk/config.json";

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

int DaemonConfigFuzzOne(const uint8_t* data, size_t size) {
  using tavrin::PassAction;
  std::string contents(reinterpret_cast<const char*>(data), size);
  tavrin::PassDecision decision = tavrin::DecideConfigPass(contents, kConfigPath);

  if (decision.line) {
    Require(!decision.line->empty());
    Require(decision.line->find_first_of("\r\n") == std::string::npos);
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
  tavrin::PassDecision again = tavrin::DecideConfigPass(contents, kConfigPath);
  Require(again.line == decision.line && again.action == decision.action);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return DaemonConfigFuzzOne(data, size);
}
