// RcCapturePlugin: the "rc_capture" method channel. Answers the capture commands (start, stop,
// frame rate, quality, key frames, screens, screen-recording permission, dispose) and sends every
// encoded frame, with the cursor image, to the application as "onCaptureFrame".
//
// Lifetime: registerWithRegistrar makes one plugin, which makes the process's one capturer; the
// registrar keeps the plugin alive for the engine's life. "dispose" (or detachFromEngine) disposes
// of the capturer and drops it; only the client's departure (applicationDetached) makes another.
//
// Threads: commands arrive on the platform thread and are answered there, exactly once, before
// handleMethodCall returns. Frames come from the capture thread (or from the platform thread when
// "startCapture" re-sends the last frame) with the capture object's lock held; the producer waits
// on `semaphore` until the previous message has been handed to the channel, and a work item on
// the global background queue hands the next one over. So at most one message is ever between a
// producer and the channel, and the wait never needs the platform thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "packages/rc_capture/Video/BaseCapture.h"
#include "packages/rc_capture/rc_capture_export.h"
#include "platform/flutter/FlutterPlugin.h"
#include "platform/foundation/DispatchQueue.h"

namespace rc_capture {

class RcCapturePlugin : public flutter::FlutterPlugin,
                        public std::enable_shared_from_this<RcCapturePlugin> {
 public:
  // Makes the plugin, opens "rc_capture" on the registrar's messenger and adds the plugin as its
  // delegate. Platform thread. The host's entry point.
  RC_CAPTURE_EXPORT static void registerWithRegistrar(
      std::shared_ptr<flutter::FlutterPluginRegistrar> registrar);
  // The same, returning the plugin (null for a null registrar).
  static std::shared_ptr<RcCapturePlugin> Register(
      const std::shared_ptr<flutter::FlutterPluginRegistrar>& registrar);

  RcCapturePlugin();
  ~RcCapturePlugin() override;
  // Makes the capturer and wires its frames to this plugin. Call once, on a plugin held by a
  // shared_ptr.
  void init();

  // handle(_:result:): dispatches one command. Platform thread. Never answers with an error.
  void handleMethodCall(const flutter::FlutterMethodCall& call,
                        flutter::FlutterResult result) override;
  // Removes the channel's handler, then disposes of the capturer and drops it.
  void detachFromEngine(const std::shared_ptr<flutter::FlutterPluginRegistrar>& registrar);
  // The client has gone: capture stops and the capturer is back at the rate and quality it was
  // made with (one disposed of is made anew), as on a freshly started host.
  void applicationDetached() override;

  // Admits one frame message at a time (count 1). Module-internal.
  foundation::DispatchSemaphore semaphore{1};

  // For tests: the capturer, as the frame delivery sees it.
  std::shared_ptr<BaseCapture> captureForTesting() const { return currentCapture(); }

 private:
  void tryInitVideoCapture();
  // The frame callback's work, on the producing thread.
  void deliverFrame(std::vector<uint8_t> data, std::optional<BaseCapture::CursorFrame> cursor);
  flutter::Value screenList() const;
  std::shared_ptr<BaseCapture> currentCapture() const;
  std::shared_ptr<flutter::FlutterMethodChannel> currentChannel() const;

  // `channel` and `capture` are written on the platform thread and read by the frame delivery on
  // other threads; this lock makes each read see a whole value. It is never held while calling
  // into the capturer.
  mutable std::mutex fieldsMutex;
  std::shared_ptr<flutter::FlutterMethodChannel> channel;
  std::shared_ptr<BaseCapture> capture;
  foundation::DispatchQueue& invokeBackgroundQueue;
  // Counts client departures; a frame is delivered only within the session it was made in.
  std::atomic<uint64_t> session{0};
  // What a new capturer starts with (platform thread).
  int64_t initialFps = 0;
  int64_t initialQuality = 0;
};

}  // namespace rc_capture
