// Test support for the channel tests: an engine with its platform thread, the in-process peer,
// the simulated desktop, and a manual clock whose sleeps wait at a gate, so that each tick of the
// capture loop runs only when the test lets it.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "packages/rc_capture/RcCapturePlugin.h"
#include "platform/desktop/sim/testing/SimDesktopFixture.h"
#include "platform/flutter/FlutterEngine.h"
#include "platform/flutter/testing/TestPeer.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/testing/ManualClock.h"

namespace rc_capture::testing {

// Holds every sleep of the capture loop until the test allows one more tick (or opens the gate).
class SleepGate {
 public:
  void allow(int n = 1) {
    std::lock_guard lock(mutex_);
    permits_ += n;
    cv_.notify_all();
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void pass() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return open_ || permits_ > 0; });
    if (!open_) --permits_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int permits_ = 0;
  bool open_ = false;
};

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
  flutter::Value call(const std::string& method, const flutter::Value& args = flutter::Value()) {
    return peer->call("rc_capture", method, args).value();
  }
  // "startCapture", remembering the capture thread so that TearDown can wait for it.
  flutter::Value start(const flutter::Value& args = flutter::Value()) {
    auto reply = call("startCapture", args);
    if (auto t = capture ? capture->threadForTesting() : nullptr) threads.push_back(t);
    return reply;
  }
  // The argument map of message i.
  flutter::Value message(size_t i) {
    auto all = peer->messages();
    if (i >= all.size() || !all[i].call) return {};
    EXPECT_EQ(all[i].channel, "rc_capture");
    EXPECT_EQ(all[i].call->method, "onCaptureFrame");
    return all[i].call->arguments;
  }

  desktop::sim::testing::ScopedSimDesktop sim;
  foundation::testing::ScopedManualClock clock;
  std::shared_ptr<SleepGate> gate = std::make_shared<SleepGate>();
  flutter::FlutterEngine engine;
  std::shared_ptr<flutter::testing::TestPeer> peer;
  std::shared_ptr<RcCapturePlugin> plugin;
  std::shared_ptr<BaseCapture> capture;
  std::vector<std::shared_ptr<foundation::NSThread>> threads;
};

// The keys of a map, in order.
inline std::vector<std::string> Keys(const flutter::Value& map) {
  std::vector<std::string> keys;
  if (const auto* m = map.GetIf<flutter::ValueMap>()) {
    for (const auto& [k, v] : *m)
      keys.push_back(k.Is<std::string>() ? *k.GetIf<std::string>() : "?");
  }
  return keys;
}

}  // namespace rc_capture::testing
