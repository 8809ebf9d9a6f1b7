// The messenger socket: the host's engine messenger carried over a Unix-domain stream socket,
// so that a client process (rcclient, or the application side) can send method calls and
// receive replies and messages.
//
// Every frame: u32 length of the rest (little-endian, at most kMaxFrameLength), u8 kind,
// u32 id, u16 channel-name length, the channel name (UTF-8), then the payload.
//   kind 1, message: a platform message on that channel; id 0 asks for no reply.
//   kind 2, reply: answers the message with the same id on the same channel; the payload is the
//          encoded envelope, empty where no handler answered.
// Both ends send messages. The socket lives in a directory only its user can enter; a peer of
// another user is refused; one client at a time; a malformed frame closes that connection; a
// client that stops reading for kStuckClientSeconds is disconnected.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "platform/flutter/FlutterEngine.h"

namespace flutter {

inline constexpr uint32_t kMaxFrameLength = 64u << 20;
inline constexpr double kStuckClientSeconds = 5.0;

enum class FrameKind : uint8_t { kMessage = 1, kReply = 2 };

struct Frame {
  FrameKind kind = FrameKind::kMessage;
  uint32_t id = 0;
  std::string channel;
  ByteBuffer payload;
};

ByteBuffer EncodeFrame(const Frame& frame);

// Incremental frame parser over a byte stream. Feed bytes as they arrive; take frames while
// Next() gives them. A malformed frame (length over the bound or too short for its header, an
// unknown kind, a channel name longer than the frame or not UTF-8) makes error() non-empty and
// the stream unusable.
class FrameReader {
 public:
  void Feed(std::span<const uint8_t> bytes);
  std::optional<Frame> Next();
  const std::string& error() const { return error_; }
  // Bytes held waiting for the rest of a frame.
  size_t buffered() const { return buffer_.size() - start_; }

 private:
  ByteBuffer buffer_;
  size_t start_ = 0;
  std::string error_;
};

enum class WriteOutcome { kWritten, kTimedOut, kFailed };

// Writes `head` then `body` to a socket in gathered writes (no joined copy), waiting at most
// `seconds` in all for the peer to make room: kTimedOut when it did not read in time, kFailed
// when it is gone.
WriteOutcome WriteGathered(int fd, std::span<const uint8_t> head, std::span<const uint8_t> body,
                           double seconds);
// WriteGathered of one buffer; true when all of it was written.
bool WriteAll(int fd, std::span<const uint8_t> bytes, double seconds);

// The default socket path: $XDG_RUNTIME_DIR/tavrindesk/messenger.sock, else
// /tmp/tavrindesk-<uid>/messenger.sock.
std::string DefaultMessengerPath();

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

  // Called (on the reader thread) after a client has gone, whatever the reason.
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

// Client side, for rcclient and tests: a blocking connection to a host.
class MessengerSocketClient {
 public:
  static std::unique_ptr<MessengerSocketClient> Connect(const std::string& path,
                                                        std::string* error);
  ~MessengerSocketClient();

  bool send(const Frame& frame);
  // Waits at most `seconds` for the next frame; none on timeout, on a closed connection or on a
  // malformed frame (closed() then tells which).
  std::optional<Frame> receive(double seconds);
  bool closed() const { return closed_; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  bool closed_ = false;
  FrameReader reader_;
};

}  // namespace flutter
