// The messenger socket's wire format and the socket helpers both of its ends use.
//
// Every frame: u32 length of the rest (little-endian, at most kMaxFrameLength), u8 kind,
// u32 id, u16 channel-name length, the channel name (UTF-8), then the payload.
//   kind 1, message: a platform message on that channel; id 0 asks for no reply.
//   kind 2, reply: answers the message with the same id on the same channel; the payload is the
//          encoded envelope, empty where no handler answered.
#pragma once

#include <sys/un.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/flutter/FlutterBinaryMessenger.h"

namespace flutter {

inline constexpr uint32_t kMaxFrameLength = 64u << 20;

enum class FrameKind : uint8_t { kMessage = 1, kReply = 2 };

struct Frame {
  FrameKind kind = FrameKind::kMessage;
  uint32_t id = 0;
  std::string channel;
  ByteBuffer payload;
};

ByteBuffer EncodeFrame(const Frame& frame);
// True when a frame with this channel name and payload size stays within kMaxFrameLength (and
// the name within its 16-bit length): what a conforming reader accepts.
bool FitsInFrame(const std::string& channel, size_t payloadSize);
// The frame's bytes up to its payload (length, kind, id, channel name), for writing a large
// payload after it without joining the two.
ByteBuffer EncodeFrameHeader(FrameKind kind, uint32_t id, const std::string& channel,
                             size_t payloadSize);

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

// Seconds on the steady clock.
double MonotonicSeconds();
// `path` as a Unix socket address; false (and a message in *error) when it does not fit.
bool FillSocketAddress(const std::string& path, sockaddr_un& addr, std::string* error);

}  // namespace flutter
