#include "tavrindesk/Runner/GeneratedPluginRegistrant.h"

#include "packages/rc_capture/RcCapturePlugin.h"
#include "packages/rc_core/RcCorePlugin.h"
#include "packages/rc_input/RcInputPlugin.h"
#include "tavrindesk/plugins/library_plugins.h"

namespace tavrindesk {

void RegisterGeneratedPlugins(flutter::FlutterPluginRegistry& registry) {
  PeercorePlugin::registerWithRegistrar(registry.registrarForPlugin("PeercorePlugin"));
  DeviceInfoPlusMacosPlugin::registerWithRegistrar(
      registry.registrarForPlugin("DeviceInfoPlusMacosPlugin"));
  FlutterLocalNotificationsPlugin::registerWithRegistrar(
      registry.registrarForPlugin("FlutterLocalNotificationsPlugin"));
  rc_capture::RcCapturePlugin::registerWithRegistrar(
      registry.registrarForPlugin("RcCapturePlugin"));
  RcClipboardPlugin::registerWithRegistrar(registry.registrarForPlugin("RcClipboardPlugin"));
  rc_core::RcCorePlugin::registerWithRegistrar(registry.registrarForPlugin("RcCorePlugin"));
  FileManagerPlugin::registerWithRegistrar(registry.registrarForPlugin("FileManagerPlugin"));
  rc_input::RcInputPlugin::registerWithRegistrar(registry.registrarForPlugin("RcInputPlugin"));
  RcSoundPlugin::registerWithRegistrar(registry.registrarForPlugin("RcSoundPlugin"));
  FPPPackageInfoPlusPlugin::registerWithRegistrar(
      registry.registrarForPlugin("FPPPackageInfoPlusPlugin"));
  PathProviderPlugin::registerWithRegistrar(registry.registrarForPlugin("PathProviderPlugin"));
  ScreenRetrieverMacosPlugin::registerWithRegistrar(
      registry.registrarForPlugin("ScreenRetrieverMacosPlugin"));
  SharedPreferencesPlugin::registerWithRegistrar(
      registry.registrarForPlugin("SharedPreferencesPlugin"));
  WindowManagerPlugin::registerWithRegistrar(registry.registrarForPlugin("WindowManagerPlugin"));
}

}  // namespace tavrindesk
