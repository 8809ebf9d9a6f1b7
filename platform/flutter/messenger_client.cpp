#include "platform/flutter/messenger_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace flutter {

std::unique_ptr<MessengerSocketClient> MessengerSocketClient::Connect(const std::string& path,
                                                                      std::string* error) {
  sockaddr_un addr;
  if (!FillSocketAddress(path, addr, error)) return nullptr;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (error) *error = "cannot connect to " + path + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
  // Only a host of this user (or root's) is trusted, in a directory of this user (or root's):
  // anyone can put a socket at a path in /tmp first.
  const uid_t self = geteuid();
  auto trusted = [self](uid_t uid) { return uid == self || uid == 0; };
  ucred peer{};
  socklen_t length = sizeof peer;
  std::string why;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
    why = std::string("cannot tell who serves it: ") + std::strerror(errno);
  } else if (!trusted(peer.uid)) {
    why = "it is served by user " + std::to_string(peer.uid) + ", not by this user or root";
  } else {
    auto slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
      why = "cannot inspect " + dir + ": " + std::strerror(errno);
    } else if (!trusted(st.st_uid)) {
      why = dir + " belongs to user " + std::to_string(st.st_uid) + ", not to this user or root";
    }
  }
  if (!why.empty()) {
    if (error) *error = "refusing the host at " + path + ": " + why;
    ::close(fd);
    return nullptr;
  }
  auto client = std::unique_ptr<MessengerSocketClient>(new MessengerSocketClient());
  client->fd_ = fd;
  return client;
}

MessengerSocketClient::~MessengerSocketClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool MessengerSocketClient::send(const Frame& frame) {
  if (closed_) return false;
  if (!FitsInFrame(frame.channel, frame.payload.size())) return false;  // the host would hang up
  if (!WriteAll(fd_, EncodeFrame(frame), 30.0)) {
    closed_ = true;
    return false;
  }
  return true;
}

std::optional<Frame> MessengerSocketClient::receive(double seconds) {
  double deadline = MonotonicSeconds() + seconds;
  std::vector<uint8_t> buffer(256 * 1024);
  for (;;) {
    if (auto frame = reader_.Next()) return frame;
    if (!reader_.error().empty() || closed_) {
      closed_ = true;
      return std::nullopt;
    }
    double left = deadline - MonotonicSeconds();
    if (left <= 0) return std::nullopt;
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
    ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      closed_ = true;
      return std::nullopt;
    }
    reader_.Feed(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
  }
}

}  // namespace flutter
