#include "platform/flutter/FlutterPlugin.h"

namespace flutter {

void FlutterPluginStore::keep(std::shared_ptr<FlutterPlugin> plugin) {
  std::lock_guard lock(mutex_);
  plugins_.push_back(std::move(plugin));
}

void FlutterPluginStore::releaseAll() {
  std::vector<std::shared_ptr<FlutterPlugin>> gone;
  {
    std::lock_guard lock(mutex_);
    gone.swap(plugins_);
  }
  // Destroyed outside the lock: a plugin's destructor may release other objects that call back.
}

void FlutterPluginStore::applicationDetached() {
  std::vector<std::shared_ptr<FlutterPlugin>> plugins;
  {
    std::lock_guard lock(mutex_);
    plugins = plugins_;
  }
  for (auto& plugin : plugins) plugin->applicationDetached();
}

size_t FlutterPluginStore::size() const {
  std::lock_guard lock(mutex_);
  return plugins_.size();
}

FlutterPluginRegistrar::FlutterPluginRegistrar(std::string key,
                                               std::shared_ptr<FlutterBinaryMessenger> messenger,
                                               std::shared_ptr<FlutterPluginStore> store)
    : key_(std::move(key)), messenger_(std::move(messenger)), store_(std::move(store)) {}

void FlutterPluginRegistrar::addMethodCallDelegate(
    const std::shared_ptr<FlutterPlugin>& delegate,
    const std::shared_ptr<FlutterMethodChannel>& channel) {
  if (!delegate || !channel) return;
  store_->keep(delegate);
  std::weak_ptr<FlutterPlugin> weak = delegate;
  channel->setMethodCallHandler([weak](const FlutterMethodCall& call, FlutterResult result) {
    if (auto plugin = weak.lock()) {
      plugin->handleMethodCall(call, std::move(result));
    } else {
      result.NotImplemented();
    }
  });
}

}  // namespace flutter
