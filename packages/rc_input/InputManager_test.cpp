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
  std::string capture(const std::function<void()>& fn) {
    ::testing::internal::CaptureStdout();
    fn();
    return ::testing::internal::GetCapturedStdout();
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
  std::string out = capture([&] {
    key(kCaps, true);
    advanceMs(499);
    key(kCaps, false);
  });
  EXPECT_EQ(out, "Switched to: ABC\n");
  EXPECT_EQ(sim->selectedInputSources(), std::vector<std::string>{"abc"});
  auto all = events();
  ASSERT_EQ(all.size(), 2u);
  for (const auto& e : all) {
    EXPECT_EQ(e.keyCode, 57);
    EXPECT_EQ(e.flags, 0u);
  }
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
  auto all = events();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].flags, kCGEventFlagMaskShift);
  EXPECT_EQ(all[1].flags, kCGEventFlagMaskShift);
  EXPECT_EQ(all[2].flags, kCGEventFlagMaskShift);
  EXPECT_EQ(all[3].flags, 0u);

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
  key(kF5, true);
  EXPECT_EQ(lastEvent().keyCode, 96);
  EXPECT_EQ(lastEvent().flags, kCGEventFlagMaskSecondaryFn);
  key(kF5, false);
  EXPECT_EQ(lastEvent().flags, 0u);
  key(kF12, true);
  EXPECT_EQ(lastEvent().flags, kCGEventFlagMaskSecondaryFn);
  key(kF12, false);
  key(kF13, true);
  EXPECT_EQ(lastEvent().flags, 0u);
}

TEST_F(KeyTest, InputSourcesCycleOverSelectableKeyboardSources) {
  // Enabled: us, emoji (palette), hidden (not selectable), abc, kana.
  std::string out = capture([&] {
    key(kKana, true);  // key-down switches nothing
    for (int i = 0; i < 3; ++i) key(kKana, false);
  });
  EXPECT_EQ(out, "Switched to: ABC\nSwitched to: Kana\nSwitched to: U.S.\n");
  EXPECT_EQ(sim->selectedInputSources(), (std::vector<std::string>{"abc", "kana", "us"}));
  EXPECT_EQ(events().size(), 4u);  // the Kana key events themselves are posted
  EXPECT_EQ(lastEvent().keyCode, 104);
}

TEST_F(KeyTest, OneSourceSelectsItselfAgain) {
  sim->setInputSources(std::vector<TISInputSourceRef>{palette, us});
  EXPECT_EQ(capture([&] { key(kKana, false); }), "Switched to: U.S.\n");
  EXPECT_EQ(sim->selectedInputSources(), std::vector<std::string>{"us"});
}

TEST_F(KeyTest, SwitchFailsWhenTheCurrentSourceIsNotSelectable) {
  for (const auto& current : {hidden, palette, TISInputSourceRef()}) {
    sim->setCurrentInputSource(current);
    EXPECT_EQ(capture([&] { key(kKana, false); }), "Failed to switch keyboard language.\n");
  }
  sim->setCurrentInputSource(us);
  sim->setInputSources(std::nullopt);
  EXPECT_EQ(capture([&] { key(kKana, false); }), "Failed to switch keyboard language.\n");
  EXPECT_TRUE(sim->selectedInputSources().empty());
}

TEST_F(KeyTest, SourcesWithMistypedPropertiesAreSkipped) {
  auto odd = std::make_shared<TISInputSource>(*abc);
  odd->properties[kTISPropertyInputSourceIsSelectCapable] = int64_t{1};
  auto nameless = std::make_shared<TISInputSource>(*kana);
  nameless->properties.erase(kTISPropertyLocalizedName);
  sim->setInputSources(std::vector<TISInputSourceRef>{us, odd, nameless});
  EXPECT_EQ(capture([&] { key(kKana, false); }), "Switched to: kana\n");
}

TEST_F(KeyTest, FailedEventCreationChangesNoState) {
  sim->setEventCreationAvailable(false);
  EXPECT_EQ(capture([&] { key(kShift, true); }), "CGEvent is Null\n");
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
