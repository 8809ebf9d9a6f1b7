#include "platform/desktop/x11/input_sources_x11.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break gtest's headers.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>

#include <cstdlib>

#include "platform/desktop/ApplicationServices.h"
#include "platform/desktop/x11/test_support/X11TestFixture.h"

namespace desktop::x11 {
namespace {

using testing::WaitFor;
using testing::X11Test;

class InputSourcesX11Test : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    SetLayouts("us,de,fr");
  }
  void TearDown() override {
    if (observer) SetLayouts("us");
    X11Test::TearDown();
  }
  void SetLayouts(const std::string& layouts) {
    std::string command = "setxkbmap -display " + displayName + " -layout " + layouts;
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "setxkbmap failed: " << command;
  }
  unsigned group() {
    XkbStateRec state{};
    XkbGetState(observer, XkbUseCoreKbd, &state);
    return state.group;
  }
  static std::string Name(const TISInputSourceRef& s) {
    return std::get<std::string>(s->properties.at(kTISPropertyLocalizedName));
  }
};

TEST_F(InputSourcesX11Test, GroupsAreSelectableKeyboardSourcesNamedByXkb) {
  auto sources = desktop->inputSources->inputSources(false);
  ASSERT_TRUE(sources.has_value());
  ASSERT_EQ(sources->size(), 3u);
  EXPECT_EQ(Name((*sources)[0]), "English (US)");
  EXPECT_EQ(Name((*sources)[1]), "German");
  EXPECT_EQ(Name((*sources)[2]), "French");
  EXPECT_EQ((*sources)[1]->identifier, "xkb:1:de");
  for (const auto& s : *sources) {
    EXPECT_EQ(std::get<std::string>(s->properties.at(kTISPropertyInputSourceCategory)),
              kTISCategoryKeyboardInputSource);
    EXPECT_TRUE(std::get<bool>(s->properties.at(kTISPropertyInputSourceIsSelectCapable)));
  }
}

TEST_F(InputSourcesX11Test, SelectingCyclesThroughTheThreeLayouts) {
  auto sources = *desktop->inputSources->inputSources(false);
  ASSERT_EQ(sources.size(), 3u);
  EXPECT_EQ(desktop->inputSources->currentKeyboardInputSource()->identifier,
            sources[0]->identifier);
  for (unsigned step = 1; step <= 3; ++step) {
    auto current = desktop->inputSources->currentKeyboardInputSource();
    size_t i = 0;
    while (i < sources.size() && sources[i]->identifier != current->identifier) ++i;
    ASSERT_LT(i, sources.size());
    auto next = sources[(i + 1) % sources.size()];
    EXPECT_EQ(desktop->inputSources->selectInputSource(next), 0);
    EXPECT_TRUE(WaitFor([&] { return group() == step % 3; })) << "step " << step;
    EXPECT_EQ(desktop->inputSources->currentKeyboardInputSource()->identifier, next->identifier);
  }
}

TEST_F(InputSourcesX11Test, SourceOfAnEarlierKeymapIsRefused) {
  auto german = (*desktop->inputSources->inputSources(false))[1];
  SetLayouts("us,ru");
  EXPECT_EQ(desktop->inputSources->selectInputSource(german), -50);
  EXPECT_EQ(group(), 0u);
}

}  // namespace
}  // namespace desktop::x11
