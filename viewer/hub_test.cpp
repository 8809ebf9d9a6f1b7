#include "viewer/hub.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rcweb {
namespace {

// Records the host's calls as "method args".
class FakeHost : public HostPort {
 public:
  void call(const std::string& channel, const std::string& method,
            const flutter::Value& args) override {
    std::string line = channel + " " + method + (args.IsNull() ? "" : " " + ToDebugString(args));
    std::erase(line, '"');
    calls.push_back(line);
  }
  std::vector<std::string> take() { return std::exchange(calls, {}); }
  std::vector<std::string> calls;
};

class FakeViewer : public ViewerPort {
 public:
  void sendText(std::string text) override { texts.push_back(std::move(text)); }
  void sendBinary(std::vector<uint8_t> head, Bytes body) override {
    if (head.at(0) == kVideoType) {
      frames.push_back(head[4] | head[5] << 8);
      keys.push_back(head[1] & kVideoKeyFrame);
    } else {
      cursors.push_back(body ? body->size() : 0);
    }
  }
  std::vector<std::string> texts;
  std::vector<uint32_t> frames;
  std::vector<bool> keys;
  std::vector<size_t> cursors;
};

class HubTest : public ::testing::Test {
 protected:
  HubTest() : hub(host, Options()) { hub.hostConnected(); }
  Hub::Options Options() {
    Hub::Options o;
    o.fps = 20;
    o.quality = 3;
    o.clock = [this] { return now; };
    o.later = [this](double seconds, std::function<void()> run) {
      laterSeconds = seconds;
      pending.push_back(std::move(run));
    };
    return o;
  }
  void frame(bool key, std::optional<CursorImage> cursor = std::nullopt) {
    CaptureFrame f;
    f.data = std::make_shared<std::vector<uint8_t>>(1000, 1);
    f.keyFrame = key;
    f.width = key ? 1280 : 0;
    f.height = key ? 720 : 0;
    f.captureMs = ms += 10;
    f.cursor = cursor;
    hub.frame(f);
  }
  std::optional<uint16_t> send(uint64_t id, std::vector<uint8_t> bytes) {
    return hub.message(id, true, bytes);
  }
  std::optional<uint16_t> text(uint64_t id, const std::string& s) {
    return hub.message(id, false, {reinterpret_cast<const uint8_t*>(s.data()), s.size()});
  }
  static std::vector<uint8_t> Key(bool down, uint16_t vk) {
    return {kKeyType, down, 0, static_cast<uint8_t>(vk), static_cast<uint8_t>(vk >> 8)};
  }
  static std::vector<uint8_t> Ack(uint32_t n) {
    return {kAckType, 0, 0, 0, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), 0, 0};
  }
  static std::string SendKey(int vk, bool down) {
    return std::string("rc_input sendKey {vKey: ") + std::to_string(vk) +
           ", isKeyDown: " + (down ? "true" : "false") + ", isExtendedKey: false}";
  }

  FakeHost host;
  Hub hub;
  double now = 100;
  double ms = 0;
  double laterSeconds = 0;
  std::vector<std::function<void()>> pending;
};

TEST_F(HubTest, CaptureRunsWhileAnyoneWatches) {
  FakeViewer a, b;
  auto ia = hub.join(&a, Role::kView);
  EXPECT_EQ(host.take(), (std::vector<std::string>{"rc_capture setQuality {value: 3}",
                                                   "rc_capture startCapture {fps: 20}",
                                                   "rc_capture setIFrame"}));
  EXPECT_EQ(a.texts.at(0),
            R"({"type":"hello","role":"view","codec":"vp9","width":0,"height":0,"fps":20})");
  frame(true);
  // Every joiner asks for a key frame; one already asked and unanswered is not repeated.
  auto ib = hub.join(&b, Role::kView);
  EXPECT_EQ(host.take(), std::vector<std::string>{"rc_capture setIFrame"});
  EXPECT_NE(b.texts.at(0).find(R"("width":1280,"height":720)"), std::string::npos);
  FakeViewer c;
  auto ic = hub.join(&c, Role::kView);
  EXPECT_TRUE(host.take().empty());
  now += 2;
  hub.leave(ic);
  EXPECT_EQ(text(ib, R"({"type":"keyframe"})"), std::nullopt);
  EXPECT_EQ(host.take(), std::vector<std::string>{"rc_capture setIFrame"});
  hub.leave(ia);
  EXPECT_TRUE(host.take().empty());
  hub.leave(ib);
  EXPECT_EQ(host.take(), std::vector<std::string>{"rc_capture stopCapture"});
  EXPECT_FALSE(hub.capturing());
}

TEST_F(HubTest, ASlowViewerNeitherHoldsUpOthersNorGetsStaleFrames) {
  FakeViewer fast, slow;
  auto ifast = hub.join(&fast, Role::kView);
  auto islow = hub.join(&slow, Role::kView);
  frame(true);
  // The slow one decodes the key frame, then falls behind.
  send(islow, Ack(1));
  for (int i = 0; i < 20; ++i) {
    frame(false);
    send(ifast, Ack(fast.frames.back()));
  }
  EXPECT_EQ(fast.frames.size(), 21u);
  EXPECT_EQ(slow.frames, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  host.take();
  now += 5;
  send(islow, Ack(5));
  EXPECT_EQ(host.take(), std::vector<std::string>{"rc_capture setIFrame"});
  frame(false);
  EXPECT_EQ(slow.frames.size(), 5u);
  frame(true);
  EXPECT_EQ(slow.frames.back(), 6u);
  EXPECT_TRUE(slow.keys.back());
  EXPECT_EQ(fast.frames.size(), 23u);
}

TEST_F(HubTest, OneControllerAtATimeAndViewOnlyInputGoesNowhere) {
  FakeViewer first, second, viewer;
  auto i1 = hub.join(&first, Role::kControl);
  auto i2 = hub.join(&second, Role::kControl);
  auto iv = hub.join(&viewer, Role::kView);
  EXPECT_NE(first.texts.at(0).find(R"("role":"control")"), std::string::npos);
  EXPECT_NE(second.texts.at(0).find(R"("role":"view")"), std::string::npos);
  host.take();
  send(i2, Key(true, 65));
  send(iv, Key(true, 66));
  text(iv, R"({"type":"control"})");
  text(i2, R"({"type":"settings","fps":5})");
  EXPECT_TRUE(host.take().empty());
  send(i1, Key(true, 67));
  text(i1, R"({"type":"settings","fps":5})");
  EXPECT_EQ(host.take(),
            (std::vector<std::string>{SendKey(67, true), "rc_capture setFPS {value: 5}"}));
  // The controller leaves holding C: it is released, and control passes to the one that asked.
  hub.leave(i1);
  EXPECT_EQ(host.take(), std::vector<std::string>{SendKey(67, false)});
  EXPECT_EQ(hub.controller(), i2);
  EXPECT_EQ(second.texts.back(), R"({"type":"role","role":"control"})");
  send(i2, Key(true, 65));
  EXPECT_EQ(host.take(), std::vector<std::string>{SendKey(65, true)});
  hub.leave(i2);
  host.take();
  EXPECT_FALSE(hub.controller());  // view-only sessions never control
}

TEST_F(HubTest, HeldInputIsReleasedOnFocusLossAndCapsLockIsAPair) {
  FakeViewer v;
  auto id = hub.join(&v, Role::kControl);
  host.take();
  send(id, Key(true, 160));  // left Shift
  send(id, Key(true, 65));
  send(id, Key(false, 65));
  send(id, {kButtonType, 0, 1, 0, 10, 0, 0, 0, 20, 0, 0, 0});  // left down at (10, 20)
  send(id, {kMoveType, 0, 30, 0, 0, 0, 40, 0, 0, 0});
  send(id, {kButtonType, 3, 1, 0, 30, 0, 0, 0, 40, 0, 0, 0});  // back button down
  host.take();
  send(id, {kReleaseType});
  EXPECT_EQ(host.take(),
            (std::vector<std::string>{SendKey(160, false), "rc_input leftUp {x: 30, y: 40}",
                                      "rc_input xUp {x: 30, y: 40, data: 1}"}));
  send(id, {kReleaseType});
  EXPECT_TRUE(host.take().empty());
  // Caps Lock: each keydown is a press held long enough to toggle (a short tap would switch the
  // keyboard language); keyups are not passed on, and a second toggle inside the hold is dropped.
  send(id, Key(true, 20));
  send(id, Key(false, 20));
  send(id, Key(true, 20));
  EXPECT_EQ(host.take(), std::vector<std::string>{SendKey(20, true)});
  EXPECT_GE(laterSeconds, 0.5);
  ASSERT_EQ(pending.size(), 1u);
  pending[0]();
  EXPECT_EQ(host.take(), std::vector<std::string>{SendKey(20, false)});
  // Leaving during the hold still lets it go.
  send(id, Key(true, 20));
  host.take();
  hub.leave(id);
  EXPECT_EQ(host.take(), std::vector<std::string>{"rc_capture stopCapture"});
  pending.back()();
  EXPECT_EQ(host.take(), std::vector<std::string>{SendKey(20, false)});
}

TEST_F(HubTest, PointerCommands) {
  FakeViewer v;
  auto id = hub.join(&v, Role::kControl);
  host.take();
  send(id, {kButtonType, 1, 2, 0, 1, 0, 0, 0, 2, 0, 0, 0});
  send(id, {kButtonType, 2, 1, 0, 1, 0, 0, 0, 2, 0, 0, 0});
  send(id, {kButtonType, 4, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0});
  send(id, {kWheelType, 0, 5, 0, 0, 0, 6, 0, 0, 0, 0x88, 0xff, 0xff, 0xff});
  EXPECT_EQ(host.take(),
            (std::vector<std::string>{
                "rc_input rightDBClick {x: 1, y: 2}", "rc_input centerDown {x: 1, y: 2}",
                "rc_input xUp {x: 1, y: 2, data: 2}", "rc_input wheel {x: 5, y: 6, data: -120}"}));
}

TEST_F(HubTest, MessagesCursorAndHostComingAndGoing) {
  FakeViewer v;
  auto id = hub.join(&v, Role::kControl);
  EXPECT_EQ(send(id, {kKeyType, 1}), kCloseUnsupported);
  EXPECT_EQ(send(id, {0x7f, 1, 2}), std::nullopt);
  EXPECT_EQ(text(id, R"({"type":"ping","t":42})"), std::nullopt);
  EXPECT_EQ(v.texts.back(), R"({"type":"pong","t":42})");

  CursorImage arrow{1, 2, 16, 16, std::make_shared<std::vector<uint8_t>>(50, 7)};
  frame(true, arrow);
  frame(false, arrow);
  EXPECT_EQ(v.cursors, std::vector<size_t>{50});
  CursorImage moved = arrow;
  moved.hotX = 3;
  frame(false, moved);
  EXPECT_EQ(v.cursors.size(), 2u);
  FakeViewer late;
  hub.join(&late, Role::kView);
  EXPECT_EQ(late.cursors, std::vector<size_t>{50});

  hub.hostDisconnected();
  EXPECT_EQ(v.texts.back(), R"({"type":"host","connected":false})");
  host.take();
  send(id, Key(true, 65));
  EXPECT_TRUE(host.take().empty());
  hub.hostConnected();
  EXPECT_EQ(v.texts.back(), R"({"type":"host","connected":true})");
  EXPECT_EQ(host.take(), (std::vector<std::string>{"rc_capture setQuality {value: 3}",
                                                   "rc_capture startCapture {fps: 20}",
                                                   "rc_capture setIFrame"}));
}

}  // namespace
}  // namespace rcweb
