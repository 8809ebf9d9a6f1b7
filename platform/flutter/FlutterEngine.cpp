#include "platform/flutter/FlutterEngine.h"

#include <future>

namespace flutter {

void EngineMessenger::sendOnChannel(const std::string& channel, ByteBuffer message,
                                    FlutterBinaryReply callback) {
  std::shared_ptr<FlutterPeer> peer;
  {
    std::lock_guard lock(mutex_);
    peer = peer_;
  }
  if (!peer) {
    if (callback) callback({});
    return;
  }
  peer->deliver(channel, message, std::move(callback));
}

void EngineMessenger::setMessageHandlerOnChannel(const std::string& channel,
                                                 FlutterBinaryMessageHandler handler) {
  std::lock_guard lock(mutex_);
  if (handler) {
    handlers_[channel] = std::make_shared<FlutterBinaryMessageHandler>(std::move(handler));
  } else {
    handlers_.erase(channel);
  }
}

void EngineMessenger::receive(const std::string& channel, ByteBuffer message,
                              FlutterBinaryReply reply, std::function<void()> handled) {
  loop_.post([this, channel, message = std::move(message), reply = std::move(reply),
              handled = std::move(handled)] {
    std::shared_ptr<FlutterBinaryMessageHandler> handler;
    {
      std::lock_guard lock(mutex_);
      auto it = handlers_.find(channel);
      if (it != handlers_.end()) handler = it->second;
    }
    if (handler) {
      (*handler)(message, reply);
    } else if (reply) {
      reply({});
    }
    if (handled) handled();
  });
}

void EngineMessenger::setPeer(std::shared_ptr<FlutterPeer> peer) {
  std::lock_guard lock(mutex_);
  peer_ = std::move(peer);
}

FlutterEngine::FlutterEngine(TaskLoop* loop)
    : ownLoop_(loop ? nullptr : std::make_unique<TaskLoop>()),
      loop_(loop ? loop : ownLoop_.get()),
      messenger_(std::make_shared<EngineMessenger>(*loop_)),
      store_(std::make_shared<FlutterPluginStore>()) {}

FlutterEngine::~FlutterEngine() {
  stopPlatformThread();
  store_->releaseAll();
  messenger_->setPeer(nullptr);
}

std::shared_ptr<FlutterPluginRegistrar> FlutterEngine::registrarForPlugin(
    const std::string& pluginKey) {
  {
    std::lock_guard lock(mutex_);
    keys_.push_back(pluginKey);
  }
  return std::make_shared<FlutterPluginRegistrar>(pluginKey, messenger_, store_);
}

std::vector<std::string> FlutterEngine::registrarKeys() const {
  std::lock_guard lock(mutex_);
  return keys_;
}

void FlutterEngine::startPlatformThread() {
  if (platformThread_.joinable()) return;
  platformThread_ = std::thread([this] { loop_->run(); });
}

void FlutterEngine::stopPlatformThread() {
  if (!platformThread_.joinable()) return;
  loop_->quit(0);
  platformThread_.join();
}

void FlutterEngine::runOnPlatformThreadAndWait(std::function<void()> task) {
  std::promise<void> done;
  auto future = done.get_future();
  loop_->post([&] {
    task();
    done.set_value();
  });
  future.wait();
}

}  // namespace flutter
