#include "platform/flutter/messenger_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/foundation/FrameTrace.h"

namespace flutter {
namespace {

std::string Errno(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// The socket's directory must be a real directory (not a link someone planted) of our own.
// Only a directory made here is made private: an existing one keeps its mode (a path directly in
// /tmp must not turn /tmp into a private directory), and one that other users may write to is
// refused, since they could replace the socket.
bool PreparePrivateDirectory(const std::string& dir, std::string* error) {
  bool created = mkdir(dir.c_str(), 0700) == 0;
  if (!created && errno != EEXIST) {
    *error = Errno(("cannot create " + dir).c_str());
    return false;
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    *error = Errno(("cannot inspect " + dir).c_str());
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = dir + " is not a directory (a symbolic link?); refusing to use it";
    return false;
  }
  if (st.st_uid != geteuid()) {
    *error = dir + " belongs to another user; refusing to use it";
    return false;
  }
  if (created) {
    if ((st.st_mode & 077) != 0 && chmod(dir.c_str(), 0700) != 0) {
      *error = Errno(("cannot make " + dir + " private").c_str());
      return false;
    }
  } else if ((st.st_mode & 022) != 0) {
    *error = dir +
             " is writable by other users; refusing to put the socket there (name a socket in a "
             "directory of its own, e.g. " +
             (dir == "/" ? "" : dir) + "/tavrindesk/messenger.sock)";
    return false;
  }
  return true;
}

void LogOversized(const char* what, const std::string& channel, size_t bytes) {
  std::fprintf(stderr,
               "rc: dropped a %s of %zu bytes on %s: larger than a frame may be (%u bytes)\n", what,
               bytes, channel.c_str(), kMaxFrameLength);
}

}  // namespace

std::shared_ptr<MessengerSocketServer> MessengerSocketServer::Listen(
    const std::string& path, std::shared_ptr<EngineMessenger> messenger, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  sockaddr_un addr;
  if (!FillSocketAddress(path, addr, error)) return nullptr;
  auto slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  if (!PreparePrivateDirectory(dir, error)) return nullptr;

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = Errno("socket");
    return nullptr;
  }
  // A socket file left by a host that died is removed; one with a live host behind it is not.
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = path + " exists and is not a socket";
      ::close(fd);
      return nullptr;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      *error = "another host is already listening on " + path;
      ::close(fd);
      return nullptr;
    }
    ::close(fd);
    unlink(path.c_str());
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *error = Errno("socket");
      return nullptr;
    }
  }
  // The socket is bound under a staging name and renamed into place once it listens: a client
  // that sees the file can connect at once (between bind and listen it would be refused).
  const std::string staging = path + ".new";
  sockaddr_un stagingAddr;
  std::string ignoredError;
  const bool staged = FillSocketAddress(staging, stagingAddr, &ignoredError);
  const std::string& bound = staged ? staging : path;
  if (staged) unlink(staging.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(staged ? &stagingAddr : &addr), sizeof addr) != 0 ||
      chmod(bound.c_str(), 0600) || listen(fd, 4) != 0 ||
      (staged && rename(staging.c_str(), path.c_str()) != 0)) {
    *error = Errno(("cannot listen on " + path).c_str());
    if (staged) unlink(staging.c_str());
    ::close(fd);
    return nullptr;
  }

  std::shared_ptr<MessengerSocketServer> server(new MessengerSocketServer());
  server->path_ = path;
  server->messenger_ = std::move(messenger);
  server->listenFd_ = fd;
  if (pipe2(server->wakeFds_, O_CLOEXEC) != 0) {
    *error = Errno("pipe");
    return nullptr;  // the destructor closes what was opened
  }
  server->acceptThread_ = std::thread([raw = server.get()] { raw->acceptLoop(); });
  return server;
}

MessengerSocketServer::~MessengerSocketServer() {
  close();
}

void MessengerSocketServer::setOnClientGone(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  onClientGone_ = std::move(callback);
}

bool MessengerSocketServer::hasClient() const {
  std::lock_guard lock(mutex_);
  return clientFd_ >= 0;
}

void MessengerSocketServer::close() {
  if (closing_.exchange(true)) return;
  if (wakeFds_[1] >= 0) {
    char b = 1;
    (void)!write(wakeFds_[1], &b, 1);
  }
  {
    std::lock_guard lock(mutex_);
    if (clientFd_ >= 0) shutdown(clientFd_, SHUT_RDWR);
  }
  if (acceptThread_.joinable()) acceptThread_.join();
  if (clientThread_.joinable()) clientThread_.join();
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    unlink(path_.c_str());
    listenFd_ = -1;
  }
  for (int& fd : wakeFds_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void MessengerSocketServer::acceptLoop() {
  while (!closing_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "rc: messenger socket: %s\n", std::strerror(errno));
      return;
    }
    if (closing_ || (fds[1].revents & POLLIN)) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;

    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid()) {
      std::fprintf(stderr, "rc: refused a messenger client of user %u (pid %d): not our user\n",
                   static_cast<unsigned>(cred.uid), static_cast<int>(cred.pid));
      ::close(fd);
      continue;
    }
    std::unique_lock lock(mutex_);
    if (clientFd_ >= 0) {
      // A client that has just hung up is still being torn down by its reader thread; the one
      // connecting now (often the same program, reconnecting) waits for that instead of being
      // refused.
      pollfd current{clientFd_, POLLRDHUP, 0};
      if (poll(&current, 1, 0) > 0 && (current.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
        clientGone_.wait_for(lock, std::chrono::seconds(2), [this] { return clientFd_ < 0; });
      }
    }
    if (clientFd_ >= 0) {
      lock.unlock();
      std::fprintf(stderr, "rc: refused a second messenger client (pid %d): one at a time\n",
                   static_cast<int>(cred.pid));
      ::close(fd);
      continue;
    }
    // The previous client's thread has finished (it clears clientFd_ last); reap it.
    std::thread previous = std::move(clientThread_);
    clientFd_ = fd;
    ++clientGeneration_;
    clientThread_ = std::thread([this, fd] { serveClient(fd); });
    lock.unlock();
    if (previous.joinable()) previous.join();
  }
}

void MessengerSocketServer::serveClient(int fd) {
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    generation = clientGeneration_;
  }
  std::weak_ptr<MessengerSocketServer> weak = weak_from_this();
  FrameReader reader;
  std::vector<uint8_t> buffer(64 * 1024);
  const char* why = "closed the connection";
  std::string malformed, late;
  double frameStarted = -1;  // when the frame now arriving began; -1 between frames
  while (!closing_) {
    // Back-pressure: no more reading while the platform thread is behind by the budget.
    {
      std::unique_lock lock(queueMutex_);
      if (queuedBytes_ >= kReadQueueBudget) {
        const double pausedAt = MonotonicSeconds();
        while (queuedBytes_ >= kReadQueueBudget && !closing_) {
          queueRoom_.wait_for(lock, std::chrono::milliseconds(100));
        }
        if (frameStarted >= 0) frameStarted += MonotonicSeconds() - pausedAt;
      }
    }
    if (closing_) break;
    int timeout = -1;
    if (frameStarted >= 0) {
      const double left = frameStarted + frameDeadline_ - MonotonicSeconds();
      if (left <= 0) {
        char text[64];
        std::snprintf(text, sizeof text, "did not finish a frame within %.1f s", frameDeadline_);
        late = text;
        why = late.c_str();
        break;
      }
      timeout = static_cast<int>(left * 1000) + 1;
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    int ready = poll(fds, 2, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) continue;  // the deadline is checked above
    if (fds[1].revents & POLLIN) break;
    ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    reader.Feed(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
    bool tookFrame = false;
    while (auto frame = reader.Next()) {
      tookFrame = true;
      if (frame->kind == FrameKind::kMessage) {
        FlutterBinaryReply reply;
        if (frame->id != 0) {
          reply = [weak, fd, generation, id = frame->id,
                   channel = frame->channel](const ByteBuffer& bytes) {
            auto self = weak.lock();
            if (!self) return;
            std::lock_guard write(self->writeMutex_);
            {
              std::lock_guard lock(self->mutex_);
              if (self->clientFd_ != fd || self->clientGeneration_ != generation) return;
            }
            // A reply too large for a frame goes out empty (no answer), so the caller is not
            // left waiting and its reader never sees a frame it must reject.
            const bool fits = FitsInFrame(channel, bytes.size());
            if (!fits) LogOversized("reply", channel, bytes.size());
            const ByteBuffer none;
            const ByteBuffer& body = fits ? bytes : none;
            const ByteBuffer head = EncodeFrameHeader(FrameKind::kReply, id, channel, body.size());
            self->dropClientUnless(fd, WriteGathered(fd, head, body, kStuckClientSeconds));
          };
        }
        const size_t cost = frame->payload.size() + frame->channel.size() + kQueuedMessageOverhead;
        {
          std::lock_guard lock(queueMutex_);
          queuedBytes_ += cost;
        }
        messenger_->receive(frame->channel, std::move(frame->payload), std::move(reply),
                            [weak, cost] {
                              if (auto self = weak.lock()) self->messageHandled(cost);
                            });
      } else {
        FlutterBinaryReply pending;
        {
          std::lock_guard lock(mutex_);
          auto it = pendingReplies_.find(frame->id);
          if (it != pendingReplies_.end()) {
            pending = std::move(it->second);
            pendingReplies_.erase(it);
          }
        }
        if (pending) pending(frame->payload);
      }
    }
    if (reader.buffered() == 0) {
      frameStarted = -1;
    } else if (tookFrame || frameStarted < 0) {
      frameStarted = MonotonicSeconds();  // a new frame has begun
    }
    if (!reader.error().empty()) {
      malformed = "sent a malformed frame (" + reader.error() + ")";
      why = malformed.c_str();
      break;
    }
  }
  // Told before the slot is free: whatever the callback posts to the platform loop (the end of
  // this client's session) runs after this client's messages and before any of the next's.
  std::function<void()> gone;
  {
    std::lock_guard lock(mutex_);
    gone = onClientGone_;
  }
  if (gone) gone();
  std::map<uint32_t, FlutterBinaryReply> orphans;
  {
    // No writer is inside a write to this descriptor once both locks are held.
    std::lock_guard write(writeMutex_);
    std::lock_guard lock(mutex_);
    clientFd_ = -1;
    clientGone_.notify_all();
    orphans.swap(pendingReplies_);
    ::close(fd);
  }
  // Logged once the slot is free: a client that connects after this line is served.
  if (!closing_) std::fprintf(stderr, "rc: messenger client %s; disconnected\n", why);
  for (auto& [id, reply] : orphans) reply({});
}

void MessengerSocketServer::messageHandled(size_t cost) {
  {
    std::lock_guard lock(queueMutex_);
    queuedBytes_ -= std::min(cost, queuedBytes_);
  }
  queueRoom_.notify_all();
}

void MessengerSocketServer::dropClientUnless(int fd, WriteOutcome outcome) {
  if (outcome == WriteOutcome::kWritten) return;
  if (outcome == WriteOutcome::kTimedOut) {
    std::fprintf(stderr, "rc: messenger client stopped reading for %.0f s; dropping it\n",
                 kStuckClientSeconds);
  }
  // Either way the reader thread sees the end, logs the departure and cleans up.
  shutdown(fd, SHUT_RDWR);
}

void MessengerSocketServer::deliver(const std::string& channel, const ByteBuffer& message,
                                    FlutterBinaryReply reply) {
  if (!FitsInFrame(channel, message.size())) {
    // The client would have to take it as malformed and hang up: it is dropped instead.
    LogOversized("message", channel, message.size());
    if (reply) reply({});
    return;
  }
  {
    std::unique_lock write(writeMutex_);
    int fd;
    uint32_t id = 0;
    {
      std::lock_guard lock(mutex_);
      fd = clientFd_;
      if (fd >= 0 && reply) {
        id = nextId_++;
        if (nextId_ == 0) nextId_ = 1;
        pendingReplies_[id] = reply;
      }
    }
    if (fd >= 0) {
      const ByteBuffer head = EncodeFrameHeader(FrameKind::kMessage, id, channel, message.size());
      auto outcome = WriteGathered(fd, head, message, kStuckClientSeconds);
      if (outcome != WriteOutcome::kWritten) {
        dropClientUnless(fd, outcome);
      } else if (foundation::FrameTrace::enabled()) {
        foundation::FrameTrace::messageWritten(channel);
      }
      return;
    }
  }
  // No client: nothing to send; a wanted reply is answered empty, outside the locks.
  if (reply) reply({});
}

}  // namespace flutter
