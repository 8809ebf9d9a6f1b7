#include "packages/rc_capture/RcCapturePlugin.h"

#include <gtest/gtest.h>

#include <future>
#include <limits>

#include "packages/rc_capture/plugin_test_support.h"
#include "platform/desktop/sim/SimDesktop.h"

namespace rc_capture {
namespace {

using desktop::CFDictionary;
using desktop::CFWindowEntry;
using desktop::sim::SimDesktop;
using flutter::MakeMap;
using flutter::Value;
using flutter::ValueList;
using flutter::ValueMap;
using testing::CapturePluginTest;
using testing::Keys;

constexpr auto kSeconds = std::chrono::seconds(20);

Value I64(int64_t v) {
  return Value(v);
}

// ---- the command table

TEST_F(CapturePluginTest, EveryCommandRightAfterRegistration) {
  EXPECT_EQ(call("getFPS"), I64(30));
  EXPECT_TRUE(call("getFPS").Is<int64_t>());  // 64-bit on the wire, even when small
  EXPECT_EQ(call("getQuality"), I64(0));
  EXPECT_TRUE(call("getQuality").Is<int64_t>());
  EXPECT_EQ(call("incrementFPS"), I64(30));
  EXPECT_EQ(call("decrementFPS"), I64(29));
  EXPECT_EQ(call("setFPS", MakeMap({{"value", 10}})), Value(true));
  EXPECT_EQ(call("getFPS"), I64(10));
  EXPECT_EQ(call("incrementFPS"), I64(10));
  EXPECT_EQ(call("setQuality", MakeMap({{"value", 2}})), Value(true));
  EXPECT_EQ(call("getQuality"), I64(2));
  EXPECT_EQ(call("setIFrame"), Value(true));
  EXPECT_EQ(call("stopCapture"), Value(true));
  EXPECT_EQ(call("requestPermission"), Value(true));
  EXPECT_TRUE(call("checkPermission").Is<bool>());
  EXPECT_TRUE(call("getResolution").Is<ValueList>());
  EXPECT_EQ(call("noSuchCommand"), Value(true));
  EXPECT_EQ(call("setFPS"), Value(false));
  EXPECT_EQ(call("setQuality", MakeMap({})), Value(false));
  EXPECT_EQ(call("getQuality"), I64(2));
}

TEST_F(CapturePluginTest, EveryCommandAfterDispose) {
  auto thread = capture->threadForTesting();
  EXPECT_EQ(call("dispose"), Value(true));
  EXPECT_TRUE(capture->isDisposed());
  EXPECT_EQ(plugin->captureForTesting(), nullptr);

  EXPECT_EQ(call("startCapture", MakeMap({{"fps", 15}})), Value(true));
  EXPECT_FALSE(capture->isRun);
  EXPECT_EQ(capture->threadForTesting(), nullptr);
  EXPECT_EQ(call("stopCapture"), Value(true));
  EXPECT_EQ(call("setFPS", MakeMap({{"value", 10}})), Value(true));
  EXPECT_EQ(call("setFPS", MakeMap({})), Value(false));
  EXPECT_EQ(call("setQuality", MakeMap({{"value", 10}})), Value(true));
  EXPECT_EQ(call("setQuality"), Value(false));
  for (const char* reader : {"getFPS", "getQuality", "incrementFPS", "decrementFPS"}) {
    EXPECT_TRUE(peer->call("rc_capture", reader).isNull()) << reader;
  }
  EXPECT_EQ(call("setIFrame"), Value(true));
  EXPECT_EQ(call("requestPermission"), Value(true));
  sim->setWindowList(std::vector<CFWindowEntry>{CFDictionary{{"kCGWindowName", "Mail"}}});
  EXPECT_EQ(call("checkPermission"), Value(true));
  EXPECT_EQ(call("getResolution").GetIf<ValueList>()->size(), 1u);
  EXPECT_EQ(call("dispose"), Value(true));
  EXPECT_EQ(call("Dispose"), Value(true));
  EXPECT_EQ(sim->grabCount(), 0);
  EXPECT_EQ(peer->messageCount(), 0u);
  EXPECT_EQ(capture->GetFps(), 30);  // the dropped capturer was not touched
}

TEST_F(CapturePluginTest, CommandNamesAreCaseSensitive) {
  for (const char* name : {"SetFPS", "GETFPS", "startcapture", "StartCapture", "setfps"}) {
    EXPECT_EQ(call(name, MakeMap({{"fps", 5}, {"value", 5}})), Value(true)) << name;
  }
  EXPECT_EQ(call("getFPS"), I64(30));
  EXPECT_FALSE(capture->isRun);
}

// ---- integer arguments

TEST_F(CapturePluginTest, IntegerArgumentsAreSigned64BitNumbersUnderTheirKey) {
  const struct {
    const char* what;
    Value args;
    bool counts;
    int64_t value;
  } cases[] = {
      {"no argument", Value(), false, 0},
      {"empty map", Value(ValueMap{}), false, 0},
      {"a list", Value(ValueList{Value(20)}), false, 0},
      {"a bare number", Value(20), false, 0},
      {"a string", MakeMap({{"k", "20"}}), false, 0},
      {"a fraction", MakeMap({{"k", 20.5}}), false, 0},
      {"a boolean", MakeMap({{"k", true}}), false, 0},
      {"a list value", MakeMap({{"k", Value(ValueList{Value(20)})}}), false, 0},
      {"2^63 as a float", MakeMap({{"k", 9223372036854775808.0}}), false, 0},
      {"NaN", MakeMap({{"k", std::numeric_limits<double>::quiet_NaN()}}), false, 0},
      {"a non-string key", Value(ValueMap{{Value("k"), Value(20)}, {Value(1), Value(2)}}), false,
       0},
      {"int32", MakeMap({{"k", int32_t{20}}}), true, 20},
      {"int64", MakeMap({{"k", int64_t{21}}}), true, 21},
      {"a whole float", MakeMap({{"k", 20.0}}), true, 20},
      {"-2^63 as a float", MakeMap({{"k", -9223372036854775808.0}}), true, 1},
      {"other keys beside it", MakeMap({{"other", "x"}, {"k", 22}}), true, 22},
  };
  auto keyed = [](const Value& args, const char* key) {
    auto* map = args.GetIf<ValueMap>();
    if (map == nullptr) return args;
    ValueMap out;
    for (const auto& [k, v] : *map) {
      out.emplace_back(k == Value("k") ? Value(key) : k, v);
    }
    return Value(out);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    call("setFPS", MakeMap({{"value", 7}}));
    EXPECT_EQ(call("setFPS", keyed(c.args, "value")), Value(c.counts));
    EXPECT_EQ(call("getFPS"), I64(c.counts ? std::max<int64_t>(c.value, 1) : 7));

    EXPECT_EQ(call("setQuality", keyed(c.args, "value")), Value(c.counts));

    EXPECT_EQ(start(keyed(c.args, "fps")), Value(true));
    EXPECT_EQ(call("getFPS"), I64(c.counts ? std::max<int64_t>(c.value, 1) : 30));
    EXPECT_EQ(call("stopCapture"), Value(true));
    gate->allow();  // lets the stopped loop end
  }
}

// A rate below 1 used to reach SetFps unchanged and made the frame period infinite or negative.
TEST_F(CapturePluginTest, RatesBelowOneAndQualitiesBeyond32BitsAreClamped) {
  EXPECT_EQ(call("setFPS", MakeMap({{"value", 0}})), Value(true));
  EXPECT_EQ(call("getFPS"), I64(1));
  EXPECT_EQ(start(MakeMap({{"fps", -3}})), Value(true));
  EXPECT_EQ(call("getFPS"), I64(1));
  EXPECT_DOUBLE_EQ(capture->timePerFpsForTesting(), 1.0);
  EXPECT_EQ(call("setQuality", MakeMap({{"value", int64_t{1} << 40}})), Value(true));
  EXPECT_EQ(call("getQuality"), I64(std::numeric_limits<int32_t>::max()));
  EXPECT_EQ(call("setQuality", MakeMap({{"value", -(int64_t{1} << 40)}})), Value(true));
  EXPECT_EQ(call("getQuality"), I64(std::numeric_limits<int32_t>::min()));
}

// ---- screens

TEST_F(CapturePluginTest, TheScreenListIsInPointsTruncatedTo32BitIntegers) {
  auto screen = [](int32_t x, int32_t y, int32_t w, int32_t h) {
    return Value(MakeMap({{"x", x}, {"y", y}, {"width", w}, {"height", h}}));
  };
  sim->setScreens({{{0, 0}, {1440, 900}}});
  EXPECT_EQ(call("getResolution"), Value(ValueList{screen(0, 0, 1440, 900)}));

  sim->setScreens({{{0, 0}, {1440, 900}}, {{-1920, 100}, {1920, 1080}}});
  EXPECT_EQ(call("getResolution"),
            Value(ValueList{screen(0, 0, 1440, 900), screen(-1920, 100, 1920, 1080)}));

  sim->setScreens({{{1440.5, -900.7}, {1280.9, 800.2}}});
  auto reply = call("getResolution");
  EXPECT_EQ(reply, Value(ValueList{screen(1440, -900, 1280, 800)}));
  const auto& first = (*reply.GetIf<ValueList>())[0];
  for (const char* key : {"x", "y", "width", "height"}) {
    EXPECT_TRUE(first.Find(key)->Is<int32_t>()) << key;  // 32-bit on the wire
  }

  sim->setScreens({});
  EXPECT_EQ(call("getResolution"), Value(ValueList{}));
}

// ---- the screen-recording permission

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
      {"the first titled foreign window decides",
       std::vector<CFWindowEntry>{std::nullopt, titled(int64_t{500}, "Us"),
                                  titled(int64_t{9}, "Notes")},
       true},
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
  EXPECT_EQ(sim->permissionCalls(), (std::vector<std::string>{url}));
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
  start();
  ASSERT_TRUE(peer->waitForMessages(1));
  auto m = message(0);
  EXPECT_EQ(Keys(m), (std::vector<std::string>{"fps", "data", "cursor"}));
  EXPECT_TRUE(m.Find("fps")->Is<int64_t>());
  EXPECT_EQ(*m.Find("fps"), I64(30));
  const auto* data = m.Find("data")->GetIf<std::vector<uint8_t>>();
  ASSERT_NE(data, nullptr);
  ASSERT_FALSE(data->empty());
  EXPECT_EQ((*data)[0] & 0xc4, 0x80);  // a VP9 key frame: the first frame after a start

  const Value& cursor = *m.Find("cursor");
  EXPECT_EQ(Keys(cursor), (std::vector<std::string>{"x", "y", "width", "height", "data"}));
  for (const char* key : {"x", "y", "width", "height"}) {
    EXPECT_TRUE(cursor.Find(key)->Is<int64_t>()) << key;
  }
  EXPECT_EQ(*cursor.Find("x"), I64(4));
  EXPECT_EQ(*cursor.Find("y"), I64(5));
  EXPECT_EQ(*cursor.Find("width"), I64(32));
  EXPECT_EQ(*cursor.Find("height"), I64(32));
  const auto* png = cursor.Find("data")->GetIf<std::vector<uint8_t>>();
  ASSERT_NE(png, nullptr);
  ASSERT_GT(png->size(), 8u);
  EXPECT_EQ((*png)[1], 'P');

  sim->setCursor(std::nullopt);
  gate->allow();
  ASSERT_TRUE(peer->waitForMessages(2));
  EXPECT_EQ(Keys(message(1)), (std::vector<std::string>{"fps", "data"}));
}

TEST_F(CapturePluginTest, FramesCarryTheCeilingNotTheWorkingRate) {
  start(MakeMap({{"fps", 12}}));
  EXPECT_EQ(call("decrementFPS"), I64(11));
  EXPECT_EQ(call("decrementFPS"), I64(10));
  EXPECT_EQ(call("decrementFPS"), I64(9));
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

// Waits (bounded) until `done` holds; the bound only ends a test that would otherwise hang.
template <typename F>
bool WaitUntil(F done) {
  for (int i = 0; i < 20000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

bool IsKeyFrame(const Value& message) {
  const auto* data =
      message.Find("data") ? message.Find("data")->GetIf<std::vector<uint8_t>>() : nullptr;
  return data && !data->empty() && ((*data)[0] & 0xcc) == 0x80;
}

TEST_F(CapturePluginTest, AHeldMessageMakesTheNextProducerWaitAndNothingIsDropped) {
  peer->setHolding(true);
  start();
  ASSERT_TRUE(WaitUntil([&] { return peer->heldCount() == 1; }));
  gate->allow();  // frame 2: grabbed and encoded, then its producer waits at the semaphore
  ASSERT_TRUE(WaitUntil([&] { return sim->grabCount() == 2; }));
  EXPECT_EQ(peer->messageCount(), 0u);
  EXPECT_EQ(plugin->semaphore.count(), 0);

  ASSERT_TRUE(peer->releaseOne());
  ASSERT_TRUE(peer->waitForMessages(1));
  ASSERT_TRUE(WaitUntil([&] { return peer->heldCount() == 1; }));  // frame 2 handed over
  ASSERT_TRUE(peer->releaseOne());
  ASSERT_TRUE(peer->waitForMessages(2));

  EXPECT_TRUE(IsKeyFrame(message(0)));
  EXPECT_FALSE(IsKeyFrame(message(1)));
  EXPECT_EQ(peer->maxConcurrentDeliveries(), 1);
  EXPECT_TRUE(WaitUntil([&] { return plugin->semaphore.count() == 1; }));
  EXPECT_EQ(plugin->semaphore.count(), 1);
}

TEST_F(CapturePluginTest, StartCaptureResendsOnThePlatformThreadWhileAMessageIsInFlight) {
  peer->setHolding(true);
  start();
  ASSERT_TRUE(WaitUntil([&] { return peer->heldCount() == 1; }));
  // The re-send waits on the platform thread for the held message; the hand-over must not need
  // that thread.
  auto again = std::async(std::launch::async, [&] { return call("startCapture"); });
  ASSERT_TRUE(peer->releaseOne());
  ASSERT_EQ(again.wait_for(kSeconds), std::future_status::ready);
  EXPECT_EQ(again.get(), Value(true));
  ASSERT_TRUE(peer->releaseOne());
  ASSERT_TRUE(peer->waitForMessages(2));
  EXPECT_TRUE(IsKeyFrame(message(1)));  // the re-sent frame follows a key-frame request
  EXPECT_EQ(sim->grabCount(), 1);       // ... and reuses the last image
  EXPECT_EQ(peer->maxConcurrentDeliveries(), 1);
}

class CommandWhileTheProducerWaits : public CapturePluginTest,
                                     public ::testing::WithParamInterface<const char*> {};

TEST_P(CommandWhileTheProducerWaits, DoesNotDeadlock) {
  peer->setHolding(true);
  start();
  ASSERT_TRUE(WaitUntil([&] { return peer->heldCount() == 1; }));
  gate->allow();
  ASSERT_TRUE(WaitUntil([&] { return sim->grabCount() == 2; }));
  // The capture thread holds the capture lock while it waits to hand frame 2 over; the command
  // waits for that lock on the platform thread.
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
