#include "packages/rc_input/InputManager.h"

#include <gtest/gtest.h>

#include <thread>

#include "packages/rc_input/InputChannelFixture.h"
#include "packages/rc_input/RemoteControl.h"

namespace rc_input::testing {
namespace {

using namespace desktop;
using desktop::sim::SimDesktop;

constexpr int32_t kCaps = 20, kKana = 21, kShift = 160, kCtrl = 162, kAlt = 164, kWin = 91;
constexpr int32_t kA = 65, kC = 67, kF5 = 116, kF12 = 123, kF13 = 124;

class KeyTest : public InputChannelTest {
 protected:
  void SetUp() override {
    sim->setInputSources(std::vector<TISInputSourceRef>{us, palette, hidden, abc, kana});
    sim->setCurrentInputSource(us);
    InputChannelTest::SetUp();
  }

  TISInputSourceRef us =
      SimDesktop::MakeInputSource("us", kTISCategoryKeyboardInputSource, true, "U.S.");
  TISInputSourceRef palette =
      SimDesktop::MakeInputSource("emoji", kTISCategoryPaletteInputSource, true, "Emoji");
  TISInputSourceRef hidden =
      SimDesktop::MakeInputSource("hidden", kTISCategoryKeyboardInputSource, false, "Hidden");
  TISInputSourceRef abc =
      SimDesktop::MakeInputSource("abc", kTISCategoryKeyboardInputSource, true, "ABC");
  TISInputSourceRef kana =
      SimDesktop::MakeInputSource("kana", kTISCategoryKeyboardInputSource, true, "Kana");
};

TEST_F(KeyTest, ShortCapsTapSwitchesLanguageAndKeepsFlags) {
  EXPECT_EQ(printed([&] {
              key(kCaps, true);
              advanceMs(499);
              key(kCaps, false);
            }),
            "Switched to: ABC\n");
  EXPECT_EQ(sim->selectedInputSources(), std::vector<std::string>{"abc"});
  ASSERT_EQ(events().size(), 2u);
  for (const auto& e : events())
    EXPECT_EQ((std::pair{e.keyCode, e.flags}), (std::pair<CGKeyCode, CGEventFlags>{57, 0}));
}

TEST_F(KeyTest, LongCapsHoldTogglesCapsLockOnLaterKeys) {
  key(kCaps, true);
  advanceMs(200);
  key(kCaps, true);  // key repeat: the hold still counts from the first down
  advanceMs(200);
  key(kCaps, true);
  advanceMs(100);
  key(kCaps, false);
  EXPECT_EQ(lastEvent().flags, kCGEventFlagMaskAlphaShift);
  tap(kA);
  EXPECT_EQ(lastEvent().flags, kCGEventFlagMaskAlphaShift);
  key(kCaps, true);
  advanceMs(500);
  key(kCaps, false);
  EXPECT_EQ(lastEvent().flags, 0u);
  tap(kA);
  EXPECT_EQ(lastEvent().flags, 0u);
  EXPECT_TRUE(sim->selectedInputSources().empty());
}

TEST_F(KeyTest, CapsUpWithoutDownCountsAsALongHold) {
  key(kCaps, false);
  EXPECT_EQ(lastEvent().flags, kCGEventFlagMaskAlphaShift);
}

TEST_F(KeyTest, ModifiersStayOnFollowingKeysUntilReleased) {
  key(kShift, true);
  tap(kA);
  key(kShift, false);
  std::vector<CGEventFlags> flags;
  for (const auto& e : events()) flags.push_back(e.flags);
  const CGEventFlags shift = kCGEventFlagMaskShift;
  EXPECT_EQ(flags, (std::vector<CGEventFlags>{shift, shift, shift, 0}));

  key(kAlt, true);  // sent as Option, flagged Command
  EXPECT_EQ(lastEvent().keyCode, 58);
  key(kC, true);
  EXPECT_EQ(lastEvent().flags, kCGEventFlagMaskCommand);
  key(kWin, true);  // sent as Command, flagged Option
  key(kCtrl, true);
  EXPECT_EQ(lastEvent().keyCode, 59);
  EXPECT_EQ(lastEvent().flags,
            kCGEventFlagMaskCommand | kCGEventFlagMaskAlternate | kCGEventFlagMaskControl);
  key(kAlt, false);
  key(kWin + 1, false);  // the right Windows key releases the same flag
  key(kCtrl + 1, false);
  EXPECT_EQ(lastEvent().flags, 0u);
}

TEST_F(KeyTest, FunctionKeysUpToF12CarryTheFnFlag) {
  for (auto [vk, mac, flags] : {std::tuple{kF5, 96, kCGEventFlagMaskSecondaryFn},
                                std::tuple{kF12, 111, kCGEventFlagMaskSecondaryFn},
                                std::tuple{kF13, 105, CGEventFlags{0}}}) {
    key(vk, true);
    EXPECT_EQ((std::pair<int, CGEventFlags>{lastEvent().keyCode, lastEvent().flags}),
              (std::pair<int, CGEventFlags>{mac, flags}))
        << vk;
    key(vk, false);
    EXPECT_EQ(lastEvent().flags, 0u) << vk;
  }
}

TEST_F(KeyTest, InputSourcesCycleOverSelectableKeyboardSources) {
  auto odd = std::make_shared<TISInputSource>(*abc);  // its flag is no boolean: skipped
  odd->properties[kTISPropertyInputSourceIsSelectCapable] = int64_t{1};
  auto nameless = std::make_shared<TISInputSource>(*kana);  // announced by its identifier
  nameless->properties.erase(kTISPropertyLocalizedName);
  using Sources = std::optional<std::vector<TISInputSourceRef>>;
  const Sources all = std::vector<TISInputSourceRef>{us, palette, hidden, abc, kana};
  const std::string failed = "Failed to switch keyboard language.\n";
  const struct {
    Sources sources;
    TISInputSourceRef current;
    int presses;
    std::string printed;
    std::vector<std::string> selected;
  } cases[] = {
      // Wraps around, skipping the palette and the source that is not selectable.
      {all,
       us,
       3,
       "Switched to: ABC\nSwitched to: Kana\nSwitched to: U.S.\n",
       {"abc", "kana", "us"}},
      {std::vector<TISInputSourceRef>{palette, us}, us, 1, "Switched to: U.S.\n", {"us"}},
      {std::vector<TISInputSourceRef>{us, odd, nameless}, us, 1, "Switched to: kana\n", {"kana"}},
      {all, hidden, 1, failed, {}},
      {all, palette, 1, failed, {}},
      {all, nullptr, 1, failed, {}},
      {std::nullopt, us, 1, failed, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.printed);
    sim->clearPostedEvents();
    const size_t earlier = sim->selectedInputSources().size();
    sim->setInputSources(c.sources);
    sim->setCurrentInputSource(c.current);
    EXPECT_EQ(printed([&] {
                key(kKana, true);  // the key-down switches nothing
                for (int i = 0; i < c.presses; ++i) key(kKana, false);
              }),
              c.printed);
    const auto selected = sim->selectedInputSources();
    EXPECT_EQ(std::vector<std::string>(selected.begin() + earlier, selected.end()), c.selected);
    EXPECT_EQ(events().size(), 1u + c.presses);  // the Kana key events themselves are posted
    EXPECT_EQ(lastEvent().keyCode, 104);
  }
}

TEST_F(KeyTest, FailedEventCreationChangesNoState) {
  sim->setEventCreationAvailable(false);
  EXPECT_EQ(printed([&] { key(kShift, true); }), "CGEvent is Null\n");
  sim->setEventCreationAvailable(true);
  key(kA, true);
  EXPECT_EQ(lastEvent().flags, 0u);
}

TEST(InputManagerWithoutSource, ReportsEachMouseAndKeyOperationButStillScrolls) {
  desktop::sim::testing::ScopedSimDesktop sim;
  sim->setEventSourceAvailable(false);
  ::testing::internal::CaptureStdout();
  InputManager manager;
  manager.doMouseEvent(kCGEventMouseMoved, 1, 1, 0, 1.0, 0, 0, 1);
  manager.doMousebuttonDbClick(0, 1, 1, 1.0);
  manager.doKeyboardEvent(kA, true, false);
  manager.doMouseScrollEvent({}, 0, -3, 1.0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Failed to create event source\nEvent source is not initialized\n"
            "Event source is not initialized\nEvent source is not initialized\n");
  ASSERT_EQ(sim->postedEvents().size(), 1u);
  EXPECT_EQ(sim->postedEvents()[0].event.type, kCGEventScrollWheel);
}

// Two threads press and release their own modifier around letters through one RemoteControl,
// while a third moves the mouse. Each key event's flags must be those of a serial order of the
// key events as posted: an update interleaved into another key event would show as a flag the
// replay does not have yet (and, without the lock, as a data race under the thread sanitizer).
TEST(InputManagerConcurrency, KeyEventsFromTwoThreadsNeverInterleave) {
  desktop::sim::testing::ScopedSimDesktop sim;
  auto control = RemoteControl::create();
  constexpr int kRounds = 300;
  auto typist = [&](int32_t modifier) {
    for (int i = 0; i < kRounds; ++i) {
      control->sendKey(modifier, true, false);
      control->sendKey(kA, true, false);
      control->sendKey(kA, false, false);
      control->sendKey(modifier, false, false);
    }
  };
  std::thread mouse([&] {
    for (int i = 0; i < kRounds; ++i) {
      control->mouseDown(i, i, 0);
      control->mouseMove(i + 1, i + 2);
      control->mouseUp(i + 1, i + 2, 0);
    }
  });
  std::thread shift(typist, kShift);
  std::thread ctrl(typist, kCtrl);
  shift.join();
  ctrl.join();
  mouse.join();

  CGEventFlags replay = 0;
  int keys = 0;
  for (const auto& posted : sim->postedEvents()) {
    const auto& e = posted.event;
    if (e.kind != CGEventKind::kKeyboard) continue;
    ++keys;
    CGEventFlags flag = e.keyCode == 56   ? kCGEventFlagMaskShift
                        : e.keyCode == 59 ? kCGEventFlagMaskControl
                                          : 0;
    replay = e.keyDown ? (replay | flag) : (replay & ~flag);
    ASSERT_EQ(e.flags, replay) << "key event " << keys;
  }
  EXPECT_EQ(keys, 2 * 4 * kRounds);
  EXPECT_EQ(control->getInputManager().getModifiers(), 0u);
}

}  // namespace
}  // namespace rc_input::testing
