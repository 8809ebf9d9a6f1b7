// Conversions between JSON (what a person types and reads) and channel values.
#pragma once

#include <optional>
#include <string>

#include "platform/flutter/Value.h"

namespace rcclient {

// Integers become int32 when they fit and int64 otherwise; objects keep their key order.
// None (and a message in *error) when the text is not JSON.
std::optional<flutter::Value> ValueFromJson(const std::string& text, std::string* error);

// Byte arrays longer than 64 bytes print as "<N bytes>"; non-string map keys print as their
// JSON text.
std::string ValueToJson(const flutter::Value& value);

}  // namespace rcclient
