// The real TavrinDesk on a private Xvfb (--desktop x11), recorded by the real rcclient and
// driven through "rc_input"; the test watches the display with its own X connection.
#include <gtest/gtest.h>

// Xlib after GoogleTest: its macros (None, Bool) break gtest's headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <libyuv/compare.h>
#include <libyuv/convert.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/desktop/x11/test_support/XvfbServer.h"
#include "tests/e2e_support.h"
#include "tests/process.h"

namespace {

using desktop::x11::testing::XvfbServer;

constexpr int kWidth = 640;
constexpr int kHeight = 480;
// What a static desktop must reach after VP9 at the host's default quality. Measured on this
// content: 56.5 dB (Y, U and V together) at the default quality; the floor leaves a wide margin.
constexpr double kMinPsnr = 35.0;

// Eight colour bars over the top half; below, grey steps, a checkerboard of 16-pixel squares and
// a few saturated blocks: flat areas and hard edges both.
void PaintKnownDesktop(Display* dpy) {
  int screen = DefaultScreen(dpy);
  Window root = RootWindow(dpy, screen);
  Pixmap pixmap = XCreatePixmap(dpy, root, kWidth, kHeight, DefaultDepth(dpy, screen));
  GC gc = XCreateGC(dpy, pixmap, 0, nullptr);
  auto fill = [&](unsigned long rgb, int x, int y, int w, int h) {
    XSetForeground(dpy, gc, rgb);
    XFillRectangle(dpy, pixmap, gc, x, y, unsigned(w), unsigned(h));
  };
  const unsigned long bars[] = {0xc0c0c0, 0xc0c000, 0x00c0c0, 0x00c000,
                                0xc000c0, 0xc00000, 0x0000c0, 0x101010};
  for (int i = 0; i < 8; ++i) fill(bars[i], i * kWidth / 8, 0, kWidth / 8, kHeight / 2);
  for (int i = 0; i < 10; ++i) {
    unsigned long g = static_cast<unsigned long>(i * 255 / 9);
    fill(g << 16 | g << 8 | g, i * 32, kHeight / 2, 32, kHeight / 4);
  }
  for (int y = kHeight / 2; y < kHeight; y += 16) {
    for (int x = 320; x < kWidth; x += 16) {
      fill(((x + y) / 16) % 2 ? 0xf0f0f0 : 0x202020, x, y, 16, 16);
    }
  }
  fill(0xff2010, 40, 400, 80, 60);
  fill(0x20c040, 140, 400, 80, 60);
  fill(0x2040ff, 240, 400, 60, 60);
  XSetWindowBackgroundPixmap(dpy, root, pixmap);
  XClearWindow(dpy, root);
  XFreeGC(dpy, gc);
  XFreePixmap(dpy, pixmap);
  XSync(dpy, False);
}

// The root window as I420 through the same conversion the encoder uses (libyuv, BT.601).
e2e::I420 GrabRootI420(Display* dpy) {
  e2e::I420 out;
  XImage* image = XGetImage(dpy, DefaultRootWindow(dpy), 0, 0, kWidth, kHeight, AllPlanes, ZPixmap);
  if (!image) return out;
  out.width = kWidth;
  out.height = kHeight;
  int cw = (kWidth + 1) / 2, ch = (kHeight + 1) / 2;
  out.y.resize(size_t(kWidth) * kHeight);
  out.u.resize(size_t(cw) * ch);
  out.v.resize(size_t(cw) * ch);
  libyuv::ARGBToI420(reinterpret_cast<const uint8_t*>(image->data), image->bytes_per_line,
                     out.y.data(), kWidth, out.u.data(), cw, out.v.data(), cw, kWidth, kHeight);
  XDestroyImage(image);
  return out;
}

double Psnr(const e2e::I420& a, const e2e::I420& b) {
  int cw = (a.width + 1) / 2;
  return libyuv::I420Psnr(a.y.data(), a.width, a.u.data(), cw, a.v.data(), cw, b.y.data(), b.width,
                          b.u.data(), cw, b.v.data(), cw, a.width, a.height);
}

bool KeyIsDown(Display* dpy, KeyCode code) {
  char keys[32];
  XQueryKeymap(dpy, keys);
  return (keys[code / 8] & (1 << (code % 8))) != 0;
}

class X11EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (XvfbServer::FindBinary().empty()) GTEST_SKIP() << "Xvfb is not installed";
    std::string why;
    xvfb =
        XvfbServer::Start(std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24", {}, &why);
    ASSERT_TRUE(xvfb) << why;
    observer = XOpenDisplay(xvfb->display().c_str());
    ASSERT_NE(observer, nullptr);
    setenv("DISPLAY", xvfb->display().c_str(), 1);
    host = e2e::StartHost("x11", dir, socket);
    ASSERT_TRUE(host);
  }
  void TearDown() override {
    if (host && !hostGone) e2e::StopHost(*host);
    host.reset();
    if (observer && !displayKilled) XCloseDisplay(observer);
    xvfb.reset();
  }
  e2e::RunResult client(std::vector<std::string> args) { return e2e::RunClient(socket, dir, args); }

  std::unique_ptr<XvfbServer> xvfb;
  Display* observer = nullptr;
  bool displayKilled = false;
  bool hostGone = false;
  rctest::TempDir tmp{"tavrindesk-e2e"};
  std::string dir = tmp.path(), socket = dir + "/sock/messenger.sock";
  std::unique_ptr<e2e::Process> host;
};

TEST_F(X11EndToEnd, ARecordingOfAKnownDesktopDecodesToWhatIsOnTheScreen) {
  PaintKnownDesktop(observer);
  XWarpPointer(observer, None, DefaultRootWindow(observer), 0, 0, 0, 0, kWidth - 1, kHeight - 1);
  XSync(observer, False);
  auto screen = GrabRootI420(observer);
  ASSERT_EQ(screen.width, kWidth);

  auto rec = client({"record", "--fps", "10", "--seconds", "3", "--out", dir + "/x11.ivf"});
  ASSERT_EQ(rec.status, 0) << rec.err << rec.out;
  auto ivf = e2e::ReadIvf(dir + "/x11.ivf");
  EXPECT_EQ(ivf.fourcc, "VP90");
  EXPECT_EQ(ivf.width, kWidth);
  EXPECT_EQ(ivf.height, kHeight);
  ASSERT_GE(ivf.frames.size(), 5u) << rec.out;
  auto decoded = e2e::DecodeVp9(ivf);
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.decoded, static_cast<int>(ivf.frames.size()));
  ASSERT_EQ(decoded.last.width, kWidth);
  ASSERT_EQ(decoded.last.height, kHeight);
  double psnr = Psnr(screen, decoded.last);
  std::printf("PSNR of the last decoded frame against the screen: %.1f dB (floor %.0f)\n", psnr,
              kMinPsnr);
  EXPECT_GE(psnr, kMinPsnr);
  // A different picture must not pass: the check compares content, not just sizes.
  e2e::I420 shifted = screen;
  std::rotate(shifted.y.begin(), shifted.y.begin() + kWidth * 8, shifted.y.end());
  EXPECT_LT(Psnr(shifted, decoded.last), kMinPsnr);

  // An independent decoder agrees on codec, size and frame count, when there is one.
  if (std::system("command -v ffprobe >/dev/null 2>&1") == 0) {
    auto probe = e2e::Run({"/bin/sh", "-c",
                           "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                           "stream=codec_name,width,height,nb_read_frames -of csv=p=0 '" +
                               dir + "/x11.ivf'"},
                          dir);
    EXPECT_EQ(probe.out, "vp9," + std::to_string(kWidth) + "," + std::to_string(kHeight) + "," +
                             std::to_string(ivf.frames.size()) + "\n")
        << probe.err;
  }
}

// A window of the test's own that takes the pointer and the keyboard.
class Listener {
 public:
  explicit Listener(Display* dpy) : dpy_(dpy) {
    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixel = WhitePixel(dpy, DefaultScreen(dpy));
    a.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                   PointerMotionMask | StructureNotifyMask;
    window_ = XCreateWindow(dpy, DefaultRootWindow(dpy), 0, 0, kWidth, kHeight, 0, CopyFromParent,
                            InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWBackPixel | CWEventMask, &a);
    XMapRaised(dpy, window_);
    XEvent e;
    XWindowEvent(dpy, window_, StructureNotifyMask, &e);  // until mapped
    XSetInputFocus(dpy, window_, RevertToParent, CurrentTime);
    XSync(dpy, False);
  }
  // Waits for an event of `type` (and `detail`: keycode or button, when ≥ 0).
  std::optional<XEvent> waitFor(int type, int detail = -1, double seconds = 10) {
    std::optional<XEvent> found;
    e2e::WaitUntil(
        [&] {
          while (XPending(dpy_) > 0) {
            XEvent e;
            XNextEvent(dpy_, &e);
            int d = type == KeyPress || type == KeyRelease         ? int(e.xkey.keycode)
                    : type == ButtonPress || type == ButtonRelease ? int(e.xbutton.button)
                                                                   : -1;
            if (e.type == type && (detail < 0 || d == detail)) {
              found = e;
              return true;
            }
          }
          return false;
        },
        seconds);
    return found;
  }

 private:
  Display* dpy_;
  Window window_;
};

TEST_F(X11EndToEnd, InputCommandsReachAnXClientAndNoKeyStaysDownWhenTheClientGoes) {
  Listener listener(observer);
  KeyCode keyA = XKeysymToKeycode(observer, XK_a);
  ASSERT_NE(keyA, 0);

  EXPECT_EQ(client({"call", "rc_input", "mouseMove", R"({"x": 123, "y": 234})"}).status, 0);
  auto motion = listener.waitFor(MotionNotify);
  ASSERT_TRUE(motion);
  Window root, child;
  int rx = 0, ry = 0, wx, wy;
  unsigned int mask;
  XQueryPointer(observer, DefaultRootWindow(observer), &root, &child, &rx, &ry, &wx, &wy, &mask);
  EXPECT_EQ(rx, 123);
  EXPECT_EQ(ry, 234);

  EXPECT_EQ(client({"call", "rc_input", "leftDown", R"({"x": 200, "y": 150})"}).status, 0);
  auto press = listener.waitFor(ButtonPress, 1);
  ASSERT_TRUE(press);
  EXPECT_EQ(press->xbutton.x_root, 200);
  EXPECT_EQ(press->xbutton.y_root, 150);
  EXPECT_EQ(client({"call", "rc_input", "leftUp", R"({"x": 200, "y": 150})"}).status, 0);
  EXPECT_TRUE(listener.waitFor(ButtonRelease, 1));

  EXPECT_EQ(client({"call", "rc_input", "sendKey",
                    R"({"vKey": 65, "isKeyDown": true, "isExtendedKey": false})"})
                .status,
            0);
  EXPECT_TRUE(listener.waitFor(KeyPress, keyA));
  EXPECT_EQ(client({"call", "rc_input", "sendKey",
                    R"({"vKey": 65, "isKeyDown": false, "isExtendedKey": false})"})
                .status,
            0);
  EXPECT_TRUE(listener.waitFor(KeyRelease, keyA));

  // A client that presses a key and goes away without releasing it.
  {
    e2e::Client holder(socket);
    ASSERT_TRUE(holder.connected()) << holder.error();
    holder.send(0, "rc_input", "sendKey",
                flutter::MakeMap({{"vKey", 65}, {"isKeyDown", true}, {"isExtendedKey", false}}));
    holder.send(0, "rc_input", "leftDown", flutter::MakeMap({{"x", 300}, {"y", 300}}));
    ASSERT_TRUE(holder.call("rc_capture", "getFPS"));  // the commands before it are done
    EXPECT_TRUE(KeyIsDown(observer, keyA));
    XQueryPointer(observer, DefaultRootWindow(observer), &root, &child, &rx, &ry, &wx, &wy, &mask);
    EXPECT_TRUE(mask & Button1Mask);
  }
  EXPECT_TRUE(e2e::WaitUntil([&] { return !KeyIsDown(observer, keyA); }, 10));
  EXPECT_TRUE(e2e::WaitUntil(
      [&] {
        XQueryPointer(observer, DefaultRootWindow(observer), &root, &child, &rx, &ry, &wx, &wy,
                      &mask);
        return !(mask & Button1Mask);
      },
      10));
}

TEST_F(X11EndToEnd, TheDisplayVanishingWhileCaptureRunsLeavesTheHostServing) {
  {
    e2e::Client c(socket);
    ASSERT_TRUE(c.connected()) << c.error();
    ASSERT_TRUE(c.call("rc_capture", "startCapture", flutter::MakeMap({{"fps", 30}})));
    ASSERT_TRUE(c.receiveMessages(5, 30)) << host->err();

    XCloseDisplay(observer);
    displayKilled = true;
    xvfb->kill();
    ASSERT_TRUE(e2e::WaitUntil(
        [&] {
          return host->err().find("x11: lost the connection to X display") != std::string::npos;
        },
        15))
        << host->err();

    // Frames stop: whatever was in flight drains, then nothing for two seconds.
    c.receiveMessages(1000, 2);
    EXPECT_FALSE(c.receiveMessages(1, 2));
    // The channels still answer; input commands are dropped without harm.
    auto fps = c.call("rc_capture", "getFPS");
    ASSERT_TRUE(fps);
    EXPECT_EQ(*fps, flutter::Value(int64_t{30}));
    c.send(0, "rc_input", "mouseMove", flutter::MakeMap({{"x", 10}, {"y", 10}}));
    c.send(0, "rc_input", "sendKey",
           flutter::MakeMap({{"vKey", 65}, {"isKeyDown", true}, {"isExtendedKey", false}}));
    EXPECT_TRUE(c.call("rc_capture", "getResolution"));
    EXPECT_TRUE(c.call("rc_capture", "stopCapture"));
    EXPECT_TRUE(c.call("rc_capture", "startCapture", flutter::MakeMap({{"fps", 60}})));
    EXPECT_FALSE(c.receiveMessages(1, 1));
  }
  // The client went holding a key: releasing it on a lost display is harmless too, and the
  // next client is served.
  EXPECT_TRUE(e2e::WaitUntil(
      [&] { return host->err().find("client closed the connection") != std::string::npos; }, 10));
  e2e::Client next(socket);
  ASSERT_TRUE(next.connected()) << next.error();
  EXPECT_TRUE(next.call("rc_capture", "getQuality"));
  EXPECT_TRUE(next.call("rc_input", "checkInputPermit"));
  EXPECT_FALSE(host->wait(0).has_value()) << "the host ended: " << host->err();
  EXPECT_EQ(e2e::CountOf(host->err(), "x11: lost the connection"), 1u) << host->err();
}

}  // namespace
