#include "packages/rc_input/RcInputPlugin.h"

#include <cmath>
#include <optional>
#include <string_view>

#include "packages/rc_input/CGMouseButton.h"
#include "packages/rc_input/RemoteControl.h"
#include "platform/desktop/ApplicationServices.h"

namespace rc_input {

using flutter::FlutterMethodCall;
using flutter::FlutterResult;
using flutter::Value;
using flutter::ValueMap;

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

// The argument map, when the argument is a map and every key is a string.
const ValueMap* StringKeyedMap(const Value& arguments) {
  const auto* map = arguments.GetIf<ValueMap>();
  if (map == nullptr) return nullptr;
  for (const auto& entry : *map) {
    if (!entry.first.Is<std::string>()) return nullptr;
  }
  return map;
}

// As in a dictionary built from the wire, a key sent twice keeps its last value.
const Value* Lookup(const ValueMap& map, std::string_view key) {
  const Value* found = nullptr;
  for (const auto& [k, v] : map) {
    if (*k.GetIf<std::string>() == key) found = &v;
  }
  return found;
}

std::optional<int32_t> ReadInt32(const ValueMap& map, std::string_view key) {
  const Value* v = Lookup(map, key);
  if (v == nullptr) return std::nullopt;
  if (const auto* i = v->GetIf<int32_t>()) return *i;
  if (const auto* i = v->GetIf<int64_t>()) {
    if (*i < INT32_MIN || *i > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(*i);
  }
  if (const auto* d = v->GetIf<double>()) {
    // Only a float that is exactly a 32-bit integer counts (no fraction, no NaN, in range).
    if (!(*d >= INT32_MIN && *d <= INT32_MAX) || std::trunc(*d) != *d) return std::nullopt;
    return static_cast<int32_t>(*d);
  }
  return std::nullopt;
}

std::optional<bool> ReadBool(const ValueMap& map, std::string_view key) {
  const Value* v = Lookup(map, key);
  if (v == nullptr) return std::nullopt;
  if (const auto* b = v->GetIf<bool>()) return *b;
  return std::nullopt;
}

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
  const ValueMap* args = StringKeyedMap(call.arguments);
  if (args == nullptr) {
    result(Value(true));
    return;
  }

  // From here on a command with a missing or mistyped required argument cannot be carried out;
  // it is dropped without a reply, like every input command.
  if (method == kSendKeyMethod) {
    auto vKey = ReadInt32(*args, "vKey");
    auto isKeyDown = ReadBool(*args, "isKeyDown");
    auto isExtendedKey = ReadBool(*args, "isExtendedKey");
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

  auto x = ReadInt32(*args, "x");
  auto y = ReadInt32(*args, "y");
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
      auto data = ReadInt32(*args, "data");
      auto button = data ? XButtonFromData(*data) : std::nullopt;
      if (!button) return;
      if (command->action == PointerAction::kXDown) control.mouseDown(*x, *y, *button);
      if (command->action == PointerAction::kXUp) control.mouseUp(*x, *y, *button);
      if (command->action == PointerAction::kXDBClick) control.mouseDBClick(*x, *y, *button);
      return;
    }
    case PointerAction::kWheel:
      if (auto delta = ReadInt32(*args, "data")) control.mouseWheel(*x, *y, *delta);
      return;
  }
}

}  // namespace rc_input
