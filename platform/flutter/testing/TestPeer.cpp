#include "platform/flutter/testing/TestPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace flutter::testing {

Value CallOutcome::value() const {
  if (!replied) {
    ADD_FAILURE() << "no reply";
    return {};
  }
  if (!envelope || !envelope->success) {
    ADD_FAILURE() << "reply is not a success envelope (" << bytes.size() << " bytes)";
    return {};
  }
  return envelope->result;
}

std::shared_ptr<TestPeer> TestPeer::Attach(FlutterEngine& engine) {
  std::shared_ptr<TestPeer> peer(new TestPeer(engine));
  engine.messenger()->setPeer(peer);
  return peer;
}

CallOutcome TestPeer::call(const std::string& channel, const std::string& method,
                           const Value& arguments) {
  return sendRaw(channel, EncodeMethodCall({method, arguments}));
}

CallOutcome TestPeer::sendRaw(const std::string& channel, const ByteBuffer& bytes) {
  auto outcome = std::make_shared<CallOutcome>();
  auto replyMutex = std::make_shared<std::mutex>();
  engine_.messenger()->receive(channel, bytes, [outcome, replyMutex](const ByteBuffer& reply) {
    std::lock_guard lock(*replyMutex);
    outcome->replied = true;
    outcome->bytes = reply;
    if (!reply.empty()) {
      auto env = DecodeEnvelope(reply);
      if (env) outcome->envelope = *env.value;
    }
  });
  // The loop is first in, first out: once this marker has run, the call has been handled.
  std::promise<void> handled;
  auto done = handled.get_future();
  engine_.loop().post([&handled] { handled.set_value(); });
  if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "the platform thread did not handle the call within 60 s";
    return {};
  }
  std::lock_guard lock(*replyMutex);
  return *outcome;
}

void TestPeer::deliver(const std::string& channel, const ByteBuffer& message,
                       FlutterBinaryReply reply) {
  std::unique_lock lock(mutex_);
  maxInDelivery_ = std::max(maxInDelivery_, ++inDelivery_);
  if (holding_) {
    ++held_;
    changed_.notify_all();
    size_t ticket = held_;
    changed_.wait(lock, [&] { return !holding_ || releases_ >= ticket; });
  }
  ReceivedMessage m{channel, message, std::nullopt};
  if (auto call = DecodeMethodCall(message)) m.call = *call.value;
  messages_.push_back(std::move(m));
  --inDelivery_;
  changed_.notify_all();
  lock.unlock();
  if (reply) reply({});
}

std::vector<ReceivedMessage> TestPeer::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

size_t TestPeer::messageCount() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

bool TestPeer::waitForMessages(size_t n, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return messages_.size() >= n; });
}

void TestPeer::setHolding(bool holding) {
  std::lock_guard lock(mutex_);
  holding_ = holding;
  changed_.notify_all();
}

bool TestPeer::releaseOne(int timeoutMs) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return held_ > releases_; })) {
    return false;
  }
  ++releases_;
  changed_.notify_all();
  return true;
}

size_t TestPeer::heldCount() const {
  std::lock_guard lock(mutex_);
  return held_ - releases_;
}

int TestPeer::maxConcurrentDeliveries() const {
  std::lock_guard lock(mutex_);
  return maxInDelivery_;
}

}  // namespace flutter::testing
