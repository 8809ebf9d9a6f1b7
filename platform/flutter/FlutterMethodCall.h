// One incoming or outgoing method call: a command name and one argument value (null when the
// call has none).
#pragma once

#include <string>

#include "platform/flutter/Value.h"

namespace flutter {

struct FlutterMethodCall {
  std::string method;
  Value arguments;
};

}  // namespace flutter
