// Stand-ins for the plugins of the libraries the host links but this project does not build.
// Each opens a channel named after its library and answers every call with nothing, so that
// the registration order and the channels exist as the application expects them.
#pragma once

#include "platform/flutter/SilentPlugin.h"

namespace tavrindesk {

#define TAVRINDESK_LIBRARY_PLUGIN(ClassName, library)                        \
  struct ClassName {                                                         \
    static void registerWithRegistrar(                                       \
        const std::shared_ptr<flutter::FlutterPluginRegistrar>& registrar) { \
      flutter::SilentPlugin::Register(registrar, library);                   \
    }                                                                        \
  };

TAVRINDESK_LIBRARY_PLUGIN(PeercorePlugin, "peercore")
TAVRINDESK_LIBRARY_PLUGIN(DeviceInfoPlusMacosPlugin, "device_info_plus")
TAVRINDESK_LIBRARY_PLUGIN(FlutterLocalNotificationsPlugin, "flutter_local_notifications")
TAVRINDESK_LIBRARY_PLUGIN(RcClipboardPlugin, "rc_clipboard")
TAVRINDESK_LIBRARY_PLUGIN(FileManagerPlugin, "rc_file")
TAVRINDESK_LIBRARY_PLUGIN(RcSoundPlugin, "rc_sound")
TAVRINDESK_LIBRARY_PLUGIN(FPPPackageInfoPlusPlugin, "package_info_plus")
TAVRINDESK_LIBRARY_PLUGIN(PathProviderPlugin, "path_provider_foundation")
TAVRINDESK_LIBRARY_PLUGIN(ScreenRetrieverMacosPlugin, "screen_retriever_macos")
TAVRINDESK_LIBRARY_PLUGIN(SharedPreferencesPlugin, "shared_preferences_foundation")
TAVRINDESK_LIBRARY_PLUGIN(WindowManagerPlugin, "window_manager")

#undef TAVRINDESK_LIBRARY_PLUGIN

}  // namespace tavrindesk
