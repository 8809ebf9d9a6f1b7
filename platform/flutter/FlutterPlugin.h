// Plugins, their registrars and the registry that hands registrars out.
//
// A plugin registers itself through a class-level entry (registerWithRegistrar): it opens its
// channel on the registrar's messenger and adds itself as the channel's method-call delegate.
// The registrar keeps the plugin alive for the engine's life; the channel's handler holds the
// plugin only weakly, so a plugin that holds its channel makes no reference cycle.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/flutter/FlutterBinaryMessenger.h"
#include "platform/flutter/FlutterMethodChannel.h"

namespace flutter {

class FlutterPlugin {
 public:
  virtual ~FlutterPlugin() = default;
  // Platform thread.
  virtual void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) = 0;
  // The application side has gone: come back to the state of a freshly registered plugin, so
  // that the next one meets what a newly started host would be. Platform thread.
  virtual void applicationDetached() {}
};

// Where registrars park the plugins they keep alive; owned by the engine.
class FlutterPluginStore {
 public:
  void keep(std::shared_ptr<FlutterPlugin> plugin);
  void releaseAll();
  // applicationDetached() on every plugin kept, in registration order.
  void applicationDetached();
  size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FlutterPlugin>> plugins_;
};

class FlutterPluginRegistrar {
 public:
  FlutterPluginRegistrar(std::string key, std::shared_ptr<FlutterBinaryMessenger> messenger,
                         std::shared_ptr<FlutterPluginStore> store);

  const std::string& key() const { return key_; }
  std::shared_ptr<FlutterBinaryMessenger> messenger() const { return messenger_; }

  // Routes the channel's calls to the delegate's handleMethodCall and keeps the delegate alive.
  void addMethodCallDelegate(const std::shared_ptr<FlutterPlugin>& delegate,
                             const std::shared_ptr<FlutterMethodChannel>& channel);

 private:
  std::string key_;
  std::shared_ptr<FlutterBinaryMessenger> messenger_;
  std::shared_ptr<FlutterPluginStore> store_;
};

class FlutterPluginRegistry {
 public:
  virtual ~FlutterPluginRegistry() = default;
  virtual std::shared_ptr<FlutterPluginRegistrar> registrarForPlugin(
      const std::string& pluginKey) = 0;
};

}  // namespace flutter
