// The values that travel over a method channel: one alternative per type of the standard codec.
//
// Integers keep their width: an int32_t is written with the 32-bit tag and an int64_t with the
// 64-bit tag whatever its value, so that a reply declared as a 64-bit integer goes out as one
// (the macOS embedding does the same). Readers that only care about the number use AsInt64().
// Maps keep their entries in insertion order and may have keys of any type, because the encoded
// length of a map depends on the order (float padding is aligned to the whole buffer).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace flutter {

class Value;
using ValueList = std::vector<Value>;
using ValueMap = std::vector<std::pair<Value, Value>>;
using ByteBuffer = std::vector<uint8_t>;

using ValueVariant = std::variant<std::monostate, bool, int32_t, int64_t, double, std::string,
                                  std::vector<uint8_t>, std::vector<int32_t>, std::vector<int64_t>,
                                  std::vector<double>, ValueList, ValueMap, std::vector<float>>;

class Value : public ValueVariant {
 public:
  using ValueVariant::ValueVariant;
  using ValueVariant::operator=;
  Value() = default;
  // Without this, a string literal would pick the bool alternative.
  Value(const char* s) : ValueVariant(std::string(s)) {}

  bool IsNull() const { return std::holds_alternative<std::monostate>(*this); }
  template <typename T>
  bool Is() const {
    return std::holds_alternative<T>(*this);
  }
  template <typename T>
  const T* GetIf() const {
    return std::get_if<T>(this);
  }
  template <typename T>
  T* GetIf() {
    return std::get_if<T>(this);
  }

  // The integer value of an int32 or int64, whatever its width on the wire.
  std::optional<int64_t> AsInt64() const;

  // For a map: the value under the string key `key`, or null. A key that stands twice has its
  // last value, as in a dictionary built from the wire.
  const Value* Find(std::string_view key) const;

  friend bool operator==(const Value& a, const Value& b);
};

// Builds a map with string keys in the order given.
ValueMap MakeMap(std::initializer_list<std::pair<std::string, Value>> entries);

// A readable, JSON-like rendering for logs and test failure messages.
std::string ToDebugString(const Value& value);

}  // namespace flutter
