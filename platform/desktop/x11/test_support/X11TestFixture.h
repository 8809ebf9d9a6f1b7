// Test support for the X11 backend: the process's shared Xvfb, a fixture with an observer
// connection and a fresh X11 desktop per test, and a window that records the input it gets.
#pragma once

// GoogleTest before Xlib: Xlib's macros (None, Bool) break gtest's headers.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/Desktop.h"
#include "platform/desktop/x11/test_support/XvfbServer.h"
#include "platform/testing/TestSupport.h"

namespace desktop::x11::testing {

inline constexpr int kScreenWidth = 1280;
inline constexpr int kScreenHeight = 720;

// The 1280×720×24 Xvfb shared by the tests of this process, started on first use and stopped
// at exit. Null (with the reason) when Xvfb is missing or does not start.
XvfbServer* SharedXvfb(std::string* why);

using rctest::WaitUntil;

// Skips without Xvfb; otherwise an observer connection and a desktop on the shared server,
// which TearDown leaves as the next test expects it (caps lock off, first group).
class X11Test : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string displayName;
  Display* observer = nullptr;  // the test's own connection
  std::shared_ptr<Desktop> desktop;
};

// A full-screen override-redirect window with the keyboard focus that records the core key,
// button and motion events it receives.
class InputRecorder {
 public:
  explicit InputRecorder(Display* display);
  ~InputRecorder();
  InputRecorder(const InputRecorder&) = delete;
  InputRecorder& operator=(const InputRecorder&) = delete;

  // Reads events until `count` of `type` (with `detail` as keycode or button, unless -1) have
  // come, or 10 s pass; returns every event read since the last clear().
  std::vector<XEvent> waitFor(int type, int detail = -1, int count = 1);
  // Reads whatever arrives within `seconds` (for "nothing more came" checks).
  std::vector<XEvent> collectFor(double seconds);
  // Drops the events read so far.
  void clear();

 private:
  void pump();
  Display* display_;
  Window window_;
  std::vector<XEvent> events_;
};

// Counts events of `type` (with `detail` as keycode or button, unless -1).
int CountEvents(const std::vector<XEvent>& events, int type, int detail = -1);

}  // namespace desktop::x11::testing
