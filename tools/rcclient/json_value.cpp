#include "tools/rcclient/json_value.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace rcclient {
namespace {

using Json = nlohmann::ordered_json;

flutter::Value FromJson(const Json& j) {
  switch (j.type()) {
    case Json::value_t::null:
      return {};
    case Json::value_t::boolean:
      return j.get<bool>();
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: {
      if (j.is_number_unsigned() &&
          j.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return static_cast<double>(j.get<uint64_t>());
      }
      int64_t v = j.get<int64_t>();
      if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
        return static_cast<int32_t>(v);
      }
      return v;
    }
    case Json::value_t::number_float:
      return j.get<double>();
    case Json::value_t::string:
      return j.get<std::string>();
    case Json::value_t::array: {
      flutter::ValueList list;
      for (const auto& e : j) list.push_back(FromJson(e));
      return list;
    }
    case Json::value_t::object: {
      flutter::ValueMap map;
      for (const auto& [k, v] : j.items()) map.emplace_back(flutter::Value(k), FromJson(v));
      return map;
    }
    default:
      return {};
  }
}

Json ToJson(const flutter::Value& value) {
  return std::visit(
      [](const auto& v) -> Json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return nullptr;
        } else if constexpr (std::is_same_v<T, double>) {
          return std::isfinite(v) ? Json(v) : Json(nullptr);
        } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
          if (v.size() > 64) {
            std::string text = std::to_string(v.size());
            text.insert(text.begin(), '<');
            text.append(" bytes>");
            return text;
          }
          return Json(v);
        } else if constexpr (std::is_same_v<T, flutter::ValueList>) {
          Json a = Json::array();
          for (const auto& e : v) a.push_back(ToJson(e));
          return a;
        } else if constexpr (std::is_same_v<T, flutter::ValueMap>) {
          Json o = Json::object();
          for (const auto& [k, e] : v) {
            auto* s = k.template GetIf<std::string>();
            o[s ? *s : ToJson(k).dump()] = ToJson(e);
          }
          return o;
        } else {
          return Json(v);
        }
      },
      static_cast<const flutter::ValueVariant&>(value));
}

}  // namespace

std::optional<flutter::Value> ValueFromJson(const std::string& text, std::string* error) {
  Json j = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) {
    if (error) *error = "not valid JSON: " + text;
    return std::nullopt;
  }
  return FromJson(j);
}

std::string ValueToJson(const flutter::Value& value) {
  return ToJson(value).dump();
}

}  // namespace rcclient
