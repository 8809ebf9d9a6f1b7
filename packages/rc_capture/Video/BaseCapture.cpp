#include "packages/rc_capture/Video/BaseCapture.h"

#include <algorithm>

#include "packages/rc_core/synced.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Numeric.h"

namespace rc_capture {
namespace {

constexpr int64_t kDefaultFps = 30;
// The shortest pause between two ticks, so that a loop that falls behind still yields.
constexpr double kMinimumPause = 0.01;

std::atomic<int64_t> g_runningLoops{0};

struct RunningLoop {
  RunningLoop() { g_runningLoops.fetch_add(1, std::memory_order_acq_rel); }
  ~RunningLoop() { g_runningLoops.fetch_sub(1, std::memory_order_acq_rel); }
};

}  // namespace

void BaseCapture::init() {
  codec.reset();
  evCaptureFrame = nullptr;
  th.reset();
  isRun.store(false, std::memory_order_relaxed);
  codec = std::make_shared<VideoEncoder>();
  codec->init();
  BaseNSObject::init();
  limitFpsValue.store(kDefaultFps, std::memory_order_relaxed);
  SetWorkFps(kDefaultFps);
}

void BaseCapture::SetWorkFps(int64_t value) {
  workFpsValue = value;
  timePerFps.store(1.0 / static_cast<double>(value), std::memory_order_relaxed);
}

void BaseCapture::SetFps(int64_t value) {
  value = std::max<int64_t>(value, 1);
  limitFpsValue.store(value, std::memory_order_relaxed);
  SetWorkFps(value);
}

int64_t BaseCapture::GetFps() {
  return limitFpsValue.load(std::memory_order_relaxed);
}

int64_t BaseCapture::IncrementFPS() {
  if (workFpsValue < limitFpsValue.load(std::memory_order_relaxed)) SetWorkFps(workFpsValue + 1);
  return workFpsValue;
}

int64_t BaseCapture::decrementFPS() {
  if (workFpsValue >= 2) SetWorkFps(workFpsValue - 1);
  return workFpsValue;
}

void BaseCapture::SetCodecQuality(int64_t value) {
  codec->encProfile.store(foundation::Clamp<int32_t>(value), std::memory_order_relaxed);
}

int64_t BaseCapture::GetCodecQuality() {
  return codec->encProfile.load(std::memory_order_relaxed);
}

void BaseCapture::SetIFrame() {
  codec->SetIframe();
}

void BaseCapture::Start() {
  rc_core::synced(this, [&] {
    SetIFrame();
    if (isRun.load(std::memory_order_relaxed)) {
      SendFrame();
      return;
    }
    isRun.store(true, std::memory_order_relaxed);
    const uint64_t mine = generation.fetch_add(1, std::memory_order_relaxed) + 1;
    std::weak_ptr<BaseCapture> weak = std::static_pointer_cast<BaseCapture>(shared_from_this());
    th = foundation::NSThread::initWithBlock([weak, mine] {
      // The loop holds the object only for the length of one step. The tick's start time is the
      // loop's own: after a restart the old thread may finish its last tick beside the new one.
      RunningLoop running;
      double previousTime = 0;
      for (;;) {
        {
          auto self = weak.lock();
          if (!self || !self->isRun.load(std::memory_order_relaxed) ||
              self->generation.load(std::memory_order_relaxed) != mine) {
            return;
          }
          previousTime = CACurrentMediaTime();
          self->ThreadProc();
        }
        auto self = weak.lock();
        if (!self) continue;
        const double remaining = self->timePerFps.load(std::memory_order_relaxed) -
                                 (CACurrentMediaTime() - previousTime);
        self.reset();
        NSThreadSleep::sleepForTimeInterval(remaining > 0 ? remaining : kMinimumPause);
      }
    });
    th->start();
  });
}

void BaseCapture::Stop() {
  rc_core::synced(this, [&] {
    if (!isRun.load(std::memory_order_relaxed)) return;
    isRun.store(false, std::memory_order_relaxed);
    th.reset();
  });
}

void BaseCapture::ThreadProc() {}

void BaseCapture::SendFrame() {}

void BaseCapture::Dispose(const void*) {
  Stop();
  rc_core::synced(this, [&] { codec->Dispose(this); });
  BaseNSObject::Dispose(this);
}

int64_t BaseCapture::runningLoopsForTesting() {
  return g_runningLoops.load(std::memory_order_acquire);
}

std::shared_ptr<foundation::NSThread> BaseCapture::threadForTesting() {
  return rc_core::synced(this, [&] { return th; });
}

}  // namespace rc_capture
