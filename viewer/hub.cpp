#include "viewer/hub.h"

#include <algorithm>
#include <type_traits>

namespace rcweb {

namespace {

constexpr uint16_t kVkCapsLock = 20;
constexpr const char* kCapture = "rc_capture";
constexpr const char* kInput = "rc_input";

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

bool SameCursor(const CursorImage& a, const CursorImage& b) {
  return a.hotX == b.hotX && a.hotY == b.hotY && a.width == b.width && a.height == b.height &&
         a.png && b.png && *a.png == *b.png;
}

}  // namespace

Hub::Hub(HostPort& host, Options options) : host_(host), options_(std::move(options)) {}

uint64_t Hub::join(ViewerPort* port, Role sessionRole) {
  uint64_t id = nextId_++;
  Viewer& v = viewers_.emplace(id, Viewer{port, sessionRole, FrameFlow(options_.limits), {}, 0})
                  .first->second;
  if (sessionRole == Role::kControl) {
    v.askedAt = nextAsk_++;
    if (!controller_) {
      controller_ = id;  // the hello tells it
      v.askedAt = 0;
    }
  }
  bool controls = controller_ == id;
  port->sendText(
      HelloText(controls ? Role::kControl : Role::kView, vp8_, width_, height_, options_.fps));
  if (!hostConnected_) port->sendText(HostText(false));
  sendCursor(v);
  if (!hostConnected_) return id;
  if (!capturing_) {
    startCapture();
  } else {
    requestKeyFrame();
  }
  return id;
}

void Hub::leave(uint64_t id) {
  auto it = viewers_.find(id);
  if (it == viewers_.end()) return;
  if (controller_ == id) {
    send(it->second.held.releaseAll());
    controller_.reset();
  }
  viewers_.erase(it);
  if (!controller_) {
    // Control passes to the viewer that asked first.
    std::optional<uint64_t> next;
    uint64_t firstAsk = 0;
    for (auto& [vid, v] : viewers_) {
      if (v.askedAt != 0 && (!next || v.askedAt < firstAsk)) {
        next = vid;
        firstAsk = v.askedAt;
      }
    }
    if (next) grantControl(*next);
  }
  if (viewers_.empty() && capturing_) {
    host_.call(kCapture, "stopCapture", flutter::Value());
    capturing_ = false;
    keyPending_ = false;
  }
}

void Hub::askControl(uint64_t id, Viewer& v) {
  if (v.sessionRole != Role::kControl) return;
  if (v.askedAt == 0) v.askedAt = nextAsk_++;
  if (!controller_) grantControl(id);
}

void Hub::grantControl(uint64_t id) {
  controller_ = id;
  Viewer& v = viewers_.at(id);
  v.askedAt = 0;
  v.held.forget();
  v.port->sendText(RoleText(Role::kControl));
}

std::optional<uint16_t> Hub::message(uint64_t id, bool binary, std::span<const uint8_t> bytes) {
  auto it = viewers_.find(id);
  if (it == viewers_.end()) return std::nullopt;
  Viewer& v = it->second;
  bool controls = controller_ == id;
  PageMessage msg = ParsePageMessage(binary, bytes);
  return std::visit(
      Overloaded{
          [](const MalformedMsg& m) -> std::optional<uint16_t> { return m.closeCode; },
          [](const IgnoredMsg&) -> std::optional<uint16_t> { return std::nullopt; },
          [&](const KeyMsg& m) -> std::optional<uint16_t> {
            if (!controls) return std::nullopt;
            if (m.vk == kVkCapsLock) {
              if (m.down) toggleCapsLock(m.extended);
            } else {
              send(v.held.key(m));
            }
            return std::nullopt;
          },
          [&](const MoveMsg& m) -> std::optional<uint16_t> {
            if (controls) send(v.held.move(m));
            return std::nullopt;
          },
          [&](const ButtonMsg& m) -> std::optional<uint16_t> {
            if (controls) send(v.held.button(m));
            return std::nullopt;
          },
          [&](const WheelMsg& m) -> std::optional<uint16_t> {
            if (controls) send(v.held.wheel(m));
            return std::nullopt;
          },
          [&](const ReleaseMsg&) -> std::optional<uint16_t> {
            if (controls) send(v.held.releaseAll());
            return std::nullopt;
          },
          [&](const AckMsg& m) -> std::optional<uint16_t> {
            if (v.flow.ack(m.frame)) requestKeyFrame();
            return std::nullopt;
          },
          [&](const KeyframeMsg&) -> std::optional<uint16_t> {
            v.flow.restart();
            requestKeyFrame();
            return std::nullopt;
          },
          [&](const PingMsg& m) -> std::optional<uint16_t> {
            v.port->sendText(PongText(m.t));
            return std::nullopt;
          },
          [&](const SettingsMsg& m) -> std::optional<uint16_t> {
            if (!controls) return std::nullopt;
            if (m.hasFps) {
              options_.fps = m.fps;
              if (hostConnected_)
                host_.call(kCapture, "setFPS", flutter::MakeMap({{"value", m.fps}}));
            }
            if (m.hasQuality) {
              options_.quality = m.quality;
              if (hostConnected_) {
                host_.call(kCapture, "setQuality", flutter::MakeMap({{"value", m.quality}}));
              }
            }
            return std::nullopt;
          },
          [&](const ControlMsg&) -> std::optional<uint16_t> {
            askControl(id, v);
            return std::nullopt;
          },
      },
      msg);
}

void Hub::send(const std::vector<InputCommand>& commands) {
  if (!hostConnected_) return;
  for (const auto& c : commands) host_.call(kInput, c.method, c.args);
}

void Hub::toggleCapsLock(bool extended) {
  // A toggle while the previous one is still held is dropped: the desktop would see one long press.
  if (capsHeld_ || !hostConnected_) return;
  capsHeld_ = extended;
  send({{"sendKey",
         flutter::MakeMap(
             {{"vKey", int32_t{kVkCapsLock}}, {"isKeyDown", true}, {"isExtendedKey", extended}})}});
  if (options_.later) {
    options_.later(kCapsHoldSeconds, [this] { releaseCapsLock(); });
  } else {
    releaseCapsLock();
  }
}

void Hub::releaseCapsLock() {
  if (!capsHeld_) return;
  bool extended = *capsHeld_;
  capsHeld_.reset();
  send({{"sendKey", flutter::MakeMap({{"vKey", int32_t{kVkCapsLock}},
                                      {"isKeyDown", false},
                                      {"isExtendedKey", extended}})}});
}

void Hub::startCapture() {
  host_.call(kCapture, "setQuality", flutter::MakeMap({{"value", options_.quality}}));
  host_.call(kCapture, "startCapture", flutter::MakeMap({{"fps", options_.fps}}));
  capturing_ = true;
  keyPending_ = false;
  requestKeyFrame();
}

void Hub::requestKeyFrame() {
  if (!hostConnected_ || !capturing_) return;
  double now = options_.clock();
  if (keyPending_ && now - keyRequestedAt_ < options_.keyRequestRetrySeconds) return;
  host_.call(kCapture, "setIFrame", flutter::Value());
  keyPending_ = true;
  keyRequestedAt_ = now;
}

void Hub::shutdown() {
  releaseCapsLock();
  if (controller_) send(viewers_.at(*controller_).held.releaseAll());
  if (capturing_) host_.call(kCapture, "stopCapture", flutter::Value());
  capturing_ = false;
}

void Hub::hostConnected() {
  hostConnected_ = true;
  capturing_ = false;
  for (auto& [id, v] : viewers_) {
    v.held.forget();
    v.flow.restart();
    v.port->sendText(HostText(true));
  }
  if (!viewers_.empty()) startCapture();
}

void Hub::hostDisconnected() {
  hostConnected_ = false;
  capsHeld_.reset();
  capturing_ = false;
  keyPending_ = false;
  for (auto& [id, v] : viewers_) v.port->sendText(HostText(false));
}

void Hub::sendCursor(Viewer& v) {
  if (cursor_) v.port->sendBinary(cursorHead_, cursor_->png);
}

void Hub::frame(const CaptureFrame& f) {
  if (!f.data) return;
  if (f.keyFrame) keyPending_ = false;
  vp8_ = f.vp8;
  if (f.width > 0 && f.height > 0) {
    width_ = f.width;
    height_ = f.height;
  }
  if (f.cursor && f.cursor->png && (!cursor_ || !SameCursor(*cursor_, *f.cursor))) {
    cursor_ = f.cursor;
    auto head = EncodeCursor(
        static_cast<int16_t>(cursor_->hotX), static_cast<int16_t>(cursor_->hotY),
        static_cast<uint16_t>(cursor_->width), static_cast<uint16_t>(cursor_->height), {});
    cursorHead_ = std::move(head);
    for (auto& [id, v] : viewers_) sendCursor(v);
  }
  size_t bytes = f.data->size();
  for (auto& [id, v] : viewers_) {
    uint32_t number = 0;
    if (!v.flow.offer(f.keyFrame, f.captureMs, bytes, &number)) continue;
    auto head = EncodeVideoHeader(f.keyFrame, f.vp8, number, static_cast<uint16_t>(width_),
                                  static_cast<uint16_t>(height_), f.captureMs);
    v.port->sendBinary(std::vector<uint8_t>(head.begin(), head.end()), f.data);
  }
}

}  // namespace rcweb
