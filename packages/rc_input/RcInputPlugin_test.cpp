#include "packages/rc_input/RcInputPlugin.h"

#include <gtest/gtest.h>

#include "packages/rc_input/InputChannelFixture.h"

namespace rc_input::testing {
namespace {

using namespace desktop;
using flutter::ValueList;
using flutter::ValueMap;

using DispatchTest = InputChannelTest;

TEST_F(DispatchTest, PermissionCommandsAnswerAndPromptOnlyOnRequest) {
  sim->setTrusted(false);
  EXPECT_EQ(send("checkInputPermit").value(), Value(false));
  EXPECT_EQ(sim->trustPrompts(), 0);
  EXPECT_EQ(send("reqInputPermit").value(), Value(true));
  EXPECT_EQ(sim->trustPrompts(), 1);
  sim->setTrusted(true);
  EXPECT_EQ(send("checkInputPermit", Value(ValueList{})).value(), Value(true));
}

TEST_F(DispatchTest, InputCommandsNeverReplyUnknownNamesAndNonMapArgumentsAnswerTrue) {
  EXPECT_EQ(at("doSomething", 1, 1).value(), Value(true));
  EXPECT_EQ(at("MouseMove", 1, 1).value(), Value(true));  // names are case-sensitive
  EXPECT_EQ(send("mouseMove").value(), Value(true));
  EXPECT_EQ(send("sendKey", Value(ValueList{int32_t{65}})).value(), Value(true));
  ValueMap intKeyed{{Value(int32_t{1}), Value(int32_t{2})}, {Value("x"), Value(int32_t{1})}};
  EXPECT_EQ(send("leftDown", Value(intKeyed)).value(), Value(true));
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(sim->cursorMoves().empty());

  for (const char* method :
       {"mouseMove", "leftDown", "leftUp", "leftDBClick", "rightDown", "rightUp", "rightDBClick",
        "centerDown", "centerUp", "centerDBClick"}) {
    EXPECT_FALSE(at(method, 10, 20).replied) << method;
  }
  for (const char* method : {"xDown", "xUp", "xDBClick", "wheel"}) {
    EXPECT_FALSE(withData(method, 10, 20, 1).replied) << method;
  }
  EXPECT_FALSE(key(65, true).replied);
  // 10 single events, 3 double clicks of 4, 2 side-button events, 1 double click, 1 scroll, 1 key.
  EXPECT_EQ(events().size(), 10u - 3u + 12u + 2u + 4u + 1u + 1u);
}

// Reproduces: a missing or mistyped required key used to bring the plugin down; now the command
// is dropped without a reply and without an event.
TEST_F(DispatchTest, MissingOrMistypedRequiredArgumentsDropTheCommand) {
  const Value bad[] = {Value(),
                       Value("65"),
                       Value(1.5),
                       Value(true),
                       Value(ValueList{}),
                       Value(int64_t{1} << 31),
                       Value(2147483648.0)};
  for (const auto& v : bad) {
    SCOPED_TRACE(flutter::ToDebugString(v));
    EXPECT_FALSE(
        send("sendKey", MakeMap({{"vKey", v}, {"isKeyDown", true}, {"isExtendedKey", false}}))
            .replied);
    EXPECT_FALSE(send("mouseMove", MakeMap({{"x", v}, {"y", int32_t{1}}})).replied);
    EXPECT_FALSE(send("leftDown", MakeMap({{"x", int32_t{1}}, {"y", v}})).replied);
    EXPECT_FALSE(send("xDown", MakeMap({{"x", 5}, {"y", 6}, {"data", v}})).replied);
    EXPECT_FALSE(send("wheel", MakeMap({{"x", 5}, {"y", 6}, {"data", v}})).replied);
    // A name the channel does not know is answered however its arguments look.
    EXPECT_EQ(send("noSuchCommand", MakeMap({{"x", v}, {"y", int32_t{1}}})).value(), Value(true));
  }
  EXPECT_EQ(send("noSuchCommand", MakeMap({{"vKey", 65}})).value(), Value(true));
  EXPECT_EQ(send("noSuchCommand", Value(ValueMap{})).value(), Value(true));
  EXPECT_FALSE(
      send("sendKey", MakeMap({{"vKey", 65}, {"isKeyDown", int32_t{1}}, {"isExtendedKey", false}}))
          .replied);
  EXPECT_FALSE(send("sendKey", MakeMap({{"vKey", 65}, {"isKeyDown", true}})).replied);
  EXPECT_FALSE(withData("xDown", 5, 6, 0).replied);  // side buttons are 1 and 2 only
  EXPECT_FALSE(withData("xDBClick", 5, 6, 3).replied);
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(sim->cursorMoves().empty());
}

TEST_F(DispatchTest, IntegersMayArriveWideOrAsExactFloats) {
  send("mouseMove", MakeMap({{"x", int64_t{2147483647}}, {"y", -2147483648.0}}));
  EXPECT_EQ(lastEvent().location, (CGPoint{2147483647, -2147483648.0}));
  send("sendKey", MakeMap({{"vKey", 65.0}, {"isKeyDown", true}, {"isExtendedKey", false}}));
  EXPECT_EQ(lastEvent().keyCode, 0);  // 'A'
  // A key sent twice keeps its last value, as in a dictionary built from the wire.
  send("mouseMove", MakeMap({{"x", 1}, {"y", 2}, {"x", 3}}));
  EXPECT_EQ(lastEvent().location, (CGPoint{3, 2}));
  EXPECT_EQ(events().size(), 3u);
}

TEST_F(DispatchTest, WheelScrollsAtThePointerNotAtTheGivenPoint) {
  sim->setCursorLocation({300, 400});
  withData("wheel", 0, 0, -120);
  auto e = lastEvent();
  EXPECT_EQ(e.type, kCGEventScrollWheel);
  EXPECT_EQ(e.location, (CGPoint{300, 400}));
  EXPECT_EQ(e.scrollUnits, kCGScrollEventUnitPixel);
  EXPECT_EQ((std::tuple{e.wheelCount, e.wheel1, e.wheel2}), (std::tuple{2u, -120, 0}));
  EXPECT_EQ(field(e, kCGEventSourceUserData), 1);
  EXPECT_FALSE(e.hasSource);
}

TEST_F(DispatchTest, KeyTableEdgesThroughTheChannel) {
  key(13, true, false);
  EXPECT_EQ(lastEvent().keyCode, 36);
  key(13, true, true);
  EXPECT_EQ(lastEvent().keyCode, 76);
  key(36, true, true);
  EXPECT_EQ(lastEvent().keyCode, 115);
  std::string expected;
  EXPECT_EQ(printed([&] {
              for (int32_t vk : {16, 17, 18, 108, 7, 223, -1, INT32_MIN}) {
                key(vk, true);
                expected += "vkey is Null\n";
              }
            }),
            expected);
  EXPECT_EQ(events().size(), 3u);
}

TEST_F(DispatchTest, DetachRemovesTheHandler) {
  plugin->detachFromEngine(nullptr);
  auto outcome = at("mouseMove", 1, 1);
  EXPECT_TRUE(outcome.replied && outcome.bytes.empty());  // no handler any more
  EXPECT_TRUE(events().empty());
  RcInputPlugin().detachFromEngine(nullptr);  // no channel: nothing to do
}

}  // namespace
}  // namespace rc_input::testing
