// Registers every plugin of the application, in a fixed order, each with the registrar the
// registry hands out under the plugin's class name.
#pragma once

#include "platform/flutter/FlutterPlugin.h"

namespace tavrindesk {

void RegisterGeneratedPlugins(flutter::FlutterPluginRegistry& registry);

}  // namespace tavrindesk
