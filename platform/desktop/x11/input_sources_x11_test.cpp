#include "platform/desktop/x11/input_sources_x11.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break gtest's headers.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>

#include <cstdlib>

#include "platform/desktop/ApplicationServices.h"
#include "platform/desktop/x11/test_support/X11TestFixture.h"

namespace desktop::x11 {
namespace {

using testing::WaitUntil;
using testing::X11Test;

class InputSourcesX11Test : public X11Test {
 protected:
  void TearDown() override {
    if (observer) SetLayouts("us");
    X11Test::TearDown();
  }
  bool SetLayouts(const std::string& layouts) {
    return std::system(("setxkbmap -display " + displayName + " -layout " + layouts).c_str()) == 0;
  }
  unsigned group() {
    XkbStateRec state{};
    XkbGetState(observer, XkbUseCoreKbd, &state);
    return state.group;
  }
};

// Each selection locks the next group, round to the first again.
TEST_F(InputSourcesX11Test, SelectingCyclesThroughTheThreeLayouts) {
  if (!SetLayouts("us,de,fr")) GTEST_SKIP() << "setxkbmap failed";
  auto sources = desktop->inputSources->inputSources(false);
  ASSERT_TRUE(sources.has_value());
  ASSERT_EQ(sources->size(), 3u);
  const std::pair<std::string, std::string> expected[] = {
      {"xkb:0:us", "English (US)"}, {"xkb:1:de", "German"}, {"xkb:2:fr", "French"}};
  for (size_t i = 0; i < 3; ++i) {
    const auto& properties = (*sources)[i]->properties;
    EXPECT_EQ((*sources)[i]->identifier, expected[i].first);
    EXPECT_EQ(std::get<std::string>(properties.at(kTISPropertyLocalizedName)), expected[i].second);
    EXPECT_EQ(std::get<std::string>(properties.at(kTISPropertyInputSourceCategory)),
              kTISCategoryKeyboardInputSource);
    EXPECT_TRUE(std::get<bool>(properties.at(kTISPropertyInputSourceIsSelectCapable)));
  }
  EXPECT_EQ(desktop->inputSources->currentKeyboardInputSource()->identifier, "xkb:0:us");
  for (unsigned step = 1; step <= 3; ++step) {
    SCOPED_TRACE(step);
    const auto& next = (*sources)[step % 3];
    EXPECT_EQ(desktop->inputSources->selectInputSource(next), 0);
    EXPECT_TRUE(WaitUntil([&] { return group() == step % 3; }));
    EXPECT_EQ(desktop->inputSources->currentKeyboardInputSource()->identifier, next->identifier);
  }

  // A source listed before the keymap was reloaded no longer names a group.
  ASSERT_TRUE(SetLayouts("us,ru"));
  EXPECT_EQ(desktop->inputSources->selectInputSource((*sources)[1]), -50);
  EXPECT_EQ(group(), 0u);
}

}  // namespace
}  // namespace desktop::x11
