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
// Bytes of a client's messages (payload, channel name and kQueuedMessageOverhead each) that may
// wait for the platform thread. At the budget the reader stops reading that client until the
// platform thread catches up (back-pressure), so at most the budget plus one frame (64 MiB) and
// one read's worth of small frames are queued.
inline constexpr size_t kReadQueueBudget = 16u << 20;
inline constexpr size_t kQueuedMessageOverhead = 256;
// A frame that has started must be complete within this many seconds of reading (time paused
// for back-pressure not counted), or the connection is closed: a client sending a byte now and
// then must not hold the only client slot. An idle connection between frames may stay.
inline constexpr double kFrameDeadlineSeconds = 5.0;

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
  // For tests: another frame deadline (seconds). Call before a client connects.
  void setFrameDeadlineForTesting(double seconds) { frameDeadline_ = seconds; }
  bool hasClient() const;

 private:
  MessengerSocketServer() = default;
  void acceptLoop();
  void serveClient(int fd);
  // The platform thread has handled a message that cost `cost` of the read budget.
  void messageHandled(size_t cost);
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

  // The reading client's bytes waiting for the platform thread; see kReadQueueBudget.
  std::mutex queueMutex_;
  std::condition_variable queueRoom_;
  size_t queuedBytes_ = 0;
  double frameDeadline_ = kFrameDeadlineSeconds;
};

}  // namespace flutter
