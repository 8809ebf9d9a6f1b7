// The client's end of the messenger socket (rcclient, the tests, the gateway).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/flutter/messenger_wire.h"

namespace flutter {

// Client side, for rcclient and tests: a blocking connection to a host.
class MessengerSocketClient {
 public:
  // Connects to the host at `path`. Refused (null, and why in *error) unless the peer runs as
  // this user or root and the socket's directory belongs to this user or root.
  static std::unique_ptr<MessengerSocketClient> Connect(const std::string& path,
                                                        std::string* error);
  ~MessengerSocketClient();

  // False when the host is gone (closed() then holds) or when the frame would exceed
  // kMaxFrameLength (nothing is sent; the connection stays).
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
