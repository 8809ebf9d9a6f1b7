#include "packages/rc_capture/RcCapturePlugin.h"

#include <cassert>
#include <cmath>
#include <limits>
#include <string_view>

#include "packages/rc_capture/Extension/PermitExtension.h"
#include "packages/rc_capture/Video/CGCapture.h"
#include "packages/rc_core/synced.h"
#include "platform/desktop/AppKit.h"
#include "platform/flutter/TaskLoop.h"
#include "platform/foundation/FrameTrace.h"

namespace rc_capture {
namespace {

using flutter::Value;
using flutter::ValueList;
using flutter::ValueMap;

constexpr char kChannelName[] = "rc_capture";
constexpr char kFrameMethod[] = "onCaptureFrame";
constexpr int64_t kDefaultStartFps = 30;

// An integer argument under `key`: the argument must be a non-empty map with string keys only,
// and the value an int32, an int64, or a float holding exactly a signed 64-bit integer.
std::optional<int64_t> IntegerArgument(const Value& arguments, std::string_view key) {
  const auto* map = arguments.GetIf<ValueMap>();
  if (map == nullptr || map->empty()) return std::nullopt;
  for (const auto& entry : *map) {
    if (!entry.first.Is<std::string>()) return std::nullopt;
  }
  const Value* value = arguments.Find(key);
  if (value == nullptr) return std::nullopt;
  if (auto i = value->AsInt64()) return i;
  if (const auto* d = value->GetIf<double>()) {
    // [-2^63, 2^63): every double in it converts exactly; 2^63 itself does not fit.
    constexpr double kTwo63 = 9223372036854775808.0;
    if (std::trunc(*d) == *d && *d >= -kTwo63 && *d < kTwo63) return static_cast<int64_t>(*d);
  }
  return std::nullopt;
}

// Truncation toward zero into the signed 32-bit range (saturating, NaN as 0).
int32_t TruncateToInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  if (v <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(v);
}

Value OptionalInteger(const std::shared_ptr<BaseCapture>& capture, int64_t (BaseCapture::*op)()) {
  if (!capture) return Value();
  return Value(static_cast<int64_t>(((*capture).*op)()));
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
    entry.emplace_back("x", Value(TruncateToInt32(f.origin.x)));
    entry.emplace_back("y", Value(TruncateToInt32(f.origin.y)));
    // CGRectGetWidth and CGRectGetHeight measure the standardised rectangle: never negative.
    entry.emplace_back("width", Value(TruncateToInt32(std::fabs(f.size.width))));
    entry.emplace_back("height", Value(TruncateToInt32(std::fabs(f.size.height))));
    screens.emplace_back(std::move(entry));
  }
  return Value(std::move(screens));
}

void RcCapturePlugin::handleMethodCall(const flutter::FlutterMethodCall& call,
                                       flutter::FlutterResult result) {
  assert(flutter::IsPlatformThread());
  const std::string& method = call.method;
  auto held = currentCapture();
  if (method == "dispose") {
    if (held) held->Dispose(this);
    {
      std::lock_guard lock(fieldsMutex);
      capture.reset();
    }
    result(Value(true));
  } else if (method == "getResolution") {
    result(screenList());
  } else if (method == "requestPermission") {
    PermitExtension::reqRecord();
    result(Value(true));
  } else if (method == "checkPermission") {
    result(Value(PermitExtension::checkRecord()));
  } else if (method == "startCapture") {
    const int64_t fps = IntegerArgument(call.arguments, "fps").value_or(kDefaultStartFps);
    if (held) {
      held->SetFps(fps);
      held->Start();
    }
    result(Value(true));
  } else if (method == "stopCapture") {
    if (held) held->Stop();
    result(Value(true));
  } else if (method == "setFPS") {
    auto value = IntegerArgument(call.arguments, "value");
    if (value && held) held->SetFps(*value);
    result(Value(value.has_value()));
  } else if (method == "getFPS") {
    result(OptionalInteger(held, &BaseCapture::GetFps));
  } else if (method == "incrementFPS") {
    result(OptionalInteger(held, &BaseCapture::IncrementFPS));
  } else if (method == "decrementFPS") {
    result(OptionalInteger(held, &BaseCapture::decrementFPS));
  } else if (method == "setQuality") {
    auto value = IntegerArgument(call.arguments, "value");
    if (value && held) held->SetCodecQuality(*value);
    result(Value(value.has_value()));
  } else if (method == "getQuality") {
    result(OptionalInteger(held, &BaseCapture::GetCodecQuality));
  } else if (method == "setIFrame") {
    if (held) held->SetIFrame();
    result(Value(true));
  } else {
    result(Value(true));
  }
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
