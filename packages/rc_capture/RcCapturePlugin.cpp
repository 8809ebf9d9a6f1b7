#include "packages/rc_capture/RcCapturePlugin.h"

#include <cassert>
#include <cmath>
#include <string_view>
#include <utility>

#include "packages/rc_capture/Extension/PermitExtension.h"
#include "packages/rc_capture/Video/CGCapture.h"
#include "packages/rc_core/synced.h"
#include "platform/desktop/AppKit.h"
#include "platform/flutter/MethodArguments.h"
#include "platform/flutter/TaskLoop.h"
#include "platform/foundation/FrameTrace.h"
#include "platform/foundation/Numeric.h"

namespace rc_capture {
namespace {

using flutter::Value;
using flutter::ValueList;
using flutter::ValueMap;
using foundation::TruncateSaturating;

constexpr char kChannelName[] = "rc_capture";
constexpr char kFrameMethod[] = "onCaptureFrame";
constexpr int64_t kDefaultStartFps = 30;

// The commands' three kinds, on the capturer if there is one (after "dispose" there is none).
// A getter answers the capturer's 64-bit value, or nothing.
Value Get(const std::shared_ptr<BaseCapture>& capture, int64_t (BaseCapture::*op)()) {
  if (!capture) return Value();
  return Value(static_cast<int64_t>(((*capture).*op)()));
}

// An action answers true.
Value Do(const std::shared_ptr<BaseCapture>& capture, void (BaseCapture::*op)()) {
  if (capture) ((*capture).*op)();
  return Value(true);
}

// A setter hands over the integer "value" and answers whether there was one.
Value Set(const std::shared_ptr<BaseCapture>& capture, const flutter::MethodArguments& args,
          void (BaseCapture::*op)(int64_t)) {
  auto value = args.Integer<int64_t>("value");
  if (value && capture) ((*capture).*op)(*value);
  return Value(value.has_value());
}

}  // namespace

void RcCapturePlugin::registerWithRegistrar(
    std::shared_ptr<flutter::FlutterPluginRegistrar> registrar) {
  Register(registrar);
}

std::shared_ptr<RcCapturePlugin> RcCapturePlugin::Register(
    const std::shared_ptr<flutter::FlutterPluginRegistrar>& registrar) {
  if (!registrar) return nullptr;
  auto instance = std::make_shared<RcCapturePlugin>();
  instance->init();
  auto messenger = registrar->messenger();
  auto methodChannel =
      flutter::FlutterMethodChannel::methodChannelWithName(kChannelName, messenger);
  {
    std::lock_guard lock(instance->fieldsMutex);
    instance->channel = methodChannel;
  }
  registrar->addMethodCallDelegate(instance, methodChannel);
  return instance;
}

RcCapturePlugin::RcCapturePlugin()
    : invokeBackgroundQueue(foundation::DispatchQueue::globalBackground()) {}

RcCapturePlugin::~RcCapturePlugin() = default;

void RcCapturePlugin::init() {
  tryInitVideoCapture();
}

void RcCapturePlugin::tryInitVideoCapture() {
  if (currentCapture()) return;
  auto made = std::make_shared<CGCapture>();
  made->init();
  std::weak_ptr<RcCapturePlugin> weak = weak_from_this();
  rc_core::synced(made.get(), [&] {
    made->evCaptureFrame = [weak](std::vector<uint8_t> data,
                                  std::optional<BaseCapture::CursorFrame> cursor) {
      // A released plugin drops the frame without touching its semaphore.
      if (auto self = weak.lock()) self->deliverFrame(std::move(data), std::move(cursor));
    };
  });
  initialFps = made->GetFps();
  initialQuality = made->GetCodecQuality();
  std::lock_guard lock(fieldsMutex);
  capture = std::move(made);
}

// Copies of an encoded frame's bytes on their way out, three in all: the encoder's packet into
// rc_vpx's output buffer, that buffer into `data` (VideoEncoder::encode), and `data` into the
// encoded method call (invokeMethod encodes straight from the argument map). Between those the
// frame is only moved; the socket writes the encoded call behind its header without a copy.
void RcCapturePlugin::deliverFrame(std::vector<uint8_t> data,
                                   std::optional<BaseCapture::CursorFrame> cursor) {
  ValueMap arguments;
  if (auto held = currentCapture()) {
    arguments.emplace_back("fps", Value(held->limitFpsValue.load(std::memory_order_relaxed)));
  }
  arguments.emplace_back("data", Value(std::move(data)));
  if (cursor) {
    ValueMap shape;
    shape.emplace_back("x", Value(cursor->x));
    shape.emplace_back("y", Value(cursor->y));
    shape.emplace_back("width", Value(cursor->width));
    shape.emplace_back("height", Value(cursor->height));
    shape.emplace_back("data", Value(std::move(cursor->image)));
    arguments.emplace_back("cursor", Value(std::move(shape)));
  }
  const uint64_t madeIn = session.load(std::memory_order_acquire);
  semaphore.wait();
  if (foundation::FrameTrace::enabled()) foundation::FrameTrace::handedOver(kChannelName);
  invokeBackgroundQueue.async(
      [self = shared_from_this(), message = Value(std::move(arguments)), madeIn] {
        // A frame made for a client that has gone is not handed to the next one.
        const bool sameClient = self->session.load(std::memory_order_acquire) == madeIn;
        if (auto ch = self->currentChannel(); ch && sameClient)
          ch->invokeMethod(kFrameMethod, message);
        self->semaphore.signal();
      });
}

std::shared_ptr<BaseCapture> RcCapturePlugin::currentCapture() const {
  std::lock_guard lock(fieldsMutex);
  return capture;
}

std::shared_ptr<flutter::FlutterMethodChannel> RcCapturePlugin::currentChannel() const {
  std::lock_guard lock(fieldsMutex);
  return channel;
}

Value RcCapturePlugin::screenList() const {
  ValueList screens;
  for (const auto& screen : desktop::NSScreen::screens()) {
    const desktop::CGRect& f = screen.frame;
    ValueMap entry;
    entry.emplace_back("x", Value(TruncateSaturating<int32_t>(f.origin.x)));
    entry.emplace_back("y", Value(TruncateSaturating<int32_t>(f.origin.y)));
    // CGRectGetWidth and CGRectGetHeight measure the standardised rectangle: never negative.
    entry.emplace_back("width", Value(TruncateSaturating<int32_t>(std::fabs(f.size.width))));
    entry.emplace_back("height", Value(TruncateSaturating<int32_t>(std::fabs(f.size.height))));
    screens.emplace_back(std::move(entry));
  }
  return Value(std::move(screens));
}

void RcCapturePlugin::handleMethodCall(const flutter::FlutterMethodCall& call,
                                       flutter::FlutterResult result) {
  assert(flutter::IsPlatformThread());
  // One entry a command, answered with what it returns.
  using Self = RcCapturePlugin&;
  using Held = const std::shared_ptr<BaseCapture>&;
  using Args = const flutter::MethodArguments&;
  using Handler = Value (*)(Self, Held, Args);
  static constexpr std::pair<std::string_view, Handler> kCommands[] = {
      {"dispose",
       [](Self self, Held held, Args) {
         if (held) held->Dispose(&self);
         std::lock_guard lock(self.fieldsMutex);
         self.capture.reset();
         return Value(true);
       }},
      {"getResolution", [](Self self, Held, Args) { return self.screenList(); }},
      {"requestPermission",
       [](Self, Held, Args) {
         PermitExtension::reqRecord();
         return Value(true);
       }},
      {"checkPermission", [](Self, Held, Args) { return Value(PermitExtension::checkRecord()); }},
      {"startCapture",
       [](Self, Held held, Args args) {
         const int64_t fps = args.Integer<int64_t>("fps").value_or(kDefaultStartFps);
         if (held) {
           held->SetFps(fps);
           held->Start();
         }
         return Value(true);
       }},
      {"stopCapture", [](Self, Held held, Args) { return Do(held, &BaseCapture::Stop); }},
      {"setFPS", [](Self, Held held, Args args) { return Set(held, args, &BaseCapture::SetFps); }},
      {"getFPS", [](Self, Held held, Args) { return Get(held, &BaseCapture::GetFps); }},
      {"incrementFPS", [](Self, Held held, Args) { return Get(held, &BaseCapture::IncrementFPS); }},
      {"decrementFPS", [](Self, Held held, Args) { return Get(held, &BaseCapture::decrementFPS); }},
      {"setQuality",
       [](Self, Held held, Args args) { return Set(held, args, &BaseCapture::SetCodecQuality); }},
      {"getQuality",
       [](Self, Held held, Args) { return Get(held, &BaseCapture::GetCodecQuality); }},
      {"setIFrame", [](Self, Held held, Args) { return Do(held, &BaseCapture::SetIFrame); }},
  };
  for (const auto& [name, handler] : kCommands) {
    if (name == call.method) {
      result(handler(*this, currentCapture(), flutter::MethodArguments(call.arguments)));
      return;
    }
  }
  result(Value(true));  // an unknown command
}

void RcCapturePlugin::applicationDetached() {
  assert(flutter::IsPlatformThread());
  session.fetch_add(1, std::memory_order_acq_rel);
  // The capturer is kept (a new one per client would cost an encoder each time): stopped and
  // given back the rate and quality it started with. Only a disposed one is made anew.
  if (auto held = currentCapture()) {
    held->Stop();
    held->SetFps(initialFps);
    held->SetCodecQuality(initialQuality);
  } else {
    tryInitVideoCapture();
  }
}

void RcCapturePlugin::detachFromEngine(const std::shared_ptr<flutter::FlutterPluginRegistrar>&) {
  if (auto ch = currentChannel()) ch->setMethodCallHandler(nullptr);
  if (auto held = currentCapture()) held->Dispose(this);
  std::lock_guard lock(fieldsMutex);
  capture.reset();
}

}  // namespace rc_capture
