// BaseCapture: the base of every screen capturer. Owns the encoder, the frame callback, the
// capture thread and the frame-rate state, and runs the paced capture loop; the work of a tick is
// the subclass's (ThreadProc, SendFrame).
//
// Threads: the command thread (the platform thread, in the plugin) calls every operation; one
// capture thread per Start() runs the loop. The capture object's lock (rc_core::synced on the
// object) is held by Start(), Stop(), the encoder's disposal and, in subclasses, by the grab and
// the whole of SendFrame(). It is re-entrant: Start() re-enters it through SendFrame().
//
// Pacing: the period runs from the start of one tick to the start of the next. A tick shorter
// than the period is followed by a sleep that fills it; a longer one by a 10 ms pause, never by
// none. Time and sleep come from foundation's replaceable clock.
//
// One capture thread at a time: each Start() that makes a thread gives it a new generation number,
// and a loop whose generation is no longer current ends at its next check, also when a Stop() and
// a Start() came while it was still inside its last tick or sleep.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "packages/rc_capture/Codec/VideoEncoder.h"
#include "packages/rc_core/BaseClass.h"
#include "platform/foundation/NSThread.h"

namespace rc_capture {

class BaseCapture : public rc_core::BaseNSObject {
 public:
  // One cursor image: hot spot and size in points (truncated toward zero), and the image redrawn
  // at width × height as PNG.
  struct CursorFrame {
    int64_t x = 0;
    int64_t y = 0;
    int64_t width = 0;
    int64_t height = 0;
    std::vector<uint8_t> image;
  };
  // Receives each encoded frame and, when there is one, the cursor record (both moved in). Called
  // on the thread that sends the frame, with the capture object's lock held.
  using FrameCallback =
      std::function<void(std::vector<uint8_t> data, std::optional<CursorFrame> cursor)>;

  // Creates the encoder (and with it the shared rc_vpx encoder when there is none), then sets the
  // ceiling and the working rate to 30 frames per second.
  void init() override;

  // Sets the ceiling and the working rate. Rates below 1 count as 1 (a period of 1/0 or a negative
  // one would stall or spin the loop). Picked up at the next tick; takes no lock.
  virtual void SetFps(int64_t value);
  // The ceiling (limitFpsValue), not the working rate.
  virtual int64_t GetFps();
  // One frame per second more, up to the ceiling; returns the working rate.
  virtual int64_t IncrementFPS();
  // One frame per second less, down to 1; returns the working rate.
  virtual int64_t decrementFPS();
  // Stores the encoder's quality, clamped to the signed 32-bit range the encoder takes.
  virtual void SetCodecQuality(int64_t value);
  virtual int64_t GetCodecQuality();
  // The next encoded frame is a key frame.
  virtual void SetIFrame();
  // Requests a key frame; then either re-sends the last frame on the calling thread (running) or
  // starts a new capture thread (stopped). Holds the lock throughout.
  virtual void Start();
  // Clears the running flag and drops the thread object; does not wait for the thread.
  virtual void Stop();
  // The work of one tick, on the capture thread. Nothing here.
  virtual void ThreadProc();
  // Encodes the last image and hands it to evCaptureFrame. Nothing here.
  virtual void SendFrame();
  // Stops, disposes of the encoder under the lock (so that it cannot overlap an encode), then the
  // base class's Dispose. `caller` is not used.
  void Dispose(const void* caller) override;

  // Created by init(); never replaced.
  std::shared_ptr<VideoEncoder> codec;
  // Set before capture starts; read under the capture object's lock.
  FrameCallback evCaptureFrame;
  // Written under the lock, read by the loop without it.
  std::atomic<bool> isRun{false};
  // The ceiling chosen by the application; read by the frame delivery on the producing thread.
  std::atomic<int64_t> limitFpsValue{30};
  // The rate that paces the loop; command thread only.
  int64_t workFpsValue = 30;

  // For tests.
  double timePerFpsForTesting() const { return timePerFps.load(std::memory_order_relaxed); }
  std::shared_ptr<foundation::NSThread> threadForTesting();
  // Capture loops running in the process, of every capturer; a loop counts until it has made its
  // last call.
  static int64_t runningLoopsForTesting();

 private:
  void SetWorkFps(int64_t value);

  std::shared_ptr<foundation::NSThread> th;
  // 1.0 / workFpsValue, written by the command thread, read by the loop.
  std::atomic<double> timePerFps{1.0 / 30};
  // Bumped by each Start() that makes a thread; a loop runs only while it holds the current one.
  std::atomic<uint64_t> generation{0};
};

}  // namespace rc_capture
