#include "daemon/config_pass.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "platform/foundation/Numeric.h"

namespace tavrin {
namespace {

using nlohmann::json;

std::optional<int64_t> AsInteger(const json& value) {
  switch (value.type()) {
    case json::value_t::number_integer:
      return value.get<int64_t>();
    case json::value_t::number_unsigned: {
      const uint64_t u = value.get<uint64_t>();
      if (!std::in_range<int64_t>(u)) return std::nullopt;
      return static_cast<int64_t>(u);
    }
    case json::value_t::number_float:
      return foundation::ExactInteger<int64_t>(value.get<double>());
    default:
      return std::nullopt;
  }
}

std::optional<int64_t> IntegerMember(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  return AsInteger(*it);
}

// Parser descriptions go into a one-line log; the library escapes control characters in what it
// quotes, but a line break must never split the line whatever the text.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

// Parses a configuration text whose top level must be an object or an array. A lone scalar is
// reported like a syntax error, with a description of its own.
std::optional<json> ParseTopLevel(std::string_view text, std::string* description) {
  json value;
  try {
    value = json::parse(text.begin(), text.end());
  } catch (const json::exception& e) {
    *description = OneLine(e.what());
    return std::nullopt;
  }
  if (!value.is_object() && !value.is_array()) {
    *description = std::string("syntax error: the top-level value is a ") + value.type_name() +
                   "; expected '{' or '['";
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string ConfigPathFor(std::string_view bundleIdentifier) {
  return "/Users/Shared/" + std::string(bundleIdentifier) + "/config.json";
}

std::string AgentPlistPathFor(std::string_view bundleIdentifier) {
  return "/Library/LaunchAgents/" + std::string(bundleIdentifier) + ".agent.plist";
}

PassDecision DecideConfigPass(const std::optional<std::string>& contents,
                              std::string_view configPath) {
  if (!contents) {
    return {"File is Empty Path: " + std::string(configPath), PassAction::kRemoveAgentAndDaemon};
  }
  std::string description;
  std::optional<json> root = ParseTopLevel(*contents, &description);
  if (!root) return {"Read Json : Error - Parser 1 " + description, PassAction::kNothing};
  if (!root->is_object()) return {"Read Json : Error - Parser 2", PassAction::kNothing};

  std::optional<int64_t> standBy = IntegerMember(*root, "isStandByMode");
  if (!standBy) return {"Read Json : Error - Invalid Column Name", PassAction::kNothing};
  std::optional<int64_t> run = IntegerMember(*root, "isRunMode");
  if (!run) return {std::nullopt, PassAction::kNothing};

  if (*standBy == 1 && *run == 1) return {std::nullopt, PassAction::kEnsureAgent};
  return {"Try Uninstall Agent", PassAction::kRemoveAgentAndDaemon};
}

std::optional<int64_t> ConfigIntegerFromJson(std::string_view text) {
  json value = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return AsInteger(value);
}

}  // namespace tavrin
