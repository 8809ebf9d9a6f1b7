// rc_core's own plugin: its channel "rc_core" answers every call with nothing; the core library
// offers the plugins its classes, not commands.
#pragma once

#include "platform/flutter/SilentPlugin.h"

namespace rc_core {

class RcCorePlugin {
 public:
  static void registerWithRegistrar(const std::shared_ptr<flutter::FlutterPluginRegistrar>& r) {
    flutter::SilentPlugin::Register(r, "rc_core");
  }
};

}  // namespace rc_core
