#include "platform/flutter/messenger_wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/flutter/standard_codec.h"

namespace flutter {
namespace {

constexpr size_t kHeaderAfterLength = 1 + 4 + 2;

void PutU32(ByteBuffer& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

double MonotonicSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool FillSocketAddress(const std::string& path, sockaddr_un& addr, std::string* error) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    if (error) *error = "socket path is empty or too long: " + path;
    return false;
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  return true;
}

ByteBuffer EncodeFrameHeader(FrameKind kind, uint32_t id, const std::string& channel,
                             size_t payloadSize) {
  ByteBuffer out;
  size_t rest = kHeaderAfterLength + channel.size() + payloadSize;
  out.reserve(4 + kHeaderAfterLength + channel.size());
  PutU32(out, static_cast<uint32_t>(rest));
  out.push_back(static_cast<uint8_t>(kind));
  PutU32(out, id);
  out.push_back(static_cast<uint8_t>(channel.size()));
  out.push_back(static_cast<uint8_t>(channel.size() >> 8));
  out.insert(out.end(), channel.begin(), channel.end());
  return out;
}

bool FitsInFrame(const std::string& channel, size_t payloadSize) {
  return channel.size() <= 0xffff &&
         payloadSize <= kMaxFrameLength - kHeaderAfterLength - channel.size();
}

ByteBuffer EncodeFrame(const Frame& frame) {
  ByteBuffer out = EncodeFrameHeader(frame.kind, frame.id, frame.channel, frame.payload.size());
  out.reserve(out.size() + frame.payload.size());
  out.insert(out.end(), frame.payload.begin(), frame.payload.end());
  return out;
}

void FrameReader::Feed(std::span<const uint8_t> bytes) {
  if (!error_.empty()) return;
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Frame> FrameReader::Next() {
  if (!error_.empty()) return std::nullopt;
  size_t have = buffer_.size() - start_;
  if (have < 4) return std::nullopt;
  const uint8_t* p = buffer_.data() + start_;
  uint32_t length = GetU32(p);
  if (length > kMaxFrameLength) {
    error_ = "frame of " + std::to_string(length) + " bytes exceeds the 64 MiB bound";
    return std::nullopt;
  }
  if (length < kHeaderAfterLength) {
    error_ = "frame too short for its header";
    return std::nullopt;
  }
  if (have < 4 + size_t{length}) return std::nullopt;
  Frame frame;
  uint8_t kind = p[4];
  if (kind != 1 && kind != 2) {
    error_ = "unknown frame kind " + std::to_string(kind);
    return std::nullopt;
  }
  frame.kind = static_cast<FrameKind>(kind);
  frame.id = GetU32(p + 5);
  size_t nameLength = size_t(p[9]) | size_t(p[10]) << 8;
  if (kHeaderAfterLength + nameLength > length) {
    error_ = "channel name longer than the frame";
    return std::nullopt;
  }
  std::span<const uint8_t> name(p + 11, nameLength);
  if (!IsValidUtf8(name)) {
    error_ = "channel name is not UTF-8";
    return std::nullopt;
  }
  frame.channel.assign(name.begin(), name.end());
  frame.payload.assign(p + 11 + nameLength, p + 4 + length);
  start_ += 4 + size_t{length};
  return frame;
}

WriteOutcome WriteGathered(int fd, std::span<const uint8_t> head, std::span<const uint8_t> body,
                           double seconds) {
  double deadline = MonotonicSeconds() + seconds;
  size_t done = 0;
  const size_t total = head.size() + body.size();
  while (done < total) {
    iovec parts[2];
    int count = 0;
    if (done < head.size()) {
      parts[count++] = {const_cast<uint8_t*>(head.data()) + done, head.size() - done};
    }
    const size_t bodyDone = done > head.size() ? done - head.size() : 0;
    if (bodyDone < body.size()) {
      parts[count++] = {const_cast<uint8_t*>(body.data()) + bodyDone, body.size() - bodyDone};
    }
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = static_cast<size_t>(count);
    ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      double left = deadline - MonotonicSeconds();
      if (left <= 0) return WriteOutcome::kTimedOut;
      pollfd pfd{fd, POLLOUT, 0};
      int ms = static_cast<int>(left * 1000) + 1;
      if (poll(&pfd, 1, ms) < 0 && errno != EINTR) return WriteOutcome::kFailed;
      if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) return WriteOutcome::kFailed;
      continue;
    }
    return WriteOutcome::kFailed;
  }
  return WriteOutcome::kWritten;
}

bool WriteAll(int fd, std::span<const uint8_t> bytes, double seconds) {
  return WriteGathered(fd, bytes, {}, seconds) == WriteOutcome::kWritten;
}

std::string DefaultMessengerPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    return std::string(runtime) + "/tavrindesk/messenger.sock";
  }
  return "/tmp/tavrindesk-" + std::to_string(geteuid()) + "/messenger.sock";
}

}  // namespace flutter
