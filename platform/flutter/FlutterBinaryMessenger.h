// The byte-level messenger between the native side and the application side.
//
// Messages are encoded bytes on a named channel. A reply is encoded bytes too; an empty reply
// means that no handler answered. Handlers run on the platform thread; Send may be called from
// any thread.
#pragma once

#include <functional>
#include <string>

#include "platform/flutter/Value.h"

namespace flutter {

// Called once with the reply. Replies that never come (a handler that does not answer) simply
// never call it.
using FlutterBinaryReply = std::function<void(const ByteBuffer& reply)>;
using FlutterBinaryMessageHandler =
    std::function<void(const ByteBuffer& message, FlutterBinaryReply reply)>;

class FlutterBinaryMessenger {
 public:
  virtual ~FlutterBinaryMessenger() = default;

  // Sends a message to the application side. Any thread. `callback` may be empty when no reply
  // is wanted. Returns once the message has been handed to the transport.
  virtual void sendOnChannel(const std::string& channel, ByteBuffer message,
                             FlutterBinaryReply callback = nullptr) = 0;

  // Installs (or, with an empty handler, removes) the handler of incoming messages on a channel.
  virtual void setMessageHandlerOnChannel(const std::string& channel,
                                          FlutterBinaryMessageHandler handler) = 0;
};

}  // namespace flutter
