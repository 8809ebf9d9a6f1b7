#include "viewer/input.h"

namespace rcweb {

namespace {

using flutter::MakeMap;

InputCommand Key(uint16_t vk, bool down, bool extended) {
  return {"sendKey",
          MakeMap({{"vKey", int32_t{vk}}, {"isKeyDown", down}, {"isExtendedKey", extended}})};
}

InputCommand Pointer(const std::string& method, int32_t x, int32_t y) {
  return {method, MakeMap({{"x", x}, {"y", y}})};
}

// rc_input's names: left, right, center, and the two side buttons as "x" with data 1 or 2.
std::string ButtonPrefix(uint8_t button) {
  switch (button) {
    case 0:
      return "left";
    case 1:
      return "right";
    case 2:
      return "center";
    default:
      return "x";
  }
}

InputCommand Button(uint8_t button, const char* action, int32_t x, int32_t y) {
  std::string method = ButtonPrefix(button) + action;
  if (button >= 3) return {method, MakeMap({{"x", x}, {"y", y}, {"data", int32_t{button - 2}}})};
  return Pointer(method, x, y);
}

}  // namespace

std::vector<InputCommand> HeldInput::key(const KeyMsg& m) {
  if (m.down) {
    keys_.insert({m.vk, m.extended});
  } else {
    keys_.erase({m.vk, m.extended});
  }
  return {Key(m.vk, m.down, m.extended)};
}

std::vector<InputCommand> HeldInput::move(const MoveMsg& m) {
  x_ = m.x;
  y_ = m.y;
  return {Pointer("mouseMove", m.x, m.y)};
}

std::vector<InputCommand> HeldInput::button(const ButtonMsg& m) {
  x_ = m.x;
  y_ = m.y;
  if (m.action == 2) return {Button(m.button, "DBClick", m.x, m.y)};
  if (m.action == 1) {
    buttons_.insert(m.button);
    return {Button(m.button, "Down", m.x, m.y)};
  }
  buttons_.erase(m.button);
  return {Button(m.button, "Up", m.x, m.y)};
}

std::vector<InputCommand> HeldInput::wheel(const WheelMsg& m) {
  return {{"wheel", MakeMap({{"x", m.x}, {"y", m.y}, {"data", m.delta}})}};
}

std::vector<InputCommand> HeldInput::releaseAll() {
  std::vector<InputCommand> out;
  for (const auto& [vk, extended] : keys_) out.push_back(Key(vk, false, extended));
  for (uint8_t b : buttons_) out.push_back(Button(b, "Up", x_, y_));
  forget();
  return out;
}

void HeldInput::forget() {
  keys_.clear();
  buttons_.clear();
}

}  // namespace rcweb
