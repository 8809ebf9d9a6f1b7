// A plugin that opens one channel and answers every call on it with nothing (a null success
// reply). It stands in for libraries whose channels the agent registers but does not serve.
#pragma once

#include <memory>
#include <string>

#include "platform/flutter/FlutterPlugin.h"

namespace flutter {

class SilentPlugin : public FlutterPlugin {
 public:
  // Opens `channelName` on the registrar's messenger with a new SilentPlugin as its delegate.
  static void Register(const std::shared_ptr<FlutterPluginRegistrar>& registrar,
                       const std::string& channelName) {
    if (!registrar) return;
    auto plugin = std::make_shared<SilentPlugin>();
    plugin->channel_ =
        FlutterMethodChannel::methodChannelWithName(channelName, registrar->messenger());
    registrar->addMethodCallDelegate(plugin, plugin->channel_);
  }

  void handleMethodCall(const FlutterMethodCall&, FlutterResult result) override { result(); }

 private:
  std::shared_ptr<FlutterMethodChannel> channel_;
};

}  // namespace flutter
