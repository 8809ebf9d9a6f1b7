#include "platform/flutter/FlutterEngine.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/flutter/FlutterMethodChannel.h"
#include "platform/flutter/testing/TestPeer.h"

namespace flutter {
namespace {

class EchoPlugin : public FlutterPlugin {
 public:
  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override {
    onPlatformThread = IsPlatformThread();
    if (call.method == "twice") {
      result(Value("first"));
      result(Value("second"));  // ignored
    } else if (call.method == "silent") {
      // never answers
    } else {
      result(call.arguments);
    }
  }
  bool onPlatformThread = false;
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine.startPlatformThread();
    peer = testing::TestPeer::Attach(engine);
    plugin = std::make_shared<EchoPlugin>();
    engine.runOnPlatformThreadAndWait([&] {
      auto registrar = engine.registrarForPlugin("EchoPlugin");
      channel = FlutterMethodChannel::methodChannelWithName("echo", registrar->messenger());
      registrar->addMethodCallDelegate(plugin, channel);
    });
  }

  FlutterEngine engine;
  std::shared_ptr<testing::TestPeer> peer;
  std::shared_ptr<EchoPlugin> plugin;
  std::shared_ptr<FlutterMethodChannel> channel;
};

TEST_F(EngineTest, CallsReachTheDelegateOnThePlatformThreadAndAnswerOnce) {
  auto reply = peer->call("echo", "echo", MakeMap({{"x", int32_t{1}}}));
  EXPECT_EQ(reply.value(), Value(MakeMap({{"x", int32_t{1}}})));
  EXPECT_TRUE(plugin->onPlatformThread);
  EXPECT_EQ(peer->call("echo", "twice").value(), Value("first"));
  EXPECT_FALSE(peer->call("echo", "silent").replied);
  EXPECT_EQ(engine.registrarKeys(), std::vector<std::string>{"EchoPlugin"});
}

TEST_F(EngineTest, UnknownChannelsAndUndecodableCallsGetTheEmptyReply) {
  auto none = peer->call("nobody", "x");
  EXPECT_TRUE(none.replied);
  EXPECT_TRUE(none.bytes.empty());

  ::testing::internal::CaptureStderr();
  auto garbage = peer->sendRaw("echo", {0x07, 0x05, 'h'});
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(garbage.replied);
  EXPECT_TRUE(garbage.bytes.empty());
  EXPECT_NE(err.find("\"echo\""), std::string::npos) << err;
  // The engine goes on.
  EXPECT_EQ(peer->call("echo", "echo", int32_t{5}).value(), Value(int32_t{5}));
}

TEST_F(EngineTest, ReleasedPluginsAndRemovedHandlersStopAnswering) {
  engine.runOnPlatformThreadAndWait([&] { channel->setMethodCallHandler(nullptr); });
  EXPECT_TRUE(peer->call("echo", "echo", int32_t{1}).bytes.empty());
}

TEST_F(EngineTest, RegistrarKeepsThePluginAliveUntilTheEngineReleasesIt) {
  std::weak_ptr<EchoPlugin> weak = plugin;
  plugin.reset();
  EXPECT_FALSE(weak.expired());
  engine.releasePlugins();
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(peer->call("echo", "echo", int32_t{1}).bytes.empty());
}

TEST_F(EngineTest, InvokeMethodFromAnyThreadReachesThePeerInOrder) {
  std::thread a([&] {
    for (int i = 0; i < 50; ++i) channel->invokeMethod("tick", int32_t{i});
  });
  a.join();
  ASSERT_TRUE(peer->waitForMessages(50));
  auto messages = peer->messages();
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(messages[i].call.has_value());
    EXPECT_EQ(messages[i].call->method, "tick");
    EXPECT_EQ(messages[i].call->arguments, Value(int32_t{i}));
  }
}

}  // namespace
}  // namespace flutter
