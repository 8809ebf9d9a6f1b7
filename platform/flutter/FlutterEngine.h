// The engine stand-in: the platform thread's task loop, the messenger between the plugins and
// the application side, and the plugin registry.
//
// The application side is a FlutterPeer: in the host, the messenger socket's client; in tests,
// the in-process TestPeer. Incoming messages may arrive on any thread and are handled on the
// platform thread in arrival order. Outgoing messages go to the peer on the sender's thread,
// so sending never waits for the platform thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/flutter/FlutterBinaryMessenger.h"
#include "platform/flutter/FlutterPlugin.h"
#include "platform/flutter/TaskLoop.h"

namespace flutter {

// The application side of the messenger.
class FlutterPeer {
 public:
  virtual ~FlutterPeer() = default;
  // A message from the native side. Called on the sender's thread; may block to apply
  // back-pressure. `reply`, when set, takes the peer's encoded reply.
  virtual void deliver(const std::string& channel, const ByteBuffer& message,
                       FlutterBinaryReply reply) = 0;
};

class EngineMessenger : public FlutterBinaryMessenger {
 public:
  explicit EngineMessenger(TaskLoop& loop) : loop_(loop) {}

  void sendOnChannel(const std::string& channel, ByteBuffer message,
                     FlutterBinaryReply callback = nullptr) override;
  void setMessageHandlerOnChannel(const std::string& channel,
                                  FlutterBinaryMessageHandler handler) override;

  // A message from the application side (any thread). It is handled on the platform thread;
  // with no handler on the channel, `reply` gets the empty reply.
  // `handled`, when set, is called on the platform thread once the message has been handled.
  void receive(const std::string& channel, ByteBuffer message, FlutterBinaryReply reply,
               std::function<void()> handled = nullptr);

  // Attaches the application side; null detaches it. Messages sent while none is attached are
  // dropped (and a wanted reply is answered empty).
  void setPeer(std::shared_ptr<FlutterPeer> peer);

 private:
  TaskLoop& loop_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<FlutterBinaryMessageHandler>> handlers_;
  std::shared_ptr<FlutterPeer> peer_;
};

class FlutterEngine : public FlutterPluginRegistry {
 public:
  // Runs its platform thread on `loop` (the application's main loop) or, with none, on a loop
  // of its own.
  explicit FlutterEngine(TaskLoop* loop = nullptr);
  ~FlutterEngine() override;

  TaskLoop& loop() { return *loop_; }
  std::shared_ptr<EngineMessenger> messenger() const { return messenger_; }

  std::shared_ptr<FlutterPluginRegistrar> registrarForPlugin(const std::string& pluginKey) override;

  // Keys asked for so far, in order.
  std::vector<std::string> registrarKeys() const;

  // Drops every plugin the registrars keep alive (the engine going away).
  void releasePlugins() { store_->releaseAll(); }
  // Tells every plugin that the application side has gone (FlutterPlugin::applicationDetached).
  // Platform thread.
  void applicationDetached() { store_->applicationDetached(); }

  // Runs the task loop on a thread of its own (tests; the host runs it on the main thread).
  void startPlatformThread();
  // Stops that thread and waits for it.
  void stopPlatformThread();

  // Runs `task` on the platform thread and waits for it (not from the platform thread itself).
  void runOnPlatformThreadAndWait(std::function<void()> task);

 private:
  std::unique_ptr<TaskLoop> ownLoop_;
  TaskLoop* loop_;
  std::shared_ptr<EngineMessenger> messenger_;
  std::shared_ptr<FlutterPluginStore> store_;
  mutable std::mutex mutex_;
  std::vector<std::string> keys_;
  std::thread platformThread_;
};

}  // namespace flutter
