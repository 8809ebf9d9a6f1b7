#include "platform/desktop/x11/display_x11.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break gtest's headers.
#include <gtest/gtest.h>

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/Xrender.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/desktop/x11/test_support/X11TestFixture.h"
#include "platform/desktop/x11/x11_connection.h"

namespace desktop::x11 {
namespace {

using testing::kScreenHeight;
using testing::kScreenWidth;
using testing::WaitUntil;
using testing::X11Test;

constexpr uint32_t kRootColour = 0xff123456, kWindowColour = 0xffff2010, kChildColour = 0xff20c040;

uint32_t PixelAt(const CGImageRef& image, int x, int y) {
  const uint8_t* p = image->data + int64_t{y} * image->bytesPerRow + int64_t{x} * 4;
  return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

// The first pixel of `image` that is not `expected(x, y)`, as text; "" when all are.
std::string FirstDifference(const CGImageRef& image,
                            const std::function<uint32_t(int, int)>& expected) {
  if (!image || image->width != kScreenWidth || image->height != kScreenHeight) return "size";
  for (int y = 0; y < kScreenHeight; ++y) {
    for (int x = 0; x < kScreenWidth; ++x) {
      if (PixelAt(image, x, y) != expected(x, y)) {
        std::ostringstream s;
        s << "(" << x << ", " << y << ") " << std::hex << PixelAt(image, x, y) << " not "
          << expected(x, y);
        return s.str();
      }
    }
  }
  return "";
}

// SysV segments this process created that still exist (attached or waiting for detach).
int OwnShmSegments() {
  std::ifstream in("/proc/sysvipc/shm");
  std::string line;
  std::getline(in, line);  // header
  int count = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    long long key, id, perms, size, cpid;
    if (fields >> key >> id >> perms >> size >> cpid && cpid == getpid()) ++count;
  }
  return count;
}

// A window of known colours: 200 × 100 at (100, 50), a 40 × 30 child at (20, 10) inside it, on a
// root of kRootColour.
class DisplayX11Test : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Window root = DefaultRootWindow(observer);
    XSetWindowBackground(observer, root, kRootColour);
    XClearWindow(observer, root);
    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixel = kWindowColour;
    window = XCreateWindow(observer, root, 100, 50, 200, 100, 0, CopyFromParent, InputOutput,
                           CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
    XMapWindow(observer, XCreateSimpleWindow(observer, window, 20, 10, 40, 30, 0, 0, kChildColour));
    XMapRaised(observer, window);
    XSync(observer, False);
  }
  void TearDown() override {
    if (observer && window) XDestroyWindow(observer, window);
    X11Test::TearDown();
  }

  static uint32_t Scene(int x, int y) {
    if (x >= 120 && x < 160 && y >= 60 && y < 90) return kChildColour;
    if (x >= 100 && x < 300 && y >= 50 && y < 150) return kWindowColour;
    return kRootColour;
  }

  // Grabs until the scene is on screen (the server draws asynchronously).
  static CGImageRef GrabScene(DisplayService& display) {
    CGImageRef image;
    WaitUntil([&] {
      image = display.createImage();
      return image && PixelAt(image, 125, 65) == kChildColour &&
             PixelAt(image, 0, 0) == kRootColour;
    });
    return image;
  }

  std::shared_ptr<DisplayX11> OpenDisplay(bool useSharedMemory, bool useDamage = true) {
    std::string error;
    auto connection = XConnection::Open(displayName, &error);
    EXPECT_NE(connection, nullptr) << error;
    return std::make_shared<DisplayX11>(connection,
                                        DisplayX11::Options{useSharedMemory, useDamage});
  }

  Window window = 0;
};

TEST_F(DisplayX11Test, GrabMatchesTheScenePixelForPixel) {
  for (bool sharedMemory : {true, false}) {
    SCOPED_TRACE(sharedMemory ? "MIT-SHM" : "XGetImage");
    auto display = OpenDisplay(sharedMemory);
    EXPECT_EQ(FirstDifference(GrabScene(*display), Scene), "");
    EXPECT_EQ(display->usesSharedMemory(), sharedMemory);
  }
}

TEST_F(DisplayX11Test, HeldImagesAreNeverOverwrittenAndOutliveTheService) {
  const int segmentsBefore = OwnShmSegments();
  auto display = OpenDisplay(true);
  CGImageRef first = GrabScene(*display);
  CGImageRef second = display->createImage();  // the other segment
  ASSERT_TRUE(first && second);
  EXPECT_NE(first->data, second->data);

  XSetWindowBackground(observer, window, 0x0000ff);
  XClearWindow(observer, window);
  XSync(observer, False);
  // Both segments are held: further grabs must land in fresh memory.
  CGImageRef third;
  ASSERT_TRUE(WaitUntil([&] {
    third = display->createImage();
    return third && PixelAt(third, 250, 120) == 0xff0000ff;
  }));
  EXPECT_EQ(PixelAt(first, 250, 120), kWindowColour);
  EXPECT_EQ(PixelAt(second, 250, 120), kWindowColour);

  // Once released, a segment is reused.
  const uint8_t* firstPixels = first->data;
  first.reset();
  third.reset();
  CGImageRef fourth = display->createImage();
  ASSERT_NE(fourth, nullptr);
  EXPECT_EQ(fourth->data, firstPixels);
  EXPECT_EQ(PixelAt(fourth, 250, 120), 0xff0000ff);

  display.reset();  // the images keep their segments
  EXPECT_EQ(FirstDifference(second, Scene), "");
  EXPECT_EQ(PixelAt(fourth, 250, 120), 0xff0000ff);
  second.reset();
  fourth.reset();
  EXPECT_EQ(OwnShmSegments(), segmentsBefore);
}

TEST_F(DisplayX11Test, ThousandGrabsLeakNoSegmentsOrImages) {
  const int64_t imagesBefore = gLiveXImages.load(), cursorsBefore = gLiveCursorImages.load();
  const int segmentsBefore = OwnShmSegments();
  {
    auto display = OpenDisplay(true);
    ASSERT_NE(GrabScene(*display), nullptr);
    for (int i = 0; i < 1000; ++i) {
      CGImageRef image = display->createImage();
      ASSERT_NE(image, nullptr) << "grab " << i;
      if (i % 3 == 0) {
        CGImageRef held = display->createImage();  // two alive at once now and then
        ASSERT_NE(held, nullptr);
      }
      if (i % 5 == 0) {
        ASSERT_TRUE(display->currentCursor().has_value());
      }
    }
    // Two segments handed out in turn and the scratch segment of the damage grab.
    EXPECT_LE(OwnShmSegments() - segmentsBefore, 3);
    EXPECT_LE(gLiveXImages.load() - imagesBefore, 3);
    EXPECT_TRUE(display->usesSharedMemory());
  }
  EXPECT_EQ(OwnShmSegments(), segmentsBefore);
  EXPECT_EQ(gLiveXImages.load(), imagesBefore);
  EXPECT_EQ(gLiveCursorImages.load(), cursorsBefore);
}

// Shrinks the root through RandR for its lifetime. The CRTC is off meanwhile: a screen cannot
// be smaller than a lit CRTC.
class SmallerScreen {
 public:
  SmallerScreen(Display* dpy, int width, int height)
      : dpy_(dpy), resources_(XRRGetScreenResources(dpy, DefaultRootWindow(dpy))) {
    XRRCrtcInfo* crtc = XRRGetCrtcInfo(dpy, resources_, resources_->crtcs[0]);
    mode_ = crtc->mode;
    output_ = crtc->outputs[0];
    XRRFreeCrtcInfo(crtc);
    XRRSetCrtcConfig(dpy, resources_, resources_->crtcs[0], CurrentTime, 0, 0, 0, RR_Rotate_0,
                     nullptr, 0);
    XRRSetScreenSize(dpy, DefaultRootWindow(dpy), width, height, width / 4, height / 4);
    XSync(dpy, False);
  }
  ~SmallerScreen() {
    XRRSetScreenSize(dpy_, DefaultRootWindow(dpy_), kScreenWidth, kScreenHeight, kScreenWidth / 4,
                     kScreenHeight / 4);
    XRRSetCrtcConfig(dpy_, resources_, resources_->crtcs[0], CurrentTime, 0, 0, mode_, RR_Rotate_0,
                     &output_, 1);
    XRRFreeScreenResources(resources_);
    XSync(dpy_, False);
  }

 private:
  Display* dpy_;
  XRRScreenResources* resources_;
  RRMode mode_;
  RROutput output_;
};

TEST_F(DisplayX11Test, GrabFollowsTheScreenSizeWhenItShrinksAndGrows) {
  auto display = OpenDisplay(true);
  ASSERT_NE(GrabScene(*display), nullptr);
  {
    SmallerScreen shrink(observer, 1024, 600);
    CGImageRef small;
    ASSERT_TRUE(WaitUntil([&] {
      small = display->createImage();
      return small && small->width == 1024;
    }));
    EXPECT_EQ(small->height, 600);
    EXPECT_EQ(PixelAt(small, 125, 65), kChildColour);
    EXPECT_TRUE(display->usesSharedMemory());
  }
  CGImageRef full;
  ASSERT_TRUE(WaitUntil([&] {
    full = display->createImage();
    return full && full->width == kScreenWidth;
  }));
  EXPECT_EQ(FirstDifference(full, Scene), "");
  EXPECT_TRUE(display->usesSharedMemory());
}

// The damage grab re-reads only what changed into segments that held older pictures. After each
// round of random drawing it must give the whole-screen grab's pixels, whichever segment it used,
// also while an earlier image is held (the other segment then catches up on two rounds), and its
// change hint must cover every pixel that changed since the image it names.
TEST_F(DisplayX11Test, DamageGrabGivesTheSamePixelsAsAWholeGrabAndHintsTheChanges) {
  auto damaged = OpenDisplay(true, true);
  auto whole = OpenDisplay(true, false);
  ASSERT_TRUE(damaged->usesSharedMemory());
  GrabScene(*damaged);
  CGImageRef before = whole->createImage(), held;
  int64_t previousSequence = damaged->createImage()->sequence;
  std::mt19937 random(7);
  int hinted = 0;
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    GC gc = XCreateGC(observer, window, 0, nullptr);
    for (int i = 0; i < round % 4 * 5; ++i) {  // rectangles, some off the screen's edges
      XSetForeground(observer, gc, random() & 0xffffff);
      XFillRectangle(observer, i % 3 ? DefaultRootWindow(observer) : window, gc,
                     int(random() % (kScreenWidth + 40)) - 20,
                     int(random() % (kScreenHeight + 40)) - 20, 1 + random() % 90,
                     1 + random() % 70);
    }
    XFreeGC(observer, gc);
    XSync(observer, False);
    CGImageRef after = whole->createImage(), image = damaged->createImage();
    ASSERT_TRUE(after && image);
    EXPECT_EQ(FirstDifference(image, [&](int x, int y) { return PixelAt(after, x, y); }), "");
    if (image->changes) {
      ++hinted;
      EXPECT_EQ(image->changes->sinceSequence, previousSequence);
      const auto& rects = image->changes->rects;
      if (round % 4 == 0) {
        EXPECT_TRUE(rects.empty()) << "nothing was drawn";
      }
      auto inHint = [&](int x, int y) {
        return std::any_of(rects.begin(), rects.end(), [&](const CGRect& r) {
          return x >= r.origin.x && x < r.origin.x + r.size.width && y >= r.origin.y &&
                 y < r.origin.y + r.size.height;
        });
      };
      EXPECT_EQ(FirstDifference(after,
                                [&](int x, int y) {
                                  return inHint(x, y) ? PixelAt(after, x, y)
                                                      : PixelAt(before, x, y);
                                }),
                "")
          << "a change outside the hint";
    }
    previousSequence = image->sequence;
    before = after;
    if (round % 3 == 0) held = image;  // keep one image now and then
  }
  EXPECT_GT(hinted, 8);
}

TEST(CursorPixels, UnpremultipliesAndIgnoresTheSignExtendedHighHalf) {
  // As Xlib hands them on LP64: alpha ≥ 0x80 arrives sign-extended.
  const unsigned long pixels[] = {
      0x0000000040102030ul,  // a 0x40, premultiplied r 0x10 g 0x20 b 0x30
      0xffffffff80804020ul,  // a 0x80, r 0x80 g 0x40 b 0x20
      0xffffffffff00ff00ul,  // opaque green
      0x0000000000000000ul,  // transparent
  };
  uint8_t out[16];
  CursorPixelsToBgra(pixels, 4, out);
  const uint8_t expected[16] = {0xbf, 0x80, 0x40, 0x40,  // b, g, r, a (c * 255 / a, rounded)
                                0x40, 0x80, 0xff, 0x80,  //
                                0x00, 0xff, 0x00, 0xff,  //
                                0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(out, out + 16), std::vector<uint8_t>(expected, expected + 16));
}

TEST_F(DisplayX11Test, CursorIsTheOneTheWindowDefinesWithItsHotSpot) {
  // A 24 × 16 ARGB cursor, hot spot (5, 3): left half opaque red, right half half-transparent
  // blue (premultiplied 0x80000080 → straight blue 0xff at alpha 0x80).
  constexpr int w = 24, h = 16;
  std::vector<uint32_t> argb(w * h);
  for (int i = 0; i < w * h; ++i) argb[i] = i % w < w / 2 ? 0xffff0000u : 0x80000080u;
  XImage* image = XCreateImage(observer, nullptr, 32, ZPixmap, 0,
                               reinterpret_cast<char*>(argb.data()), w, h, 32, w * 4);
  Pixmap pixmap = XCreatePixmap(observer, DefaultRootWindow(observer), w, h, 32);
  GC gc = XCreateGC(observer, pixmap, 0, nullptr);
  XPutImage(observer, pixmap, gc, image, 0, 0, 0, 0, w, h);
  image->data = nullptr;
  XDestroyImage(image);
  XFreeGC(observer, gc);
  Picture picture = XRenderCreatePicture(
      observer, pixmap, XRenderFindStandardFormat(observer, PictStandardARGB32), 0, nullptr);
  Cursor cursor = XRenderCreateCursor(observer, picture, 5, 3);
  XRenderFreePicture(observer, picture);
  XFreePixmap(observer, pixmap);
  XDefineCursor(observer, window, cursor);
  XTestFakeMotionEvent(observer, -1, 200, 100, CurrentTime);  // into the window
  XSync(observer, False);

  std::optional<CursorImage> seen;
  ASSERT_TRUE(WaitUntil([&] {
    seen = desktop->cursor->currentCursor();
    return seen && seen->image && seen->image->bitmap->width == w;
  }));
  const CGImageRef& bitmap = seen->image->bitmap;
  EXPECT_EQ(bitmap->height, h);
  EXPECT_EQ(seen->image->size, (CGSize{double(w), double(h)}));
  EXPECT_EQ(seen->hotSpot, (CGPoint{5, 3}));
  EXPECT_EQ(PixelAt(bitmap, 0, 0), 0xffff0000u);
  EXPECT_EQ(PixelAt(bitmap, w - 1, h - 1), 0x800000ffu);

  XUndefineCursor(observer, window);
  XFreeCursor(observer, cursor);
  XSync(observer, False);
}

}  // namespace
}  // namespace desktop::x11
