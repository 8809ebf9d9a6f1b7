#include "viewer/host_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

#include "platform/flutter/standard_codec.h"
#include "tools/rcclient/ivf_writer.h"

namespace rcweb {

namespace {

constexpr double kSendSeconds = 2.0;
constexpr double kFirstBackoff = 0.1;
constexpr double kMaxBackoff = 2.0;

int64_t ReadInt(const flutter::Value& map, const char* key) {
  const auto* v = map.Find(key);
  auto n = v ? v->AsInt64() : std::nullopt;
  return n.value_or(0);
}

}  // namespace

HostLink::HostLink(std::string path, Callbacks callbacks)
    : path_(std::move(path)), callbacks_(std::move(callbacks)) {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

HostLink::~HostLink() {
  stop();
  for (int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

void HostLink::start() {
  thread_ = std::thread([this] { run(); });
}

void HostLink::stop() {
  stopping_ = true;
  if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
  if (thread_.joinable()) thread_.join();
}

std::optional<CaptureFrame> HostLink::DecodeFrame(const flutter::Frame& frame, double captureMs) {
  if (frame.kind != flutter::FrameKind::kMessage || frame.channel != "rc_capture") {
    return std::nullopt;
  }
  auto call = flutter::DecodeMethodCall(frame.payload);
  if (!call || call.value->method != "onCaptureFrame") return std::nullopt;
  flutter::Value& args = call.value->arguments;
  auto* map = args.GetIf<flutter::ValueMap>();
  if (!map) return std::nullopt;
  CaptureFrame out;
  out.captureMs = captureMs;
  for (auto& [key, value] : *map) {
    const auto* name = key.GetIf<std::string>();
    if (!name) continue;
    if (*name == "data") {
      if (auto* bytes = value.GetIf<std::vector<uint8_t>>()) {
        out.data = std::make_shared<const std::vector<uint8_t>>(std::move(*bytes));
      }
    } else if (*name == "cursor" && value.GetIf<flutter::ValueMap>()) {
      CursorImage c;
      c.hotX = static_cast<int>(ReadInt(value, "x"));
      c.hotY = static_cast<int>(ReadInt(value, "y"));
      c.width = static_cast<int>(ReadInt(value, "width"));
      c.height = static_cast<int>(ReadInt(value, "height"));
      const auto* png = value.Find("data");
      const auto* pngBytes = png ? png->GetIf<std::vector<uint8_t>>() : nullptr;
      if (pngBytes && !pngBytes->empty()) {
        c.png = std::make_shared<const std::vector<uint8_t>>(*pngBytes);
        out.cursor = std::move(c);
      }
    }
  }
  if (!out.data || out.data->empty()) return std::nullopt;
  if (auto info = rcclient::InspectFrame(*out.data)) {
    out.vp8 = !info->vp9;
    out.keyFrame = info->keyFrame;
    out.width = info->width;
    out.height = info->height;
  }
  return out;
}

void HostLink::call(const std::string& channel, const std::string& method,
                    const flutter::Value& args) {
  std::lock_guard<std::mutex> lock(sendMutex_);
  if (fd_ < 0) return;
  auto bytes = flutter::EncodeFrame(
      {flutter::FrameKind::kMessage, 0, channel, flutter::EncodeMethodCall({method, args})});
  // A host that does not read is as good as gone; shutting the socket ends the reader's loop,
  // which then reconnects.
  if (!flutter::WriteAll(fd_, bytes, kSendSeconds)) ::shutdown(fd_, SHUT_RDWR);
}

void HostLink::run() {
  double backoff = kFirstBackoff;
  bool saidWaiting = false;
  while (!stopping_) {
    std::string error;
    auto client = flutter::MessengerSocketClient::Connect(path_, &error);
    if (client) {
      std::fprintf(stderr, "rcweb: connected to the host\n");
      saidWaiting = false;
      {
        std::lock_guard<std::mutex> lock(sendMutex_);
        fd_ = client->fd();
      }
      callbacks_.connected();
      double since = SteadySeconds();
      serve(*client);
      {
        std::lock_guard<std::mutex> lock(sendMutex_);
        fd_ = -1;
      }
      callbacks_.disconnected();
      if (stopping_) break;
      std::fprintf(stderr, "rcweb: the host went away\n");
      // A connection the host ended at once (another client holds it) does not reset the wait.
      if (SteadySeconds() - since > 1.0) backoff = kFirstBackoff;
    } else if (!saidWaiting) {
      std::fprintf(stderr, "rcweb: waiting for the host at %s\n", path_.c_str());
      saidWaiting = true;
    }
    pollfd pfd{wake_[0], POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(backoff * 1000)) > 0) break;
    backoff = std::min(backoff * 2, kMaxBackoff);
  }
}

void HostLink::serve(flutter::MessengerSocketClient& client) {
  flutter::FrameReader reader;
  std::vector<uint8_t> buffer(256 * 1024);
  while (!stopping_) {
    pollfd fds[2] = {{client.fd(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    ssize_t n = ::recv(client.fd(), buffer.data(), buffer.size(), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return;
    reader.Feed(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
    while (auto frame = reader.Next()) {
      if (frame->kind != flutter::FrameKind::kMessage) continue;
      if (frame->id != 0) {
        // The host asked for an answer: none of its calls has a handler here.
        std::lock_guard<std::mutex> lock(sendMutex_);
        flutter::WriteAll(
            client.fd(),
            flutter::EncodeFrame({flutter::FrameKind::kReply, frame->id, frame->channel, {}}),
            kSendSeconds);
      }
      double captureMs = std::chrono::duration<double, std::milli>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
      if (auto f = DecodeFrame(*frame, captureMs)) callbacks_.frame(std::move(*f));
    }
    if (!reader.error().empty()) {
      std::fprintf(stderr, "rcweb: malformed data from the host: %s\n", reader.error().c_str());
      return;
    }
  }
}

}  // namespace rcweb
