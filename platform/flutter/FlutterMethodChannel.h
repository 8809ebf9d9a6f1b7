// A named channel that carries method calls in the standard method codec.
//
// The handler runs on the platform thread. invokeMethod may be called from any thread: it
// encodes on the caller's thread and hands the bytes to the messenger, which does not need the
// platform thread to be free (a capture thread can be the caller while the platform thread waits
// for it).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/flutter/FlutterBinaryMessenger.h"
#include "platform/flutter/FlutterMethodCall.h"
#include "platform/flutter/FlutterResult.h"
#include "platform/flutter/standard_codec.h"

namespace flutter {

using FlutterMethodCallHandler = std::function<void(const FlutterMethodCall&, FlutterResult)>;

class FlutterMethodChannel {
 public:
  static std::shared_ptr<FlutterMethodChannel> methodChannelWithName(
      const std::string& name, std::shared_ptr<FlutterBinaryMessenger> messenger);

  FlutterMethodChannel(std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger);

  const std::string& name() const { return name_; }

  // Installs the handler; an empty handler removes it, after which calls on this channel get
  // the empty ("not implemented") reply. A call whose bytes cannot be decoded is dropped with
  // one line on standard error and, where a reply was asked for, answered empty.
  void setMethodCallHandler(FlutterMethodCallHandler handler);

  // Sends a call to the application side. Any thread. The reply, if wanted, arrives on the
  // transport's thread.
  void invokeMethod(const std::string& method, const Value& arguments,
                    std::function<void(const Decoded<Envelope>&)> callback = nullptr);

 private:
  std::string name_;
  std::shared_ptr<FlutterBinaryMessenger> messenger_;
};

}  // namespace flutter
