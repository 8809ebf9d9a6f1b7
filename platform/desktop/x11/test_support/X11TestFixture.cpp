#include "platform/desktop/x11/test_support/X11TestFixture.h"

#include <X11/XKBlib.h>

#include "platform/desktop/x11/X11Desktop.h"

namespace desktop::x11::testing {

XvfbServer* SharedXvfb(std::string* why) {
  static std::string error;
  static std::unique_ptr<XvfbServer> server = XvfbServer::Start(
      std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24", {}, &error);
  if (!server && why) *why = error;
  return server.get();
}

void X11Test::SetUp() {
  std::string why;
  XvfbServer* server = SharedXvfb(&why);
  if (!server) GTEST_SKIP() << "no Xvfb: " << why;
  displayName = server->display();
  observer = XOpenDisplay(displayName.c_str());
  ASSERT_NE(observer, nullptr);
  desktop = CreateX11Desktop(displayName, &why);
  ASSERT_NE(desktop, nullptr) << why;
}

void X11Test::TearDown() {
  desktop.reset();
  if (!observer) return;
  XkbLockModifiers(observer, XkbUseCoreKbd, LockMask, 0);
  XkbLockGroup(observer, XkbUseCoreKbd, 0);
  XSync(observer, False);
  XCloseDisplay(observer);
}

InputRecorder::InputRecorder(Display* display) : display_(display) {
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = BlackPixel(display, DefaultScreen(display));
  attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                          PointerMotionMask | StructureNotifyMask;
  window_ = XCreateWindow(display, DefaultRootWindow(display), 0, 0, kScreenWidth, kScreenHeight, 0,
                          CopyFromParent, InputOutput, CopyFromParent,
                          CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
  XMapRaised(display, window_);
  waitFor(MapNotify);
  XSetInputFocus(display, window_, RevertToPointerRoot, CurrentTime);
  clear();
}

InputRecorder::~InputRecorder() {
  XDestroyWindow(display_, window_);
  XSync(display_, False);
}

void InputRecorder::pump() {
  XSync(display_, False);
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    events_.push_back(event);
  }
}

std::vector<XEvent> InputRecorder::waitFor(int type, int detail, int count) {
  WaitUntil(
      [&] {
        pump();
        return CountEvents(events_, type, detail) >= count;
      },
      10);
  return events_;
}

std::vector<XEvent> InputRecorder::collectFor(double seconds) {
  WaitUntil(
      [&] {
        pump();
        return false;
      },
      seconds);
  return events_;
}

void InputRecorder::clear() {
  pump();
  events_.clear();
}

int CountEvents(const std::vector<XEvent>& events, int type, int detail) {
  int n = 0;
  for (const auto& e : events) {
    if (e.type != type) continue;
    int d = (type == KeyPress || type == KeyRelease)         ? int(e.xkey.keycode)
            : (type == ButtonPress || type == ButtonRelease) ? int(e.xbutton.button)
                                                             : -1;
    if (detail < 0 || d == detail) ++n;
  }
  return n;
}

}  // namespace desktop::x11::testing
