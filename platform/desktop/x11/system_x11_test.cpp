#include "platform/desktop/x11/system_x11.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break gtest's headers.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/desktop/AppKit.h"
#include "platform/desktop/ApplicationServices.h"
#include "platform/desktop/CoreGraphics.h"
#include "platform/desktop/x11/X11Desktop.h"
#include "platform/desktop/x11/test_support/X11TestFixture.h"

namespace desktop::x11 {
namespace {

using testing::X11Test;
using SystemX11Test = X11Test;

TEST(ScreenFrames, FlipToThePrimarysBottomLeftWithThePrimaryFirst) {
  // X: a 1920×1080 primary right of a 1280×1024 screen whose top is 200 px lower.
  std::vector<CGRect> monitors = {{{0, 200}, {1280, 1024}}, {{1280, 0}, {1920, 1080}}};
  auto frames = ToScreenFrames(monitors, 1);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], (CGRect{{0, 0}, {1920, 1080}}));
  EXPECT_EQ(frames[1], (CGRect{{-1280, -144}, {1280, 1024}}));  // 1080 − (200 + 1024)
  EXPECT_TRUE(ToScreenFrames({}, 0).empty());
}

TEST_F(SystemX11Test, ScreensAreTheRandrMonitorsInPoints) {
  EXPECT_EQ(desktop->system->screens(), (std::vector<CGRect>{{{0, 0}, {1280, 720}}}));

  // Two monitors: the primary in the lower right quarter, another in the upper left.
  Window root = DefaultRootWindow(observer);
  XRRScreenResources* resources = XRRGetScreenResources(observer, root);
  RROutput output = resources->outputs[0];
  auto monitor = [&](const char* name, int x, int y, bool primary, RROutput* out) {
    XRRMonitorInfo m{};
    m.name = XInternAtom(observer, name, False);
    m.primary = primary;
    m.x = x;
    m.y = y;
    m.width = 640;
    m.height = 360;
    m.mwidth = 160;
    m.mheight = 90;
    m.noutput = out ? 1 : 0;
    m.outputs = out;
    XRRSetMonitor(observer, root, &m);
    return m.name;
  };
  Atom a = monitor("TEST-A", 640, 360, true, &output);
  Atom b = monitor("TEST-B", 0, 0, false, nullptr);
  XSync(observer, False);
  auto screens = desktop->system->screens();
  XRRDeleteMonitor(observer, root, a);
  XRRDeleteMonitor(observer, root, b);
  XRRFreeScreenResources(resources);
  XSync(observer, False);

  EXPECT_EQ(screens, (std::vector<CGRect>{{{0, 0}, {640, 360}}, {{-640, 360}, {640, 360}}}));
}

// A titled window of another process: forked, with its own connection and _NET_WM_PID.
class ForeignWindow {
 public:
  explicit ForeignWindow(const std::string& display) {
    int ready[2], hold[2];
    EXPECT_EQ(pipe(ready), 0);
    EXPECT_EQ(pipe(hold), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(hold[1]);
      Display* dpy = XOpenDisplay(display.c_str());
      if (!dpy) _exit(1);
      Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 50, 50, 0, 0, 0);
      long pid = getpid();
      XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_PID", False), XA_CARDINAL, 32,
                      PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
      const char title[] =
          "Gr\xc3\xbc\xc3\x9f"
          "e";  // UTF-8 "Grüße"
      XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_NAME", False),
                      XInternAtom(dpy, "UTF8_STRING", False), 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(title), sizeof(title) - 1);
      XStoreName(dpy, w, "Gruesse");
      XSync(dpy, False);
      char c = 1;
      if (write(ready[1], &c, 1) != 1) _exit(1);
      while (read(hold[0], &c, 1) > 0) {
      }
      _exit(0);  // the server drops the window with the connection
    }
    close(ready[1]);
    close(hold[0]);
    char c;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    hold_ = hold[1];
  }
  ~ForeignWindow() {
    close(hold_);
    waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int hold_ = -1;
};

const CFDictionary* FindByPid(const std::vector<CFWindowEntry>& list, int64_t pid) {
  for (const auto& e : list) {
    if (!e) continue;
    auto it = e->find(kCGWindowOwnerPID);
    if (it != e->end() && std::get<int64_t>(it->second) == pid) return &*e;
  }
  return nullptr;
}

TEST_F(SystemX11Test, WindowListCarriesOwnerPidNameAndTitleOfOtherProcesses) {
  // Our own windows: a Latin-1 WM_NAME, and a desktop-type one.
  Window root = DefaultRootWindow(observer);
  Window own = XCreateSimpleWindow(observer, root, 0, 0, 10, 10, 0, 0, 0);
  long pid = getpid();
  Atom wmPid = XInternAtom(observer, "_NET_WM_PID", False);
  XChangeProperty(observer, own, wmPid, XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&pid), 1);
  XStoreName(observer, own, "caf\xe9");
  Window background = XCreateSimpleWindow(observer, root, 0, 0, 10, 10, 0, 0, 0);
  Atom desktopType = XInternAtom(observer, "_NET_WM_WINDOW_TYPE_DESKTOP", False);
  XChangeProperty(observer, background, XInternAtom(observer, "_NET_WM_WINDOW_TYPE", False),
                  XA_ATOM, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&desktopType), 1);
  XStoreName(observer, background, "desktop");
  XSync(observer, False);
  ForeignWindow foreign(displayName);

  auto list = desktop->system->windowList(kCGWindowListExcludeDesktopElements, kCGNullWindowID);
  ASSERT_TRUE(list.has_value());
  const CFDictionary* theirs = FindByPid(*list, foreign.pid());
  ASSERT_NE(theirs, nullptr);
  EXPECT_EQ(std::get<std::string>(theirs->at(kCGWindowName)),
            "Gr\xc3\xbc\xc3\x9f"
            "e");
  EXPECT_EQ(std::get<std::string>(theirs->at(kCGWindowOwnerName)), "x11_tests");
  const CFDictionary* ours = FindByPid(*list, desktop->system->processIdentifier());
  ASSERT_NE(ours, nullptr);
  EXPECT_EQ(std::get<std::string>(ours->at(kCGWindowName)), "caf\xc3\xa9");
  auto named = [&](const std::vector<CFWindowEntry>& l, const std::string& title) {
    for (const auto& e : l) {
      auto it = e->find(kCGWindowName);
      if (it != e->end() && std::get<std::string>(it->second) == title) return true;
    }
    return false;
  };
  EXPECT_FALSE(named(*list, "desktop"));
  EXPECT_TRUE(named(*desktop->system->windowList(kCGWindowListOptionAll, 0), "desktop"));

  XDestroyWindow(observer, own);
  XDestroyWindow(observer, background);
  XSync(observer, False);
}

TEST_F(SystemX11Test, TrustFollowsXTestAndCaptureNeedsNoPermission) {
  EXPECT_TRUE(desktop->system->isProcessTrusted(false));
  EXPECT_TRUE(desktop->events->createEventSource(kCGEventSourceStateHIDSystemState));
  EXPECT_TRUE(desktop->system->requestScreenCaptureAccess());
  EXPECT_EQ(desktop->system->processIdentifier(), getpid());
  EXPECT_GT(desktop->system->operatingSystemVersion().majorVersion, 0);
}

TEST(CreateX11Desktop, UnreachableDisplayGivesNullAndAReason) {
  std::string error;
  EXPECT_EQ(CreateX11Desktop(":4093", &error), nullptr);
  EXPECT_NE(error.find("cannot open X display \":4093\""), std::string::npos) << error;
}

TEST(CreateX11Desktop, WithoutXTestThereIsNoEventSourceAndNoTrust) {
  std::string why;
  auto server = testing::XvfbServer::Start("320x200x24", {"-extension", "XTEST"}, &why);
  if (!server) GTEST_SKIP() << "no Xvfb: " << why;
  std::string error;
  auto desktop = CreateX11Desktop(server->display(), &error);
  ASSERT_NE(desktop, nullptr) << error;
  EXPECT_FALSE(desktop->system->isProcessTrusted(true));
  EXPECT_FALSE(desktop->events->createEventSource(kCGEventSourceStateHIDSystemState));
  EXPECT_EQ(desktop->events->moveCursorToPoint(0, {1, 1}), 1000);
  CGEvent key;
  key.kind = CGEventKind::kKeyboard;
  key.type = kCGEventKeyDown;
  desktop->events->post(kCGHIDEventTap, key);  // dropped, not a crash
  EXPECT_NE(desktop->display->createImage(), nullptr);
}

}  // namespace
}  // namespace desktop::x11
