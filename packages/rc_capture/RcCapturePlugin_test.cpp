// The "rc_capture" channel, driven only through encoded calls from the in-process peer, on the
// simulated desktop, with a manual clock whose sleeps wait at a gate: each tick of the capture
// loop after the first runs only when the test lets it.
#include "packages/rc_capture/RcCapturePlugin.h"

#include <gtest/gtest.h>

#include <future>
#include <limits>

#include "packages/rc_capture/capture_test_support.h"
#include "platform/desktop/sim/SimDesktop.h"
#include "platform/desktop/sim/testing/SimDesktopFixture.h"
#include "platform/flutter/FlutterEngine.h"
#include "platform/flutter/testing/TestPeer.h"
#include "platform/foundation/testing/ManualClock.h"
#include "platform/testing/TestSupport.h"

namespace rc_capture {
namespace {

using desktop::CFDictionary;
using desktop::CFWindowEntry;
using desktop::sim::SimDesktop;
using flutter::MakeMap;
using flutter::Value;
using flutter::ValueList;
using flutter::ValueMap;
using rctest::WaitUntil;

constexpr auto kSeconds = std::chrono::seconds(20);
constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();

// A reply or field that must be 64-bit on the wire (tag 4): Value equality compares the width too.
Value I64(int64_t v) {
  return Value(v);
}

// The keys of a map, in order.
std::vector<std::string> Keys(const Value& map) {
  std::vector<std::string> keys;
  if (const auto* m = map.GetIf<ValueMap>()) {
    for (const auto& [k, v] : *m)
      keys.push_back(k.Is<std::string>() ? *k.GetIf<std::string>() : "?");
  }
  return keys;
}

class CapturePluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim->setDisplaySize(64, 48);
    clock->setOnSleep([gate = gate](double) { gate->pass(); });
    engine.startPlatformThread();
    peer = flutter::testing::TestPeer::Attach(engine);
    engine.runOnPlatformThreadAndWait(
        [&] { plugin = RcCapturePlugin::Register(engine.registrarForPlugin("RcCapturePlugin")); });
    capture = plugin->captureForTesting();
  }
  void TearDown() override {
    peer->setHolding(false);
    if (plugin) peer->call("rc_capture", "dispose");
    gate->open();
    for (const auto& t : threads) EXPECT_TRUE(t->waitUntilFinished(20));
    engine.stopPlatformThread();
  }

  // Sends one command and returns its reply (null for the absent value).
  Value call(const std::string& method, const Value& args = Value()) {
    return peer->call("rc_capture", method, args).value();
  }
  // "startCapture", remembering the capture thread so that TearDown can wait for it.
  Value start(const Value& args = Value()) {
    auto reply = call("startCapture", args);
    if (auto t = capture->threadForTesting()) threads.push_back(t);
    return reply;
  }
  // The argument map of message i, checked to be an "onCaptureFrame" call.
  Value message(size_t i) {
    auto all = peer->messages();
    EXPECT_LT(i, all.size());
    if (i >= all.size() || !all[i].call) return Value(ValueMap{});
    EXPECT_EQ(all[i].call->method, "onCaptureFrame");
    return all[i].call->arguments;
  }
  // Whether message i carries a VP9 key frame.
  bool isKeyFrame(size_t i) {
    const Value m = message(i);
    const auto* data = m.Find("data") ? m.Find("data")->GetIf<std::vector<uint8_t>>() : nullptr;
    return data && !data->empty() && ((*data)[0] & 0xcc) == 0x80;
  }
  // Holds messages, starts capture and waits until the producer of frame 2 waits at the
  // semaphore behind the held frame 1.
  void holdTwoFrames() {
    peer->setHolding(true);
    start();
    ASSERT_TRUE(WaitUntil([&] { return peer->heldCount() == 1; }));
    gate->allow();
    ASSERT_TRUE(WaitUntil([&] { return sim->grabCount() == 2; }));
  }

  desktop::sim::testing::ScopedSimDesktop sim;
  foundation::testing::ScopedManualClock clock;
  std::shared_ptr<testing::Gate> gate = std::make_shared<testing::Gate>();
  flutter::FlutterEngine engine;
  std::shared_ptr<flutter::testing::TestPeer> peer;
  std::shared_ptr<RcCapturePlugin> plugin;
  std::shared_ptr<BaseCapture> capture;
  std::vector<std::shared_ptr<foundation::NSThread>> threads;
};

// ---- the command table

// Each command in order, before "dispose" and then again after it. Names are case-sensitive:
// unknown ones are answered true and change nothing. How each argument value reads is
// MethodArguments' test; here each command's use of its argument. A rate below 1 used to reach
// SetFps unchanged and made the frame period infinite or negative.
TEST_F(CapturePluginTest, EveryCommandBeforeAndAfterDispose) {
  sim->setWindowList(std::vector<CFWindowEntry>{CFDictionary{{"kCGWindowName", "Mail"}}});
  const Value screens = call("getResolution");
  const Value null, yes(true), no(false);
  const struct {
    const char* method;
    Value args, before, after;
  } steps[] = {
      {"getFPS", null, I64(30), null},
      {"incrementFPS", null, I64(30), null},
      {"decrementFPS", null, I64(29), null},
      {"setFPS", MakeMap({{"value", 0}}), yes, yes},  // rates below 1 are 1
      {"getFPS", null, I64(1), null},
      {"setFPS", MakeMap({{"value", 20.5}}), no, no},
      {"setFPS", MakeMap({{"value", 10}}), yes, yes},
      {"getFPS", null, I64(10), null},
      {"incrementFPS", null, I64(10), null},
      {"setFPS", null, no, no},
      {"setQuality", MakeMap({{"value", int64_t{1} << 40}}), yes, yes},  // clamped to 32 bits
      {"getQuality", null, I64(kInt32Max), null},
      {"setQuality", MakeMap({{"value", 2}}), yes, yes},
      {"setQuality", MakeMap({}), no, no},
      {"getQuality", null, I64(2), null},
      {"setIFrame", null, yes, yes},
      {"stopCapture", null, yes, yes},
      {"requestPermission", null, yes, yes},
      {"checkPermission", null, yes, yes},
      {"getResolution", null, screens, screens},
      {"noSuchCommand", null, yes, yes},
      {"SetFPS", MakeMap({{"value", 5}}), yes, yes},
      {"GETFPS", null, yes, yes},
      {"startcapture", MakeMap({{"fps", 5}}), yes, yes},
      {"getFPS", null, I64(10), null},
  };
  for (bool disposed : {false, true}) {
    for (const auto& s : steps) {
      EXPECT_EQ(call(s.method, s.args), disposed ? s.after : s.before) << s.method << disposed;
    }
    EXPECT_FALSE(capture->isRun);
    if (!disposed) {
      EXPECT_EQ(call("dispose"), yes);
    }
  }
  EXPECT_EQ(screens.GetIf<ValueList>()->size(), 1u);
  EXPECT_TRUE(capture->isDisposed());
  EXPECT_EQ(plugin->captureForTesting(), nullptr);
  EXPECT_EQ(start(MakeMap({{"fps", 15}})), yes);
  EXPECT_EQ(capture->threadForTesting(), nullptr);
  EXPECT_EQ(call("dispose"), yes);
  EXPECT_EQ(call("Dispose"), yes);
  EXPECT_EQ(sim->grabCount(), 0);
  EXPECT_EQ(peer->messageCount(), 0u);
  EXPECT_EQ(call("setFPS", MakeMap({{"value", 3}})), yes);
  EXPECT_EQ(capture->GetFps(), 10);  // the dropped capturer is not touched
}

// ---- screens and the screen-recording permission

TEST_F(CapturePluginTest, TheScreenListIsInPointsTruncatedTo32BitIntegers) {
  auto screen = [](int32_t x, int32_t y, int32_t w, int32_t h) {
    return Value(MakeMap({{"x", x}, {"y", y}, {"width", w}, {"height", h}}));
  };
  sim->setScreens({{{0, 0}, {1440, 900}}, {{-1920.5, 100.7}, {1920.9, 1080.2}}});
  EXPECT_EQ(call("getResolution"),
            Value(ValueList{screen(0, 0, 1440, 900), screen(-1920, 100, 1920, 1080)}));
}

TEST_F(CapturePluginTest, CheckPermissionReadsTheWindowList) {
  sim->setProcessIdentifier(500);
  auto titled = [](desktop::CFValue pid, std::string owner) {
    return CFWindowEntry(CFDictionary{
        {"kCGWindowOwnerPID", pid}, {"kCGWindowOwnerName", owner}, {"kCGWindowName", "Inbox"}});
  };
  const struct {
    const char* what;
    std::optional<std::vector<CFWindowEntry>> list;
    bool answer;
  } cases[] = {
      {"no list", std::nullopt, false},
      {"an empty list", std::vector<CFWindowEntry>{}, false},
      {"another process's titled window", std::vector{titled(int64_t{77}, "Mail")}, true},
      {"only the own process's windows", std::vector{titled(int64_t{500}, "Us")}, false},
      {"own pid given as a whole float", std::vector{titled(500.0, "Us")}, false},
      {"the window server's windows", std::vector{titled(int64_t{1}, "Window Server")}, false},
      {"owner name in another case counts", std::vector{titled(int64_t{1}, "window server")}, true},
      {"an unreadable pid does not exclude", std::vector{titled("500", "Us")}, true},
      {"a pid beyond 32 bits does not match",
       std::vector{titled(int64_t{500} + (int64_t{1} << 32), "Us")}, true},
      {"untitled windows only",
       std::vector<CFWindowEntry>{CFDictionary{{"kCGWindowOwnerPID", int64_t{77}}}}, false},
      {"an empty title counts",
       std::vector<CFWindowEntry>{CFDictionary{{"kCGWindowName", std::string()}}}, true},
      {"a title of another type counts",
       std::vector<CFWindowEntry>{CFDictionary{{"kCGWindowName", desktop::CFOther{}}}}, true},
      {"entries that are not dictionaries are skipped",
       std::vector<CFWindowEntry>{std::nullopt, titled(int64_t{500}, "Us"), std::nullopt}, false},
  };
  for (const auto& c : cases) {
    sim->setWindowList(c.list);
    EXPECT_EQ(call("checkPermission"), Value(c.answer)) << c.what;
  }
  for (uint32_t option : sim->windowListOptions()) EXPECT_EQ(option, 16u);
}

TEST_F(CapturePluginTest, RequestPermissionAsksFrom1015OnAndAlwaysOpensTheSettingsPage) {
  const std::string url =
      "url:x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";
  sim->setOperatingSystemVersion({10, 14, 6});
  EXPECT_EQ(call("requestPermission"), Value(true));
  sim->setOperatingSystemVersion({10, 15, 0});
  EXPECT_EQ(call("requestPermission"), Value(true));
  sim->setOperatingSystemVersion({14, 2, 0});
  EXPECT_EQ(call("requestPermission"), Value(true));
  EXPECT_EQ(sim->permissionCalls(),
            (std::vector<std::string>{url, "request", url, "request", url}));
}

// ---- frame messages

TEST_F(CapturePluginTest, AFrameMessageCarriesTheCeilingTheFrameAndTheCursor) {
  sim->setCursor(SimDesktop::MakeCursor(32, 32, {32, 32}, {4, 5}));
  start(MakeMap({{"fps", true}}));  // not an integer: the default rate
  ASSERT_TRUE(peer->waitForMessages(1));
  auto m = message(0);
  EXPECT_EQ(Keys(m), (std::vector<std::string>{"fps", "data", "cursor"}));
  EXPECT_EQ(*m.Find("fps"), I64(30));
  EXPECT_TRUE(isKeyFrame(0));  // the first frame after a start
  const Value& cursor = *m.Find("cursor");
  EXPECT_EQ(Keys(cursor), (std::vector<std::string>{"x", "y", "width", "height", "data"}));
  EXPECT_EQ(std::vector({*cursor.Find("x"), *cursor.Find("y"), *cursor.Find("width"),
                         *cursor.Find("height")}),
            std::vector({I64(4), I64(5), I64(32), I64(32)}));
  const auto* png = cursor.Find("data")->GetIf<std::vector<uint8_t>>();
  ASSERT_TRUE(png && png->size() > 8);
  EXPECT_EQ(std::string(png->begin() + 1, png->begin() + 4), "PNG");

  sim->setCursor(std::nullopt);
  gate->allow();
  ASSERT_TRUE(peer->waitForMessages(2));
  EXPECT_EQ(Keys(message(1)), (std::vector<std::string>{"fps", "data"}));
}

TEST_F(CapturePluginTest, FramesCarryTheCeilingNotTheWorkingRate) {
  start(MakeMap({{"fps", 12}}));
  for (int64_t rate : {11, 10, 9}) EXPECT_EQ(call("decrementFPS"), I64(rate));
  gate->allow(2);
  ASSERT_TRUE(peer->waitForMessages(3));
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(*message(i).Find("fps"), I64(12)) << i;
  EXPECT_NEAR(clock->sleeps().back(), 1.0 / 9, 1e-9);
}

TEST_F(CapturePluginTest, AFrameWithoutAChannelSendsNothingAndLeavesTheSemaphoreFree) {
  auto loose = std::make_shared<RcCapturePlugin>();
  loose->init();
  auto frame = loose->captureForTesting()->evCaptureFrame;
  auto second = std::async(std::launch::async, [&] {
    frame({1, 2, 3}, std::nullopt);
    frame({4, 5, 6}, std::nullopt);  // passes only if the first one's work item signalled
  });
  ASSERT_EQ(second.wait_for(kSeconds), std::future_status::ready);
  ASSERT_TRUE(loose->semaphore.waitFor(20));
  loose->semaphore.signal();
  EXPECT_EQ(peer->messageCount(), 0u);
}

TEST_F(CapturePluginTest, AfterThePluginIsReleasedFramesCauseNoMessagesAndNoWaits) {
  auto frame = capture->evCaptureFrame;
  std::weak_ptr<RcCapturePlugin> weak = plugin;
  plugin.reset();
  engine.runOnPlatformThreadAndWait([&] { engine.releasePlugins(); });
  ASSERT_TRUE(weak.expired());
  peer->setHolding(true);  // a wait for a hand-over would never end
  auto sent = std::async(std::launch::async, [&] {
    for (int i = 0; i < 3; ++i) frame({1, 2, 3}, std::nullopt);
  });
  ASSERT_EQ(sent.wait_for(kSeconds), std::future_status::ready);
  EXPECT_EQ(peer->messageCount(), 0u);
  EXPECT_EQ(peer->heldCount(), 0u);
}

// ---- back-pressure

TEST_F(CapturePluginTest, AHeldMessageMakesTheNextProducerWaitAndNothingIsDropped) {
  holdTwoFrames();
  EXPECT_EQ(peer->messageCount(), 0u);
  EXPECT_EQ(plugin->semaphore.count(), 0);
  ASSERT_TRUE(peer->releaseOne());
  ASSERT_TRUE(peer->waitForMessages(1));
  ASSERT_TRUE(WaitUntil([&] { return peer->heldCount() == 1; }));  // frame 2 handed over
  ASSERT_TRUE(peer->releaseOne());
  ASSERT_TRUE(peer->waitForMessages(2));
  EXPECT_TRUE(isKeyFrame(0));
  EXPECT_FALSE(isKeyFrame(1));
  EXPECT_EQ(peer->maxConcurrentDeliveries(), 1);
  EXPECT_TRUE(WaitUntil([&] { return plugin->semaphore.count() == 1; }));
}

// The re-send waits on the platform thread for the held message; the hand-over must not need
// that thread.
TEST_F(CapturePluginTest, StartCaptureResendsOnThePlatformThreadWhileAMessageIsInFlight) {
  peer->setHolding(true);
  start();
  ASSERT_TRUE(WaitUntil([&] { return peer->heldCount() == 1; }));
  auto again = std::async(std::launch::async, [&] { return call("startCapture"); });
  ASSERT_TRUE(peer->releaseOne());
  ASSERT_EQ(again.wait_for(kSeconds), std::future_status::ready);
  EXPECT_EQ(again.get(), Value(true));
  ASSERT_TRUE(peer->releaseOne());
  ASSERT_TRUE(peer->waitForMessages(2));
  EXPECT_TRUE(isKeyFrame(1));      // the re-sent frame follows a key-frame request
  EXPECT_EQ(sim->grabCount(), 1);  // ... and reuses the last image
  EXPECT_EQ(peer->maxConcurrentDeliveries(), 1);
}

// The capture thread holds the capture lock while it waits to hand frame 2 over; the command
// waits for that lock on the platform thread.
class CommandWhileTheProducerWaits : public CapturePluginTest,
                                     public ::testing::WithParamInterface<const char*> {};

TEST_P(CommandWhileTheProducerWaits, DoesNotDeadlock) {
  holdTwoFrames();
  auto reply = std::async(std::launch::async, [&] { return call(GetParam()); });
  ASSERT_TRUE(peer->releaseOne());
  ASSERT_EQ(reply.wait_for(kSeconds), std::future_status::ready);
  EXPECT_EQ(reply.get(), Value(true));
  ASSERT_TRUE(peer->releaseOne());
  ASSERT_TRUE(peer->waitForMessages(2));
  EXPECT_FALSE(capture->isRun);
  EXPECT_EQ(peer->maxConcurrentDeliveries(), 1);
}

INSTANTIATE_TEST_SUITE_P(StopAndDispose, CommandWhileTheProducerWaits,
                         ::testing::Values("stopCapture", "dispose"));

}  // namespace
}  // namespace rc_capture
