// rcweb's connection to the host's messenger socket: a reader thread that connects (again and
// again, with back-off, while the host is away), reads frames as fast as the host sends them and
// hands each on at once; and fire-and-forget calls from rcweb's I/O thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/flutter/messenger_socket.h"
#include "viewer/hub.h"

namespace rcweb {

class HostLink : public HostPort {
 public:
  struct Callbacks {
    // All three are called on the reader thread.
    std::function<void()> connected;
    std::function<void()> disconnected;
    std::function<void(CaptureFrame)> frame;
  };

  HostLink(std::string path, Callbacks callbacks);
  ~HostLink() override;

  void start();
  void stop();

  // Sends one call without a reply. Dropped when the host is not connected; a host that does not
  // take it within a short time is treated as gone.
  void call(const std::string& channel, const std::string& method,
            const flutter::Value& args) override;

  // Decodes an "onCaptureFrame" message; none for anything else.
  static std::optional<CaptureFrame> DecodeFrame(const flutter::Frame& frame, double captureMs);

 private:
  void run();
  // Reads from a connected client until it closes or stop() is called.
  void serve(flutter::MessengerSocketClient& client);

  std::string path_;
  Callbacks callbacks_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  int wake_[2] = {-1, -1};
  std::mutex sendMutex_;
  int fd_ = -1;  // the connected socket, under sendMutex_
};

}  // namespace rcweb
