#include "packages/rc_input/RemoteControl.h"

#include <gtest/gtest.h>

#include "packages/rc_input/CGMouseButton.h"
#include "packages/rc_input/InputChannelFixture.h"

namespace rc_input::testing {
namespace {

using namespace desktop;

class MouseTest : public InputChannelTest {
 protected:
  // The click state of every press and release posted so far.
  std::vector<int64_t> clickStates() {
    std::vector<int64_t> out;
    for (const auto& e : events()) {
      if (e.type != kCGEventMouseMoved) out.push_back(field(e, kCGMouseEventClickState));
    }
    return out;
  }
};

TEST_F(MouseTest, QuickPressesCountWithinTheWindowAndSlowOnesStartAgain) {
  struct Case {
    int64_t gapMs;
    int64_t expected;
  };
  // The first press is far from time 0, so it counts 1.
  const Case cases[] = {{0, 1}, {150, 2}, {279, 3}, {279, 4}, {280, 1}, {200, 2}, {300, 1}};
  std::vector<int64_t> expected;
  for (const auto& c : cases) {
    advanceMs(c.gapMs);
    at("leftDown", 10, 10);
    at("leftUp", 10, 10);
    expected.insert(expected.end(), {c.expected, c.expected});
  }
  EXPECT_EQ(clickStates(), expected);
}

TEST_F(MouseTest, TheCountIsSharedByAllButtons) {
  at("leftDown", 1, 1);
  advanceMs(100);
  at("rightDown", 50, 50);  // no distance tolerance either
  advanceMs(100);
  withData("xDown", 1, 1, 1);
  auto all = events();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ((std::tuple{all[1].type, all[1].mouseButton, field(all[1], kCGMouseEventClickState)}),
            (std::tuple{kCGEventRightMouseDown, kCGMouseButtonRight, int64_t{2}}));
  EXPECT_EQ((std::tuple{all[2].type, all[2].mouseButton, field(all[2], kCGMouseEventClickState)}),
            (std::tuple{kCGEventOtherMouseDown, XButton1, int64_t{3}}));
}

// Reproduces (side buttons): a side-button double click was posted as a left-button one.
TEST_F(MouseTest, DoubleClicksPostFourEventsOfTheirButtonAndBypassCounting) {
  const struct {
    const char* method;
    int32_t data;
    CGEventType down, up;
    CGMouseButton button;
  } cases[] = {
      {"leftDBClick", 0, kCGEventLeftMouseDown, kCGEventLeftMouseUp, kCGMouseButtonLeft},
      {"rightDBClick", 0, kCGEventRightMouseDown, kCGEventRightMouseUp, kCGMouseButtonRight},
      {"centerDBClick", 0, kCGEventOtherMouseDown, kCGEventOtherMouseUp, kCGMouseButtonCenter},
      {"xDBClick", 1, kCGEventOtherMouseDown, kCGEventOtherMouseUp, XButton1},
      {"xDBClick", 2, kCGEventOtherMouseDown, kCGEventOtherMouseUp, XButton2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + std::to_string(c.data));
    advanceMs(1000);
    sim->clearPostedEvents();
    at("leftDown", 1, 1);
    advanceMs(100);
    withData(c.method, 100, 200, c.data);
    advanceMs(100);
    at("leftDown", 1, 1);
    auto all = events();
    ASSERT_EQ(all.size(), 6u);
    const std::tuple<CGEventType, int64_t> expected[] = {
        {c.down, -1}, {c.up, -1}, {c.down, 2}, {c.up, 2}};
    for (int i = 0; i < 4; ++i) {
      const auto& e = all[1 + i];
      EXPECT_EQ((std::tuple{e.type, field(e, kCGMouseEventClickState)}), expected[i]) << i;
      EXPECT_EQ(e.location, (CGPoint{100, 200}));
      EXPECT_EQ(e.mouseButton, c.button);
    }
    EXPECT_EQ(field(all[5], kCGMouseEventClickState), 2);  // 200 ms after the first press
  }
}

// Reproduces: the clock was set back between two presses; the negative interval made the
// second press a double click.
TEST_F(MouseTest, AClockSetBackStartsANewSequence) {
  at("leftDown", 1, 1);
  advanceMs(-60'000);
  at("leftDown", 1, 1);
  EXPECT_EQ(clickStates(), (std::vector<int64_t>{1, 1}));
}

TEST_F(MouseTest, MovesWithAHeldButtonDragWithDeltas) {
  at("leftDown", 10, 10);
  at("mouseMove", 15, 12);  // no move before the press: (0, 0) means no deltas
  at("mouseMove", 20, 20);
  at("leftUp", 20, 20);
  at("mouseMove", 25, 25);
  auto all = events();
  ASSERT_EQ(all.size(), 5u);
  auto summary = [](const CGEvent& e) {
    return std::tuple{e.type, field(e, kCGMouseEventDeltaX), field(e, kCGMouseEventDeltaY),
                      field(e, kCGMouseEventClickState), field(e, kCGMouseEventPressure)};
  };
  EXPECT_EQ(summary(all[1]), (std::tuple{kCGEventLeftMouseDragged, -1, -1, 1, -1}));
  EXPECT_EQ(summary(all[2]), (std::tuple{kCGEventLeftMouseDragged, 5, 8, 0, 0}));
  EXPECT_EQ(std::get<0>(summary(all[4])), kCGEventMouseMoved);
  EXPECT_EQ(std::get<1>(summary(all[4])), -1);
  EXPECT_EQ(sim->cursorMoves().back(), (CGPoint{25, 25}));
}

// Reproduces (side buttons): with a side button held, every move posted a left-button press at the
// new position instead of a drag.
TEST_F(MouseTest, MovesWithAnyButtonHeldDragThatButtonAndNeverPressLeft) {
  const struct {
    const char* down;
    int32_t data;
    CGEventType drag;
    CGMouseButton button;
  } cases[] = {{"rightDown", 0, kCGEventRightMouseDragged, kCGMouseButtonRight},
               {"centerDown", 0, kCGEventOtherMouseDragged, kCGMouseButtonCenter},
               {"xDown", 1, kCGEventOtherMouseDragged, XButton1},
               {"xDown", 2, kCGEventOtherMouseDragged, XButton2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.down) + std::to_string(c.data));
    sim->clearPostedEvents();
    withData(c.down, 40, 40, c.data);
    at("mouseMove", 50, 45);
    at("mouseMove", 60, 55);
    auto all = events();
    ASSERT_EQ(all.size(), 3u);
    for (const auto& e : all) EXPECT_NE(e.type, kCGEventLeftMouseDown);
    for (const auto& e : {all[1], all[2]}) {
      EXPECT_EQ((std::pair{e.type, e.mouseButton}), (std::pair{c.drag, c.button}));
    }
    EXPECT_EQ((std::pair{field(all[2], kCGMouseEventDeltaX), field(all[2], kCGMouseEventDeltaY)}),
              (std::pair<int64_t, int64_t>{10, 10}));
    withData("xUp", 0, 0, 1);  // any release ends drag tracking
    at("mouseMove", 40, 40);
  }
}

}  // namespace
}  // namespace rc_input::testing
