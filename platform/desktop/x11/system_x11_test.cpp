#include "platform/desktop/x11/system_x11.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break gtest's headers.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/extensions/Xrandr.h>
#include <unistd.h>

#include "platform/desktop/AppKit.h"
#include "platform/desktop/CoreGraphics.h"
#include "platform/desktop/x11/X11Desktop.h"
#include "platform/desktop/x11/test_support/X11TestFixture.h"

namespace desktop::x11 {
namespace {

using testing::X11Test;
using SystemX11Test = X11Test;

TEST_F(SystemX11Test, ScreensAreTheRandrMonitorsFromThePrimarysBottomLeft) {
  EXPECT_EQ(desktop->system->screens(), (std::vector<CGRect>{{{0, 0}, {1280, 720}}}));

  // The primary in the lower right quarter, a smaller one in the upper left corner.
  Window root = DefaultRootWindow(observer);
  XRRScreenResources* resources = XRRGetScreenResources(observer, root);
  auto monitor = [&](const char* name, int x, int y, int width, int height, RROutput* output) {
    XRRMonitorInfo m{};
    m.name = XInternAtom(observer, name, False);
    m.primary = output != nullptr;
    m.x = x;
    m.y = y;
    m.width = width;
    m.height = height;
    m.mwidth = width / 4;
    m.mheight = height / 4;
    m.noutput = output ? 1 : 0;
    m.outputs = output;
    XRRSetMonitor(observer, root, &m);
    return m.name;
  };
  Atom a = monitor("TEST-A", 640, 360, 640, 360, &resources->outputs[0]);
  Atom b = monitor("TEST-B", 0, 0, 400, 300, nullptr);
  XSync(observer, False);
  auto screens = desktop->system->screens();
  XRRDeleteMonitor(observer, root, a);
  XRRDeleteMonitor(observer, root, b);
  XRRFreeScreenResources(resources);
  XSync(observer, False);
  // B's bottom edge is 720 − 300 above the primary's.
  EXPECT_EQ(screens, (std::vector<CGRect>{{{0, 0}, {640, 360}}, {{-640, 420}, {400, 300}}}));
}

// The data the capture permission check reads: owner pid, owner name (the process's name) and
// title (UTF-8 _NET_WM_NAME, else Latin-1 WM_NAME); desktop windows only when asked for.
TEST_F(SystemX11Test, WindowListCarriesOwnerPidNameAndTitle) {
  Window root = DefaultRootWindow(observer);
  auto window = [&](long pid, const char* wmName, const std::string& netWmName, bool isDesktop) {
    Window w = XCreateSimpleWindow(observer, root, 0, 0, 10, 10, 0, 0, 0);
    XChangeProperty(observer, w, XInternAtom(observer, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
    XStoreName(observer, w, wmName);
    if (!netWmName.empty()) {
      XChangeProperty(observer, w, XInternAtom(observer, "_NET_WM_NAME", False),
                      XInternAtom(observer, "UTF8_STRING", False), 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(netWmName.data()),
                      int(netWmName.size()));
    }
    if (isDesktop) {
      Atom type = XInternAtom(observer, "_NET_WM_WINDOW_TYPE_DESKTOP", False);
      XChangeProperty(observer, w, XInternAtom(observer, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                      PropModeReplace, reinterpret_cast<unsigned char*>(&type), 1);
    }
    return w;
  };
  const pid_t server = testing::SharedXvfb(nullptr)->pid();
  const Window windows[] = {window(server, "Gruesse",
                                   "Gr\xc3\xbc\xc3\x9f"
                                   "e",
                                   false),
                            window(getpid(), "caf\xe9", "", false),
                            window(getpid(), "desktop", "", true)};
  XSync(observer, False);
  auto find = [](const std::optional<std::vector<CFWindowEntry>>& list, const std::string& title) {
    for (const auto& e : list.value()) {
      auto it = e->find(kCGWindowName);
      if (it != e->end() && std::get<std::string>(it->second) == title) return &*e;
    }
    return static_cast<const CFDictionary*>(nullptr);
  };
  auto list = desktop->system->windowList(kCGWindowListExcludeDesktopElements, kCGNullWindowID);
  ASSERT_TRUE(list.has_value());
  const CFDictionary* theirs = find(list,
                                    "Gr\xc3\xbc\xc3\x9f"
                                    "e");
  ASSERT_NE(theirs, nullptr);
  EXPECT_EQ(std::get<int64_t>(theirs->at(kCGWindowOwnerPID)), server);
  EXPECT_EQ(std::get<std::string>(theirs->at(kCGWindowOwnerName)), "Xvfb");
  const CFDictionary* ours = find(list, "caf\xc3\xa9");
  ASSERT_NE(ours, nullptr);
  EXPECT_EQ(std::get<int64_t>(ours->at(kCGWindowOwnerPID)), getpid());
  EXPECT_EQ(std::get<std::string>(ours->at(kCGWindowOwnerName)), "x11_tests");
  EXPECT_EQ(find(list, "desktop"), nullptr);
  EXPECT_NE(find(desktop->system->windowList(kCGWindowListOptionAll, 0), "desktop"), nullptr);
  for (Window w : windows) XDestroyWindow(observer, w);
  XSync(observer, False);
}

// Without XTEST there is nothing to inject with: no trust, no event source, input dropped.
TEST(CreateX11Desktop, AccessibilityTrustIsXTestBeingThere) {
  for (bool xtest : {true, false}) {
    SCOPED_TRACE(xtest ? "with XTEST" : "without XTEST");
    std::string why;
    auto server = testing::XvfbServer::Start(
        "320x200x24",
        xtest ? std::vector<std::string>{} : std::vector<std::string>{"-extension", "XTEST"}, &why);
    if (!server) GTEST_SKIP() << "no Xvfb: " << why;
    auto desktop = CreateX11Desktop(server->display(), &why);
    ASSERT_NE(desktop, nullptr) << why;
    EXPECT_EQ(desktop->system->isProcessTrusted(false), xtest);
    EXPECT_EQ(desktop->events->createEventSource(kCGEventSourceStateHIDSystemState), xtest);
    EXPECT_EQ(desktop->events->moveCursorToPoint(0, {1, 1}), xtest ? 0 : 1000);
    // Dropped without XTEST, not a crash.
    desktop->events->post(kCGHIDEventTap,
                          {.kind = CGEventKind::kKeyboard, .type = kCGEventKeyDown});
    desktop->events->releaseHeldInput();
    EXPECT_NE(desktop->display->createImage(), nullptr);
  }
}

}  // namespace
}  // namespace desktop::x11
