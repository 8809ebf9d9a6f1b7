// The meeting point of viewers and the host: who is watching, who controls, when capture runs,
// which frames go to whom, and which input reaches the desktop. Runs on one thread (rcweb's
// I/O thread) and knows nothing of sockets: viewers and the host are reached through the two
// small interfaces below, so that it can be tested without a network.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/flutter/Value.h"
#include "viewer/auth.h"
#include "viewer/flow.h"
#include "viewer/input.h"
#include "viewer/protocol.h"

namespace rcweb {

using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

// The host connection, as the hub uses it: fire-and-forget method calls.
class HostPort {
 public:
  virtual ~HostPort() = default;
  virtual void call(const std::string& channel, const std::string& method,
                    const flutter::Value& args) = 0;
};

// One viewer's connection. Sends are queued by the implementation and never block.
class ViewerPort {
 public:
  virtual ~ViewerPort() = default;
  virtual void sendText(std::string text) = 0;
  // One binary message: `head` followed by `body` (either may be empty).
  virtual void sendBinary(std::vector<uint8_t> head, Bytes body) = 0;
};

struct CursorImage {
  int hotX = 0, hotY = 0, width = 0, height = 0;
  Bytes png;
};

// One "onCaptureFrame" as it reached rcweb.
struct CaptureFrame {
  Bytes data;
  bool keyFrame = false;
  bool vp8 = false;
  int width = 0, height = 0;  // from the frame's own header; 0 when it does not tell
  double captureMs = 0;       // wall clock, ms since the epoch, when it reached rcweb
  std::optional<CursorImage> cursor;
};

class Hub {
 public:
  struct Options {
    int fps = 30;
    int quality = 0;
    FrameFlow::Limits limits;
    Clock clock = SteadySeconds;
    // A key-frame request that has not been answered by a key frame after this long is repeated.
    double keyRequestRetrySeconds = 1.0;
    // Runs a function on the hub's thread after a delay.
    std::function<void(double seconds, std::function<void()>)> later;
  };

  // Caps Lock toggles on the desktop only when held at least half a second (a shorter tap
  // switches the keyboard language); rcweb holds it this long.
  static constexpr double kCapsHoldSeconds = 0.6;

  Hub(HostPort& host, Options options);

  // A viewer whose session signed in with `sessionRole`; gets its hello (and the cursor).
  uint64_t join(ViewerPort* port, Role sessionRole);
  // The viewer has gone: what it held is released, control passes on, capture may stop.
  void leave(uint64_t id);
  // A message from the page; a close code when the viewer must be closed for it.
  std::optional<uint16_t> message(uint64_t id, bool binary, std::span<const uint8_t> bytes);

  // rcweb is ending: releases what the controller holds and stops capture.
  void shutdown();

  void hostConnected();
  void hostDisconnected();
  void frame(const CaptureFrame& frame);

  size_t viewers() const { return viewers_.size(); }
  bool capturing() const { return capturing_; }
  std::optional<uint64_t> controller() const { return controller_; }

 private:
  struct Viewer {
    ViewerPort* port;
    Role sessionRole;
    FrameFlow flow;
    HeldInput held;
    uint64_t askedAt = 0;  // order of asking for control; 0 = has not asked
  };
  void send(const std::vector<InputCommand>& commands);
  void toggleCapsLock(bool extended);
  void releaseCapsLock();
  void startCapture();
  void requestKeyFrame();
  void askControl(uint64_t id, Viewer& v);
  void grantControl(uint64_t id);
  void sendCursor(Viewer& v);

  HostPort& host_;
  Options options_;
  std::map<uint64_t, Viewer> viewers_;
  uint64_t nextId_ = 1;
  uint64_t nextAsk_ = 1;
  std::optional<uint64_t> controller_;
  bool hostConnected_ = false;
  bool capturing_ = false;
  bool keyPending_ = false;
  std::optional<bool> capsHeld_;  // Caps Lock is down on the desktop (with this extended flag)
  double keyRequestedAt_ = 0;
  bool vp8_ = false;
  int width_ = 0, height_ = 0;
  std::optional<CursorImage> cursor_;
  std::vector<uint8_t> cursorHead_;
};

}  // namespace rcweb
