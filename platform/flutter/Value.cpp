#include "platform/flutter/Value.h"

#include <cmath>
#include <cstdio>

namespace flutter {

std::optional<int64_t> Value::AsInt64() const {
  if (auto* v = GetIf<int32_t>()) return *v;
  if (auto* v = GetIf<int64_t>()) return *v;
  return std::nullopt;
}

const Value* Value::Find(std::string_view key) const {
  const auto* map = GetIf<ValueMap>();
  if (map == nullptr) return nullptr;
  const Value* found = nullptr;
  for (const auto& [k, v] : *map) {
    if (const auto* s = k.GetIf<std::string>(); s != nullptr && *s == key) found = &v;
  }
  return found;
}

bool operator==(const Value& a, const Value& b) {
  return static_cast<const ValueVariant&>(a) == static_cast<const ValueVariant&>(b);
}

ValueMap MakeMap(std::initializer_list<std::pair<std::string, Value>> entries) {
  ValueMap map;
  map.reserve(entries.size());
  for (const auto& [k, v] : entries) map.emplace_back(Value(k), v);
  return map;
}

namespace {

void AppendEscaped(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

template <typename T>
void AppendNumbers(std::string& out, const std::vector<T>& v) {
  out += '[';
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(v[i]);
  }
  out += ']';
}

void Append(std::string& out, const Value& value) {
  std::visit(
      [&out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          out += "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          out += v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, int32_t> || std::is_same_v<T, int64_t>) {
          out += std::to_string(v);
        } else if constexpr (std::is_same_v<T, double>) {
          char buf[32];
          std::snprintf(buf, sizeof buf, "%.17g", v);
          out += std::isfinite(v) ? buf : "null";
        } else if constexpr (std::is_same_v<T, std::string>) {
          AppendEscaped(out, v);
        } else if constexpr (std::is_same_v<T, ValueList>) {
          out += '[';
          for (size_t i = 0; i < v.size(); ++i) {
            if (i) out += ", ";
            Append(out, v[i]);
          }
          out += ']';
        } else if constexpr (std::is_same_v<T, ValueMap>) {
          out += '{';
          for (size_t i = 0; i < v.size(); ++i) {
            if (i) out += ", ";
            if (v[i].first.template Is<std::string>()) {
              Append(out, v[i].first);
            } else {
              std::string key;
              Append(key, v[i].first);
              AppendEscaped(out, key);
            }
            out += ": ";
            Append(out, v[i].second);
          }
          out += '}';
        } else {
          AppendNumbers(out, v);
        }
      },
      static_cast<const ValueVariant&>(value));
}

}  // namespace

std::string ToDebugString(const Value& value) {
  std::string out;
  Append(out, value);
  return out;
}

}  // namespace flutter
