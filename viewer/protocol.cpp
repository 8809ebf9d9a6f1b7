#include "viewer/protocol.h"

#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

namespace rcweb {

namespace {

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Get32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

int32_t GetI32(const uint8_t* p) {
  return static_cast<int32_t>(Get32(p));
}

// The exact size of each page binary type (all are fixed); 0 for types this side does not know.
size_t PageBinarySize(uint8_t type) {
  switch (type) {
    case kKeyType:
      return 5;
    case kMoveType:
      return 10;
    case kButtonType:
      return 12;
    case kWheelType:
      return 14;
    case kReleaseType:
      return 1;
    case kAckType:
      return 8;
    default:
      return 0;
  }
}

PageMessage ParseBinary(std::span<const uint8_t> b) {
  if (b.empty()) return MalformedMsg{kCloseUnsupported};
  size_t size = PageBinarySize(b[0]);
  if (size == 0) return IgnoredMsg{};
  if (b.size() < size) return MalformedMsg{kCloseUnsupported};
  if (b.size() > size) return MalformedMsg{kCloseTooBig};
  const uint8_t* p = b.data();
  switch (p[0]) {
    case kKeyType:
      if (p[1] > 1 || p[2] > 1) return MalformedMsg{kCloseUnsupported};
      return KeyMsg{p[1] == 1, p[2] == 1, Get16(p + 3)};
    case kMoveType:
      return MoveMsg{GetI32(p + 2), GetI32(p + 6)};
    case kButtonType:
      if (p[1] > 4 || p[2] > 2) return MalformedMsg{kCloseUnsupported};
      return ButtonMsg{p[1], p[2], GetI32(p + 4), GetI32(p + 8)};
    case kWheelType:
      return WheelMsg{GetI32(p + 2), GetI32(p + 6), GetI32(p + 10)};
    case kReleaseType:
      return ReleaseMsg{};
    default:  // kAckType
      return AckMsg{Get32(p + 4)};
  }
}

// An integer field within [lo, hi]; anything else leaves the field unset.
bool ReadInt(const nlohmann::json& j, const char* key, int lo, int hi, int* out) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number_integer()) return false;
  auto v = it->get<int64_t>();
  if (v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

PageMessage ParseText(std::span<const uint8_t> b) {
  if (b.size() > kMaxTextMessage) return MalformedMsg{kCloseTooBig};
  auto j = nlohmann::json::parse(b.begin(), b.end(), nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded() || !j.is_object()) return MalformedMsg{kCloseUnsupported};
  auto type = j.find("type");
  if (type == j.end() || !type->is_string()) return MalformedMsg{kCloseUnsupported};
  const auto& name = type->get_ref<const std::string&>();
  if (name == "keyframe") return KeyframeMsg{};
  if (name == "control") return ControlMsg{};
  if (name == "ping") {
    auto t = j.find("t");
    return PingMsg{t == j.end() ? "null" : t->dump()};
  }
  if (name == "settings") {
    SettingsMsg s;
    s.hasFps = ReadInt(j, "fps", 1, 240, &s.fps);
    s.hasQuality = ReadInt(j, "quality", std::numeric_limits<int32_t>::min(),
                           std::numeric_limits<int32_t>::max(), &s.quality);
    return s;
  }
  return IgnoredMsg{};
}

}  // namespace

const char* RoleName(Role role) {
  return role == Role::kControl ? "control" : "view";
}

std::array<uint8_t, kVideoHeaderSize> EncodeVideoHeader(bool keyFrame, bool vp8, uint32_t frame,
                                                        uint16_t width, uint16_t height,
                                                        double captureMs) {
  std::array<uint8_t, kVideoHeaderSize> h{};
  h[0] = kVideoType;
  h[1] = static_cast<uint8_t>((keyFrame ? kVideoKeyFrame : 0) | (vp8 ? kVideoVp8 : 0));
  Put32(&h[4], frame);
  Put16(&h[8], width);
  Put16(&h[10], height);
  uint64_t bits;
  static_assert(sizeof bits == sizeof captureMs);
  std::memcpy(&bits, &captureMs, sizeof bits);
  for (int i = 0; i < 8; ++i) h[12 + i] = static_cast<uint8_t>(bits >> (8 * i));
  return h;
}

std::vector<uint8_t> EncodeCursor(int16_t hotX, int16_t hotY, uint16_t width, uint16_t height,
                                  std::span<const uint8_t> png) {
  std::vector<uint8_t> out(kCursorHeaderSize + png.size());
  out[0] = kCursorType;
  Put16(&out[2], static_cast<uint16_t>(hotX));
  Put16(&out[4], static_cast<uint16_t>(hotY));
  Put16(&out[6], width);
  Put16(&out[8], height);
  if (!png.empty()) std::memcpy(&out[kCursorHeaderSize], png.data(), png.size());
  return out;
}

std::string HelloText(Role role, bool vp8, int width, int height, int fps) {
  return nlohmann::ordered_json{
      {"type", "hello"}, {"role", RoleName(role)}, {"codec", vp8 ? "vp8" : "vp9"},
      {"width", width},  {"height", height},       {"fps", fps}}
      .dump();
}

std::string RoleText(Role role) {
  return nlohmann::ordered_json{{"type", "role"}, {"role", RoleName(role)}}.dump();
}

std::string HostText(bool connected) {
  return nlohmann::ordered_json{{"type", "host"}, {"connected", connected}}.dump();
}

std::string PongText(const std::string& t) {
  return R"({"type":"pong","t":)" + t + "}";
}

PageMessage ParsePageMessage(bool binary, std::span<const uint8_t> bytes) {
  return binary ? ParseBinary(bytes) : ParseText(bytes);
}

}  // namespace rcweb
