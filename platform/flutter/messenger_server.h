// The host's end of the messenger socket: the engine messenger carried over a Unix-domain
// stream socket, so that a client process (rcclient, or the application side) can send method
// calls and receive replies and messages. Both ends send messages. The socket lives in a
// directory only its user can enter; a peer of another user is refused; one client at a time; a
// malformed frame closes that connection; a client that stops reading for kStuckClientSeconds is
// disconnected.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/flutter/FlutterEngine.h"
#include "platform/flutter/messenger_wire.h"

namespace flutter {

inline constexpr double kStuckClientSeconds = 5.0;

// Host side: listens on `path`, attaches the connected client to the engine's messenger as its
// peer, and hands the client's messages to the engine.
class MessengerSocketServer : public FlutterPeer,
                              public std::enable_shared_from_this<MessengerSocketServer> {
 public:
  // Creates the private directory (mode 0700, refused when it is a link or another user's),
  // binds and listens. Null and a message in *error on failure.
  static std::shared_ptr<MessengerSocketServer> Listen(const std::string& path,
                                                       std::shared_ptr<EngineMessenger> messenger,
                                                       std::string* error);
  ~MessengerSocketServer() override;

  // Called on the reader thread when a client has gone, whatever the reason: after its last
  // message was handed to the engine, before the next client can be accepted.
  void setOnClientGone(std::function<void()> callback);

  void deliver(const std::string& channel, const ByteBuffer& message,
               FlutterBinaryReply reply) override;

  // Stops accepting, drops the client, joins the threads and removes the socket file.
  void close();

  const std::string& path() const { return path_; }
  bool hasClient() const;

 private:
  MessengerSocketServer() = default;
  void acceptLoop();
  void serveClient(int fd);
  bool send(int fd, const Frame& frame);
  // Ends the connection after a write that did not complete.
  void dropClientUnless(int fd, WriteOutcome outcome);

  std::string path_;
  std::shared_ptr<EngineMessenger> messenger_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  std::atomic<bool> closing_{false};
  std::thread acceptThread_;

  mutable std::mutex mutex_;
  int clientFd_ = -1;
  std::condition_variable clientGone_;
  uint64_t clientGeneration_ = 0;
  std::thread clientThread_;
  std::mutex writeMutex_;
  uint32_t nextId_ = 1;
  std::map<uint32_t, FlutterBinaryReply> pendingReplies_;
  std::function<void()> onClientGone_;
};

}  // namespace flutter
