#include "platform/flutter/FlutterMethodChannel.h"

#include <cstdio>

namespace flutter {

std::shared_ptr<FlutterMethodChannel> FlutterMethodChannel::methodChannelWithName(
    const std::string& name, std::shared_ptr<FlutterBinaryMessenger> messenger) {
  return std::make_shared<FlutterMethodChannel>(name, std::move(messenger));
}

FlutterMethodChannel::FlutterMethodChannel(std::string name,
                                           std::shared_ptr<FlutterBinaryMessenger> messenger)
    : name_(std::move(name)), messenger_(std::move(messenger)) {}

void FlutterMethodChannel::setMethodCallHandler(FlutterMethodCallHandler handler) {
  if (!handler) {
    messenger_->setMessageHandlerOnChannel(name_, nullptr);
    return;
  }
  messenger_->setMessageHandlerOnChannel(
      name_, [name = name_, handler = std::move(handler)](const ByteBuffer& message,
                                                          FlutterBinaryReply reply) {
        auto call = DecodeMethodCall(message);
        if (!call) {
          std::fprintf(stderr, "rc: dropped an undecodable method call on \"%s\": %s\n",
                       name.c_str(), call.error.c_str());
          if (reply) reply({});
          return;
        }
        handler(*call.value, FlutterResult([reply](ByteBuffer bytes) {
          if (reply) reply(bytes);
        }));
      });
}

void FlutterMethodChannel::invokeMethod(const std::string& method, const Value& arguments,
                                        std::function<void(const Decoded<Envelope>&)> callback) {
  FlutterBinaryReply reply;
  if (callback) {
    reply = [callback = std::move(callback)](const ByteBuffer& bytes) {
      callback(DecodeEnvelope(bytes));
    };
  }
  messenger_->sendOnChannel(name_, EncodeMethodCall(method, arguments), std::move(reply));
}

}  // namespace flutter
