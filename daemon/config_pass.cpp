#include "daemon/config_pass.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

namespace tavrin {
namespace {

using nlohmann::json;

std::optional<int64_t> AsInteger(const json& value) {
  switch (value.type()) {
    case json::value_t::number_integer:
      return value.get<int64_t>();
    case json::value_t::number_unsigned: {
      uint64_t u = value.get<uint64_t>();
      if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
      return static_cast<int64_t>(u);
    }
    case json::value_t::number_float: {
      double d = value.get<double>();
      // 2^63 is exactly representable as a double, int64 max is not: compare against 2^63.
      constexpr double kTwoTo63 = 9223372036854775808.0;
      if (!std::isfinite(d) || d != std::trunc(d) || d < -kTwoTo63 || d >= kTwoTo63) {
        return std::nullopt;
      }
      return static_cast<int64_t>(d);
    }
    default:
      return std::nullopt;
  }
}

std::optional<int64_t> IntegerMember(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  return AsInteger(*it);
}

// A description for the log: printable ASCII only (so never a line break), at most
// kMaxDescriptionBytes bytes.
std::string Capped(std::string text) {
  if (text.size() > kMaxDescriptionBytes) text.resize(kMaxDescriptionBytes);
  for (char& c : text) {
    if (c < 0x20 || c > 0x7e) c = '?';
  }
  return text;
}

// The library's message without the part that quotes the input: a lexer error ends in
// "; last read: '<token>'" (with a following "; expected ..." lost along with it), a number too
// large for a double in "number overflow parsing '<token>'". The token is file content.
std::string Describe(const json::exception& e) {
  std::string text = e.what();
  for (std::string_view marker : {"; last read: '", " parsing '"}) {
    if (size_t at = text.find(marker); at != std::string::npos) text.resize(at);
  }
  return Capped(std::move(text));
}

struct NestedTooDeep {};

// Parses a configuration text whose top level must be an object or an array. A lone scalar is
// reported like a syntax error, with a description of its own.
std::optional<json> ParseTopLevel(std::string_view text, std::string* description) {
  if (text.size() > kMaxConfigBytes) {
    *description = "the file holds more than " + std::to_string(kMaxConfigBytes) + " bytes";
    return std::nullopt;
  }
  // `depth` counts the containers around the one that starts: 0 for the top level.
  auto limitDepth = [](int depth, json::parse_event_t event, json&) {
    const bool starts =
        event == json::parse_event_t::object_start || event == json::parse_event_t::array_start;
    if (starts && depth >= kMaxConfigDepth) throw NestedTooDeep{};
    return true;
  };
  json value;
  try {
    value = json::parse(text.begin(), text.end(), limitDepth);
  } catch (const json::exception& e) {
    *description = Describe(e);
    return std::nullopt;
  } catch (const NestedTooDeep&) {
    *description = "values nested deeper than " + std::to_string(kMaxConfigDepth) + " levels";
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
                              std::string_view configPath, bool missedLastPass) {
  if (!contents) {
    if (!missedLastPass) return {std::nullopt, PassAction::kNothing};
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
