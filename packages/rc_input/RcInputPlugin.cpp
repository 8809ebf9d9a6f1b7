#include "packages/rc_input/RcInputPlugin.h"

#include <cassert>
#include <optional>
#include <string_view>

#include "packages/rc_input/CGMouseButton.h"
#include "packages/rc_input/RemoteControl.h"
#include "platform/desktop/ApplicationServices.h"
#include "platform/flutter/MethodArguments.h"
#include "platform/flutter/TaskLoop.h"

namespace rc_input {

using flutter::FlutterMethodCall;
using flutter::FlutterResult;
using flutter::Value;

namespace {

constexpr char kChannelName[] = "rc_input";
constexpr char kReqInputPermitMethod[] = "reqInputPermit";
constexpr char kCheckInputPermitMethod[] = "checkInputPermit";
constexpr char kSendKeyMethod[] = "sendKey";

enum class PointerAction { kMove, kDown, kUp, kDBClick, kXDown, kXUp, kXDBClick, kWheel };

struct PointerCommand {
  std::string_view name;
  PointerAction action;
  CGMouseButton button;  // for the fixed-button commands
};

constexpr PointerCommand kPointerCommands[] = {
    {"mouseMove", PointerAction::kMove, desktop::kCGMouseButtonLeft},
    {"leftDown", PointerAction::kDown, desktop::kCGMouseButtonLeft},
    {"leftUp", PointerAction::kUp, desktop::kCGMouseButtonLeft},
    {"leftDBClick", PointerAction::kDBClick, desktop::kCGMouseButtonLeft},
    {"rightDown", PointerAction::kDown, desktop::kCGMouseButtonRight},
    {"rightUp", PointerAction::kUp, desktop::kCGMouseButtonRight},
    {"rightDBClick", PointerAction::kDBClick, desktop::kCGMouseButtonRight},
    {"centerDown", PointerAction::kDown, desktop::kCGMouseButtonCenter},
    {"centerUp", PointerAction::kUp, desktop::kCGMouseButtonCenter},
    {"centerDBClick", PointerAction::kDBClick, desktop::kCGMouseButtonCenter},
    {"xDown", PointerAction::kXDown, desktop::kCGMouseButtonLeft},
    {"xUp", PointerAction::kXUp, desktop::kCGMouseButtonLeft},
    {"xDBClick", PointerAction::kXDBClick, desktop::kCGMouseButtonLeft},
    {"wheel", PointerAction::kWheel, desktop::kCGMouseButtonLeft},
};

}  // namespace

void RcInputPlugin::registerWithRegistrar(
    std::shared_ptr<flutter::FlutterPluginRegistrar> registrar) {
  registerInstance(registrar);
}

std::shared_ptr<RcInputPlugin> RcInputPlugin::registerInstance(
    const std::shared_ptr<flutter::FlutterPluginRegistrar>& registrar) {
  if (!registrar) return nullptr;
  auto instance = std::make_shared<RcInputPlugin>();
  instance->channel =
      flutter::FlutterMethodChannel::methodChannelWithName(kChannelName, registrar->messenger());
  registrar->addMethodCallDelegate(instance, instance->channel);
  return instance;
}

RcInputPlugin::RcInputPlugin() : inputControl(RemoteControl::create()) {}

void RcInputPlugin::applicationDetached() {
  inputControl = RemoteControl::create();
}

void RcInputPlugin::detachFromEngine(const std::shared_ptr<flutter::FlutterPluginRegistrar>&) {
  if (channel) channel->setMethodCallHandler(nullptr);
}

void RcInputPlugin::handle(const FlutterMethodCall& call, FlutterResult result) {
  assert(flutter::IsPlatformThread());
  const std::string& method = call.method;
  if (method == kReqInputPermitMethod) {
    desktop::AXIsProcessTrustedWithOptions({{desktop::kAXTrustedCheckOptionPrompt, true}});
    result(Value(true));
    return;
  }
  if (method == kCheckInputPermitMethod) {
    result(Value(desktop::AXIsProcessTrusted()));
    return;
  }
  const flutter::MethodArguments args(call.arguments);
  if (!args.IsStringKeyedMap()) {
    result(Value(true));
    return;
  }

  // From here on a command with a missing or mistyped required argument cannot be carried out;
  // it is dropped without a reply, like every input command.
  if (method == kSendKeyMethod) {
    auto vKey = args.Integer<int32_t>("vKey");
    auto isKeyDown = args.Bool("isKeyDown");
    auto isExtendedKey = args.Bool("isExtendedKey");
    if (vKey && isKeyDown && isExtendedKey)
      inputControl->sendKey(*vKey, *isKeyDown, *isExtendedKey);
    return;
  }

  const PointerCommand* command = nullptr;
  for (const auto& c : kPointerCommands) {
    if (c.name == method) {
      command = &c;
      break;
    }
  }
  // A name the channel does not know is answered whatever its arguments, so that a caller
  // awaiting the reply is never left hanging.
  if (command == nullptr) {
    result(Value(true));
    return;
  }

  auto x = args.Integer<int32_t>("x");
  auto y = args.Integer<int32_t>("y");
  if (!x || !y) return;

  RemoteControl& control = *inputControl;
  switch (command->action) {
    case PointerAction::kMove:
      control.mouseMove(*x, *y);
      return;
    case PointerAction::kDown:
      control.mouseDown(*x, *y, command->button);
      return;
    case PointerAction::kUp:
      control.mouseUp(*x, *y, command->button);
      return;
    case PointerAction::kDBClick:
      control.mouseDBClick(*x, *y, command->button);
      return;
    case PointerAction::kXDown:
    case PointerAction::kXUp:
    case PointerAction::kXDBClick: {
      auto data = args.Integer<int32_t>("data");
      auto button = data ? XButtonFromData(*data) : std::nullopt;
      if (!button) return;
      if (command->action == PointerAction::kXDown) control.mouseDown(*x, *y, *button);
      if (command->action == PointerAction::kXUp) control.mouseUp(*x, *y, *button);
      if (command->action == PointerAction::kXDBClick) control.mouseDBClick(*x, *y, *button);
      return;
    }
    case PointerAction::kWheel:
      if (auto delta = args.Integer<int32_t>("data")) control.mouseWheel(*x, *y, *delta);
      return;
  }
}

}  // namespace rc_input
