#include "viewer/protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace rcweb {
namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

PageMessage Binary(std::vector<uint8_t> b) {
  return ParsePageMessage(true, b);
}
PageMessage Text(const std::string& s) {
  return ParsePageMessage(false, Bytes(s));
}

std::optional<uint16_t> CloseCode(const PageMessage& m) {
  if (auto* bad = std::get_if<MalformedMsg>(&m)) return bad->closeCode;
  return std::nullopt;
}

TEST(PageMessages, BinaryInputDecodesLittleEndian) {
  auto key = std::get<KeyMsg>(Binary({16, 1, 1, 0x2d, 0x01}));
  EXPECT_TRUE(key.down);
  EXPECT_TRUE(key.extended);
  EXPECT_EQ(key.vk, 0x12d);
  auto move = std::get<MoveMsg>(Binary({17, 0, 0xff, 0xff, 0xff, 0xff, 0x10, 0x27, 0, 0}));
  EXPECT_EQ(move.x, -1);
  EXPECT_EQ(move.y, 10000);
  auto button = std::get<ButtonMsg>(Binary({18, 4, 2, 0, 5, 0, 0, 0, 6, 0, 0, 0}));
  EXPECT_EQ(button.button, 4);
  EXPECT_EQ(button.action, 2);
  EXPECT_EQ(button.x, 5);
  EXPECT_EQ(button.y, 6);
  auto wheel = std::get<WheelMsg>(Binary({19, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0x88, 0xff, 0xff, 0xff}));
  EXPECT_EQ(wheel.delta, -120);
  EXPECT_TRUE(std::holds_alternative<ReleaseMsg>(Binary({20})));
  EXPECT_EQ(std::get<AckMsg>(Binary({32, 0, 0, 0, 1, 2, 0, 0})).frame, 0x201u);
}

TEST(PageMessages, MalformedBinaryClosesWithTheRightCodeAndUnknownIsIgnored) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::optional<uint16_t> close;
  } cases[] = {
      {{}, kCloseUnsupported},
      {{16, 1, 0, 65}, kCloseUnsupported},                         // short key
      {{16, 1, 0, 65, 0, 0}, kCloseTooBig},                        // long key
      {{16, 2, 0, 65, 0}, kCloseUnsupported},                      // down is neither 0 nor 1
      {{18, 5, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, kCloseUnsupported},  // no button 5
      {{18, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}, kCloseUnsupported},  // no action 3
      {{20, 0}, kCloseTooBig},
      {{32, 0, 0, 0, 1}, kCloseUnsupported},
      {{99, 1, 2, 3}, std::nullopt},  // unknown type
      {{1, 0, 0}, std::nullopt},      // a server type sent back
  };
  for (const auto& c : cases) {
    auto m = Binary(c.bytes);
    EXPECT_EQ(CloseCode(m), c.close) << testing::PrintToString(c.bytes);
    if (!c.close) {
      EXPECT_TRUE(std::holds_alternative<IgnoredMsg>(m));
    }
  }
}

TEST(PageMessages, TextMessages) {
  EXPECT_TRUE(std::holds_alternative<KeyframeMsg>(Text(R"({"type":"keyframe"})")));
  EXPECT_TRUE(std::holds_alternative<ControlMsg>(Text(R"({"type":"control","extra":1})")));
  EXPECT_EQ(std::get<PingMsg>(Text(R"({"type":"ping","t":1234.5})")).t, "1234.5");
  EXPECT_EQ(PongText("1234.5"), R"({"type":"pong","t":1234.5})");
  auto s = std::get<SettingsMsg>(Text(R"({"type":"settings","fps":15,"quality":2})"));
  EXPECT_TRUE(s.hasFps && s.hasQuality);
  EXPECT_EQ(s.fps, 15);
  EXPECT_EQ(s.quality, 2);
  // Values out of range or of the wrong type are left out, not passed on.
  s = std::get<SettingsMsg>(Text(R"({"type":"settings","fps":0,"quality":"high"})"));
  EXPECT_FALSE(s.hasFps || s.hasQuality);
  s = std::get<SettingsMsg>(Text(R"({"type":"settings","fps":2.5})"));
  EXPECT_FALSE(s.hasFps);
  EXPECT_TRUE(std::holds_alternative<IgnoredMsg>(Text(R"({"type":"future-thing"})")));

  for (const char* bad : {"", "not json", "[1,2]", R"({"t":1})", R"({"type":5})", "{\"type\":"}) {
    EXPECT_EQ(CloseCode(Text(bad)), kCloseUnsupported) << bad;
  }
  std::string big = R"({"type":"ping","t":")" + std::string(kMaxTextMessage, 'x') + "\"}";
  EXPECT_EQ(CloseCode(Text(big)), kCloseTooBig);
}

TEST(ServerMessages, VideoHeaderLayout) {
  auto h = EncodeVideoHeader(true, true, 0x01020304, 1920, 1080, 1700000000123.5);
  EXPECT_EQ(h[0], kVideoType);
  EXPECT_EQ(h[1], kVideoKeyFrame | kVideoVp8);
  EXPECT_EQ(h[2] | h[3], 0);
  EXPECT_EQ((std::vector<uint8_t>(h.begin() + 4, h.begin() + 12)),
            (std::vector<uint8_t>{4, 3, 2, 1, 0x80, 0x07, 0x38, 0x04}));
  double ms;
  std::memcpy(&ms, &h[12], 8);  // the test machine is little-endian, like the wire
  EXPECT_EQ(ms, 1700000000123.5);
  EXPECT_EQ(EncodeVideoHeader(false, false, 1, 0, 0, 0)[1], 0);

  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G'};
  auto c = EncodeCursor(-2, 5, 32, 16, png);
  EXPECT_EQ(c, (std::vector<uint8_t>{kCursorType, 0, 0xfe, 0xff, 5, 0, 32, 0, 16, 0, 0x89, 'P', 'N',
                                     'G'}));
  EXPECT_EQ(HelloText(Role::kView, false, 1280, 720, 30),
            R"({"type":"hello","role":"view","codec":"vp9","width":1280,"height":720,"fps":30})");
  EXPECT_EQ(HostText(false), R"({"type":"host","connected":false})");
  EXPECT_EQ(RoleText(Role::kControl), R"({"type":"role","role":"control"})");
}

}  // namespace
}  // namespace rcweb
