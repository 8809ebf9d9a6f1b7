// The messages between rcweb and the viewer page (viewer/PROTOCOL.md): the binary headers
// rcweb writes, the JSON texts it writes, and the parser for everything the page sends.
// Integers on the wire are little-endian.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace rcweb {

enum class Role { kControl, kView };
const char* RoleName(Role role);

// Server -> page binary types.
inline constexpr uint8_t kVideoType = 1;
inline constexpr uint8_t kCursorType = 2;
inline constexpr size_t kVideoHeaderSize = 20;
inline constexpr size_t kCursorHeaderSize = 10;
inline constexpr uint8_t kVideoKeyFrame = 1;
inline constexpr uint8_t kVideoVp8 = 2;

// Page -> server binary types.
inline constexpr uint8_t kKeyType = 16;
inline constexpr uint8_t kMoveType = 17;
inline constexpr uint8_t kButtonType = 18;
inline constexpr uint8_t kWheelType = 19;
inline constexpr uint8_t kReleaseType = 20;
inline constexpr uint8_t kAckType = 32;

// The largest text message the page may send; anything bigger closes the viewer (1009).
inline constexpr size_t kMaxTextMessage = 4096;
// The largest message of any kind the WebSocket accepts at all.
inline constexpr size_t kMaxPageMessage = 64 * 1024;

// WebSocket close codes used for a viewer that sent something malformed.
inline constexpr uint16_t kCloseUnsupported = 1003;
inline constexpr uint16_t kCloseTooBig = 1009;

std::array<uint8_t, kVideoHeaderSize> EncodeVideoHeader(bool keyFrame, bool vp8, uint32_t frame,
                                                        uint16_t width, uint16_t height,
                                                        double captureMs);
std::vector<uint8_t> EncodeCursor(int16_t hotX, int16_t hotY, uint16_t width, uint16_t height,
                                  std::span<const uint8_t> png);

std::string HelloText(Role role, bool vp8, int width, int height, int fps);
std::string RoleText(Role role);
std::string HostText(bool connected);
// `t` is the page's own value, already serialised as JSON.
std::string PongText(const std::string& t);

// Page -> server messages, decoded.
struct KeyMsg {
  bool down;
  bool extended;
  uint16_t vk;
};
struct MoveMsg {
  int32_t x, y;
};
// button: 0 left, 1 right, 2 middle, 3 back (X1), 4 forward (X2); action: 0 up, 1 down, 2 double.
struct ButtonMsg {
  uint8_t button;
  uint8_t action;
  int32_t x, y;
};
struct WheelMsg {
  int32_t x, y, delta;
};
struct ReleaseMsg {};
struct AckMsg {
  uint32_t frame;
};
struct KeyframeMsg {};
struct PingMsg {
  std::string t;  // JSON text of the page's value
};
struct SettingsMsg {
  bool hasFps = false, hasQuality = false;
  int fps = 0, quality = 0;
};
struct ControlMsg {};
// A message of a type this side does not know: ignored.
struct IgnoredMsg {};
// Malformed: the viewer is closed with this code.
struct MalformedMsg {
  uint16_t closeCode;
};

using PageMessage = std::variant<MalformedMsg, IgnoredMsg, KeyMsg, MoveMsg, ButtonMsg, WheelMsg,
                                 ReleaseMsg, AckMsg, KeyframeMsg, PingMsg, SettingsMsg, ControlMsg>;

PageMessage ParsePageMessage(bool binary, std::span<const uint8_t> bytes);

}  // namespace rcweb
