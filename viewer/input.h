// Turns a viewer's input messages into rc_input commands and remembers what that viewer holds
// down (keys, buttons), so that all of it can be released when the page loses focus or the
// viewer leaves: no key or button stays down on the desktop.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/flutter/Value.h"
#include "viewer/protocol.h"

namespace rcweb {

struct InputCommand {
  std::string method;
  flutter::Value args;
};

class HeldInput {
 public:
  std::vector<InputCommand> key(const KeyMsg& m);
  std::vector<InputCommand> move(const MoveMsg& m);
  std::vector<InputCommand> button(const ButtonMsg& m);
  std::vector<InputCommand> wheel(const WheelMsg& m);
  // Key-ups for every key held, button-ups for every button held (at the last known position).
  std::vector<InputCommand> releaseAll();
  // Forgets everything held without sending anything (the host started afresh).
  void forget();

  bool holdsAnything() const { return !keys_.empty() || !buttons_.empty(); }

 private:
  std::set<std::pair<uint16_t, bool>> keys_;  // (vk, extended)
  std::set<uint8_t> buttons_;
  int32_t x_ = 0, y_ = 0;
};

}  // namespace rcweb
