// A command's argument as both plugins read it: a map whose keys are all strings. An integer is
// a 32-bit or 64-bit integer, or a float holding exactly an integer, that fits the width asked
// for; a boolean is a boolean. Anything else, and a missing key, reads as none. A key that
// stands twice has its last value (Value::Find).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/flutter/Value.h"
#include "platform/foundation/Numeric.h"

namespace flutter {

class MethodArguments {
 public:
  // Keeps a reference to `arguments`, which must outlive this reader.
  explicit MethodArguments(const Value& arguments) : arguments_(arguments) {
    const auto* map = arguments.GetIf<ValueMap>();
    isStringKeyedMap_ = map && std::all_of(map->begin(), map->end(), [](const auto& entry) {
                          return entry.first.template Is<std::string>();
                        });
  }

  // Whether the argument is a map with string keys only (an empty map is one).
  bool IsStringKeyedMap() const { return isStringKeyedMap_; }

  template <typename Int>
  std::optional<Int> Integer(std::string_view key) const {
    const Value* v = Find(key);
    if (auto i = v ? v->AsInt64() : std::nullopt; i && std::in_range<Int>(*i)) {
      return static_cast<Int>(*i);
    }
    const auto* d = v ? v->GetIf<double>() : nullptr;
    return d ? foundation::ExactInteger<Int>(*d) : std::nullopt;
  }

  std::optional<bool> Bool(std::string_view key) const {
    const Value* v = Find(key);
    return v && v->Is<bool>() ? std::optional(*v->GetIf<bool>()) : std::nullopt;
  }

 private:
  const Value* Find(std::string_view key) const {
    return isStringKeyedMap_ ? arguments_.Find(key) : nullptr;
  }

  const Value& arguments_;
  bool isStringKeyedMap_ = false;
};

}  // namespace flutter
