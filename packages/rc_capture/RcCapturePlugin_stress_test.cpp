// Concurrency stress: the plugin captures the simulated desktop at high rates while two threads
// fire random capture commands and the peer holds and releases messages at random. Meant to run
// under the thread sanitizer; a watchdog turns a deadlock into a failure instead of a hang.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "packages/rc_capture/RcCapturePlugin.h"
#include "packages/rc_core/synced.h"
#include "platform/desktop/sim/testing/SimDesktopFixture.h"
#include "platform/flutter/FlutterEngine.h"
#include "platform/flutter/testing/TestPeer.h"
#include "platform/testing/TestSupport.h"

namespace rc_capture {
namespace {

using flutter::MakeMap;
using flutter::Value;

constexpr int kCommandsPerThread = 1500;
constexpr int kWatchdogSeconds = 120;

class Watchdog {
 public:
  Watchdog()
      : thread_([this] {
          for (int i = 0; i < kWatchdogSeconds * 10 && !done_; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
          }
          if (done_) return;
          std::fprintf(stderr, "watchdog: no end within %d s (deadlock)\n", kWatchdogSeconds);
          std::abort();
        }) {}
  ~Watchdog() {
    done_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// An argument of every kind the channel reads: none, in and out of range, fractional, a string.
Value RandomArgument(std::mt19937& rng, const char* key) {
  switch (rng() % 6) {
    case 0:
      return Value();
    case 1:
      return MakeMap({{key, static_cast<int64_t>(rng() % 246) - 5}});
    case 2:
      return MakeMap({{key, static_cast<double>(rng() % 120)}});
    case 3:
      return MakeMap({{key, int64_t{1} << 40}});
    case 4:
      return MakeMap({{key, "20"}});
    default:
      return MakeMap({{key, static_cast<int32_t>(rng() % 240) + 1}});
  }
}

void FireCommands(flutter::testing::TestPeer& peer, unsigned seed) {
  std::mt19937 rng(seed);
  static const char* const kOthers[] = {"getFPS",     "incrementFPS", "decrementFPS",
                                        "getQuality", "setIFrame",    "stopCapture"};
  for (int i = 0; i < kCommandsPerThread; ++i) {
    const unsigned pick = rng() % 10;
    if (pick < 3) {
      peer.call("rc_capture", "startCapture", RandomArgument(rng, "fps"));
    } else if (pick < 6) {
      peer.call("rc_capture", pick < 5 ? "setFPS" : "setQuality", RandomArgument(rng, "value"));
    } else {
      peer.call("rc_capture", kOthers[rng() % std::size(kOthers)]);
    }
  }
}

TEST(CapturePluginStressTest, RandomCommandsAgainstAHoldingPeer) {
  Watchdog watchdog;
  desktop::sim::testing::ScopedSimDesktop sim;
  sim->setDisplaySize(48, 32);
  flutter::FlutterEngine engine;
  engine.startPlatformThread();
  auto peer = flutter::testing::TestPeer::Attach(engine);
  std::shared_ptr<RcCapturePlugin> plugin;
  engine.runOnPlatformThreadAndWait(
      [&] { plugin = RcCapturePlugin::Register(engine.registrarForPlugin("RcCapturePlugin")); });
  auto capture = plugin->captureForTesting();

  // Each frame handed over gets a sequence number in place of its bytes, assigned under the
  // capture lock, i.e. in the order in which producers reach the hand-over.
  std::atomic<uint64_t> handedOver{0};
  rc_core::synced(capture.get(), [&] {
    capture->evCaptureFrame = [deliver = capture->evCaptureFrame, &handedOver](
                                  std::vector<uint8_t>, std::optional<BaseCapture::CursorFrame> c) {
      const uint64_t seq = handedOver.fetch_add(1);
      std::vector<uint8_t> data(sizeof seq);
      std::memcpy(data.data(), &seq, sizeof seq);
      deliver(std::move(data), std::move(c));
    };
  });

  std::atomic<bool> stopHolder{false};
  std::thread holder([&] {
    std::mt19937 rng(7);
    while (!stopHolder) {
      peer->setHolding(rng() % 3 == 0);
      if (peer->heldCount() > 0 && rng() % 2 == 0) peer->releaseOne(1);
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
    }
  });
  std::thread a([&] { FireCommands(*peer, 1); });
  std::thread b([&] { FireCommands(*peer, 2); });
  a.join();
  b.join();
  EXPECT_EQ(peer->call("rc_capture", "dispose").value(), Value(true));
  const uint64_t atDispose = handedOver.load();
  stopHolder = true;
  holder.join();
  peer->setHolding(false);

  // None lost between hand-over and peer: every frame handed over arrives, in order, and none
  // is made after dispose.
  ASSERT_TRUE(peer->waitForMessages(atDispose));
  ASSERT_EQ(handedOver.load(), atDispose);
  auto messages = peer->messages();
  ASSERT_EQ(messages.size(), atDispose);
  for (size_t i = 0; i < messages.size(); ++i) {
    ASSERT_TRUE(messages[i].call);
    const Value& args = messages[i].call->arguments;
    const auto* bytes = args.Find("data")->GetIf<std::vector<uint8_t>>();
    uint64_t seq = UINT64_MAX;
    if (bytes && bytes->size() == sizeof seq) std::memcpy(&seq, bytes->data(), sizeof seq);
    ASSERT_EQ(seq, i);
    if (const Value* fps = args.Find("fps")) {
      EXPECT_GE(fps->AsInt64().value_or(0), 1);
      EXPECT_LT(i, atDispose) << "a frame made after dispose carries fps";
    }
  }
  EXPECT_EQ(peer->maxConcurrentDeliveries(), 1);
  EXPECT_GT(messages.size(), 10u);
  std::fprintf(stderr, "stress: %zu frames delivered\n", messages.size());
  engine.stopPlatformThread();
  // Stopped loops end at their next check, at most one frame period (1 s at 1 fps) away.
  EXPECT_TRUE(rctest::WaitUntil([] { return BaseCapture::runningLoopsForTesting() == 0; }));
}

}  // namespace
}  // namespace rc_capture
