// A test fixture with the input plugin registered on a running engine over a simulated desktop
// and a manual wall clock. Commands go through the real codec (TestPeer); events are read back
// from the simulated desktop.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "packages/rc_input/RcInputPlugin.h"
#include "platform/desktop/CoreGraphics.h"
#include "platform/desktop/sim/testing/SimDesktopFixture.h"
#include "platform/flutter/FlutterEngine.h"
#include "platform/flutter/testing/TestPeer.h"
#include "platform/foundation/testing/ManualClock.h"

namespace rc_input::testing {

using desktop::CGEvent;
using flutter::MakeMap;
using flutter::Value;
using flutter::testing::CallOutcome;

class InputChannelTest : public ::testing::Test {
 protected:
  // A whole second: click windows and caps-lock holds start from a known time.
  static constexpr int64_t kStartMs = 1'700'000'000'000;

  void SetUp() override {
    clock->setWallMilliseconds(kStartMs);
    engine.startPlatformThread();
    peer = flutter::testing::TestPeer::Attach(engine);
    engine.runOnPlatformThreadAndWait([&] {
      plugin = RcInputPlugin::registerInstance(engine.registrarForPlugin("RcInputPlugin"));
    });
  }

  CallOutcome send(const std::string& method, const Value& arguments = Value()) {
    return peer->call("rc_input", method, arguments);
  }
  CallOutcome key(int32_t vKey, bool down, bool extended = false) {
    return send("sendKey",
                MakeMap({{"vKey", vKey}, {"isKeyDown", down}, {"isExtendedKey", extended}}));
  }
  // Down then up.
  void tap(int32_t vKey) {
    key(vKey, true);
    key(vKey, false);
  }
  CallOutcome at(const std::string& method, int32_t x, int32_t y) {
    return send(method, MakeMap({{"x", x}, {"y", y}}));
  }
  CallOutcome withData(const std::string& method, int32_t x, int32_t y, int32_t data) {
    return send(method, MakeMap({{"x", x}, {"y", y}, {"data", data}}));
  }
  void advanceMs(int64_t ms) { clock->advance(static_cast<double>(ms) / 1000.0); }

  std::vector<CGEvent> events() {
    std::vector<CGEvent> out;
    for (const auto& posted : sim->postedEvents()) out.push_back(posted.event);
    return out;
  }
  CGEvent lastEvent() {
    auto all = events();
    EXPECT_FALSE(all.empty());
    return all.empty() ? CGEvent{} : all.back();
  }
  // What `fn` printed to standard output.
  static std::string printed(const std::function<void()>& fn) {
    ::testing::internal::CaptureStdout();
    fn();
    return ::testing::internal::GetCapturedStdout();
  }
  static int64_t field(const CGEvent& e, int32_t f) {
    auto it = e.fields.find(f);
    return it == e.fields.end() ? -1 : it->second;  // -1: never set
  }

  // Installed before the plugin exists: it creates its event source at construction.
  desktop::sim::testing::ScopedSimDesktop sim;
  foundation::testing::ScopedManualClock clock;
  flutter::FlutterEngine engine;
  std::shared_ptr<flutter::testing::TestPeer> peer;
  std::shared_ptr<RcInputPlugin> plugin;
};

}  // namespace rc_input::testing
