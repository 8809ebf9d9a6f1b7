// The application side of the messenger for tests: sends encoded method calls to the plugins
// and collects the encoded replies and the messages the plugins send back.
//
// The engine's platform thread runs on a thread of its own, so a test can hold a message
// (back-pressure) while the platform thread is blocked, and still observe both sides.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/flutter/FlutterEngine.h"
#include "platform/flutter/standard_codec.h"

namespace flutter::testing {

struct CallOutcome {
  bool replied = false;  // false: the handler never answered
  ByteBuffer bytes;      // the raw reply (empty: no handler / not implemented)
  std::optional<Envelope> envelope;

  // The success value of a reply; fails the test (ADD_FAILURE) on anything else.
  Value value() const;
  bool isNull() const { return envelope && envelope->success && envelope->result.IsNull(); }
};

struct ReceivedMessage {
  std::string channel;
  ByteBuffer bytes;
  std::optional<FlutterMethodCall> call;  // decoded, when it decodes
};

class TestPeer : public FlutterPeer, public std::enable_shared_from_this<TestPeer> {
 public:
  // Attaches a new peer to `engine`, whose platform thread must be running.
  static std::shared_ptr<TestPeer> Attach(FlutterEngine& engine);

  // Sends a call and waits until the platform thread has handled it.
  CallOutcome call(const std::string& channel, const std::string& method,
                   const Value& arguments = Value());
  CallOutcome sendRaw(const std::string& channel, const ByteBuffer& bytes);

  // Messages the native side sent, in order of arrival.
  std::vector<ReceivedMessage> messages() const;
  size_t messageCount() const;
  // Waits (generously bounded) until at least `n` messages arrived.
  bool waitForMessages(size_t n, int timeoutMs = 20000) const;

  // While holding, deliver() blocks each message until release() lets it through, which makes
  // the native side wait for its next hand-over.
  void setHolding(bool holding);
  // Lets one held message through (waits for one to be held first, bounded).
  bool releaseOne(int timeoutMs = 20000);
  size_t heldCount() const;
  // The largest number of deliveries ever in progress at the same time.
  int maxConcurrentDeliveries() const;

  void deliver(const std::string& channel, const ByteBuffer& message,
               FlutterBinaryReply reply) override;

 private:
  explicit TestPeer(FlutterEngine& engine) : engine_(engine) {}

  FlutterEngine& engine_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<ReceivedMessage> messages_;
  bool holding_ = false;
  size_t held_ = 0;
  size_t releases_ = 0;
  int inDelivery_ = 0;
  int maxInDelivery_ = 0;
};

}  // namespace flutter::testing
