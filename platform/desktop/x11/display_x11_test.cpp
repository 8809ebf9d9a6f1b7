#include "platform/desktop/x11/display_x11.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break gtest's headers.
#include <gtest/gtest.h>

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/Xrender.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

#include "platform/desktop/CoreGraphics.h"
#include "platform/desktop/x11/test_support/X11TestFixture.h"
#include "platform/desktop/x11/x11_connection.h"

namespace desktop::x11 {
namespace {

using testing::kScreenHeight;
using testing::kScreenWidth;
using testing::WaitFor;
using testing::X11Test;

constexpr uint32_t kRootColour = 0x123456;
constexpr uint32_t kWindowColour = 0xff2010;
constexpr uint32_t kChildColour = 0x20c040;

uint32_t PixelAt(const CGImageRef& image, int x, int y) {
  const uint8_t* p = image->data + int64_t{y} * image->bytesPerRow + int64_t{x} * 4;
  return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
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
    Window child = XCreateSimpleWindow(observer, window, 20, 10, 40, 30, 0, 0, kChildColour);
    XMapWindow(observer, child);
    XMapRaised(observer, window);
    XSync(observer, False);
  }
  void TearDown() override {
    if (observer && window) XDestroyWindow(observer, window);
    X11Test::TearDown();
  }

  static uint32_t Expected(int x, int y) {
    if (x >= 120 && x < 160 && y >= 60 && y < 90) return 0xff000000 | kChildColour;
    if (x >= 100 && x < 300 && y >= 50 && y < 150) return 0xff000000 | kWindowColour;
    return 0xff000000 | kRootColour;
  }

  // Grabs until the scene is on screen (the server draws asynchronously).
  CGImageRef GrabScene(DisplayService& display) {
    CGImageRef image;
    WaitFor([&] {
      image = display.createImage();
      return image && PixelAt(image, 125, 65) == Expected(125, 65) &&
             PixelAt(image, 0, 0) == Expected(0, 0);
    });
    return image;
  }

  void ExpectScene(const CGImageRef& image) {
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->width, kScreenWidth);
    ASSERT_EQ(image->height, kScreenHeight);
    ASSERT_GE(image->bytesPerRow, kScreenWidth * 4);
    int wrong = 0;
    for (int y = 0; y < kScreenHeight; ++y) {
      for (int x = 0; x < kScreenWidth; ++x) {
        if (PixelAt(image, x, y) != Expected(x, y) && wrong++ < 5) {
          ADD_FAILURE() << "pixel (" << x << ", " << y << ") = " << std::hex << PixelAt(image, x, y)
                        << ", expected " << Expected(x, y);
        }
      }
    }
    EXPECT_EQ(wrong, 0);
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

TEST_F(DisplayX11Test, SharedMemoryGrabMatchesTheScenePixelForPixel) {
  auto display = OpenDisplay(true);
  ExpectScene(GrabScene(*display));
  EXPECT_TRUE(display->usesSharedMemory());
}

TEST_F(DisplayX11Test, XGetImageGrabMatchesTheScenePixelForPixel) {
  auto display = OpenDisplay(false);
  ExpectScene(GrabScene(*display));
  EXPECT_FALSE(display->usesSharedMemory());
}

TEST_F(DisplayX11Test, FactoryDesktopGrabsThroughTheDisplayService) {
  ExpectScene(GrabScene(*desktop->display));
}

TEST_F(DisplayX11Test, HeldImagesAreNeverOverwritten) {
  auto display = OpenDisplay(true);
  CGImageRef first = GrabScene(*display);
  ASSERT_NE(first, nullptr);
  CGImageRef second = display->createImage();  // the other segment
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first->data, second->data);

  XSetWindowBackground(observer, window, 0x0000ff);
  XClearWindow(observer, window);
  XSync(observer, False);
  // Both segments are held: further grabs must land in fresh memory.
  CGImageRef third;
  ASSERT_TRUE(WaitFor([&] {
    third = display->createImage();
    return third && PixelAt(third, 250, 120) == 0xff0000ff;
  }));
  EXPECT_EQ(PixelAt(first, 250, 120), 0xff000000 | kWindowColour);
  EXPECT_EQ(PixelAt(second, 250, 120), 0xff000000 | kWindowColour);

  // Once released, a segment is reused.
  const uint8_t* firstPixels = first->data;
  first.reset();
  third.reset();
  CGImageRef fourth = display->createImage();
  ASSERT_NE(fourth, nullptr);
  EXPECT_EQ(fourth->data, firstPixels);
  EXPECT_EQ(PixelAt(fourth, 250, 120), 0xff0000ff);
}

TEST_F(DisplayX11Test, ThousandGrabsLeakNoSegmentsOrImages) {
  int64_t imagesBefore = gLiveXImages.load();
  int segmentsBefore = OwnShmSegments();
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
    }
    // Two segments handed out in turn and the scratch segment of the damage grab.
    EXPECT_LE(OwnShmSegments() - segmentsBefore, 3);
    EXPECT_LE(gLiveXImages.load() - imagesBefore, 3);
    EXPECT_TRUE(display->usesSharedMemory());
  }
  EXPECT_EQ(OwnShmSegments(), segmentsBefore);
  EXPECT_EQ(gLiveXImages.load(), imagesBefore);
}

TEST_F(DisplayX11Test, ImageOutlivesTheDisplayService) {
  CGImageRef image;
  {
    auto display = OpenDisplay(true);
    image = GrabScene(*display);
  }
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(PixelAt(image, 125, 65), 0xff000000 | kChildColour);
  image.reset();
  EXPECT_EQ(OwnShmSegments(), 0);
}

// Shrinks the root through RandR (a mode of its own on the one output), then restores it.
class ScreenShrink {
 public:
  ScreenShrink(Display* dpy, int width, int height) : dpy_(dpy) {
    Window root = DefaultRootWindow(dpy);
    resources_ = XRRGetScreenResources(dpy, root);
    crtc_ = resources_->crtcs[0];
    XRRCrtcInfo* crtc = XRRGetCrtcInfo(dpy, resources_, crtc_);
    oldMode_ = crtc->mode;
    output_ = crtc->outputs[0];
    XRRFreeCrtcInfo(crtc);
    std::string name = "shrink" + std::to_string(width) + "x" + std::to_string(height);
    XRRModeInfo info{};
    info.width = unsigned(width);
    info.height = unsigned(height);
    info.dotClock = 60ul * width * height;
    info.hTotal = unsigned(width);
    info.vTotal = unsigned(height);
    info.name = name.data();
    info.nameLength = unsigned(name.size());
    mode_ = XRRCreateMode(dpy, root, &info);
    XRRAddOutputMode(dpy, output_, mode_);
    XRRSetCrtcConfig(dpy, resources_, crtc_, CurrentTime, 0, 0, mode_, RR_Rotate_0, &output_, 1);
    XRRSetScreenSize(dpy, root, width, height, width / 4, height / 4);
    XSync(dpy, False);
  }
  ~ScreenShrink() {
    Window root = DefaultRootWindow(dpy_);
    XRRSetScreenSize(dpy_, root, kScreenWidth, kScreenHeight, kScreenWidth / 4, kScreenHeight / 4);
    XRRSetCrtcConfig(dpy_, resources_, crtc_, CurrentTime, 0, 0, oldMode_, RR_Rotate_0, &output_,
                     1);
    XRRDeleteOutputMode(dpy_, output_, mode_);
    XRRDestroyMode(dpy_, mode_);
    XRRFreeScreenResources(resources_);
    XSync(dpy_, False);
  }

 private:
  Display* dpy_;
  XRRScreenResources* resources_;
  RRCrtc crtc_;
  RRMode oldMode_;
  RROutput output_;
  RRMode mode_ = 0;
};

TEST_F(DisplayX11Test, GrabFollowsTheScreenSizeWhenItShrinksAndGrows) {
  auto display = OpenDisplay(true);
  ASSERT_NE(GrabScene(*display), nullptr);
  {
    ScreenShrink shrink(observer, 1024, 600);
    CGImageRef small;
    ASSERT_TRUE(WaitFor([&] {
      small = display->createImage();
      return small && small->width == 1024;
    }));
    EXPECT_EQ(small->height, 600);
    EXPECT_EQ(PixelAt(small, 125, 65), 0xff000000 | kChildColour);
    EXPECT_TRUE(display->usesSharedMemory());
  }
  CGImageRef full;
  ASSERT_TRUE(WaitFor([&] {
    full = display->createImage();
    return full && full->width == kScreenWidth;
  }));
  EXPECT_EQ(full->height, kScreenHeight);
}

// ---- cursor

// Rectangles of random colours, some off the screen's edges, on the root and on the window.
void DrawRandomly(Display* dpy, Window window, std::mt19937& random, int count) {
  Window root = DefaultRootWindow(dpy);
  GC gc = XCreateGC(dpy, root, 0, nullptr);
  for (int i = 0; i < count; ++i) {
    XSetForeground(dpy, gc, random() & 0xffffff);
    const int x = int(random() % (kScreenWidth + 40)) - 20;
    const int y = int(random() % (kScreenHeight + 40)) - 20;
    XFillRectangle(dpy, i % 3 ? root : window, gc, x, y, 1 + random() % 90, 1 + random() % 70);
  }
  XFreeGC(dpy, gc);
  XSync(dpy, False);
}

bool SamePixels(const CGImageRef& a, const CGImageRef& b, std::string* where) {
  for (int y = 0; y < kScreenHeight; ++y) {
    for (int x = 0; x < kScreenWidth; ++x) {
      if (PixelAt(a, x, y) != PixelAt(b, x, y)) {
        *where = std::to_string(x) + ", " + std::to_string(y);
        return false;
      }
    }
  }
  return true;
}

// The damage grab reads back only what changed into segments that held older pictures: after
// each round of drawing it must give the whole-screen grab's pixels, whichever segment it used,
// also while an earlier image is held (the other segment then catches up on two rounds).
TEST_F(DisplayX11Test, DamageGrabGivesTheSamePixelsAsAWholeGrab) {
  auto damaged = OpenDisplay(true, true);
  auto whole = OpenDisplay(true, false);
  ASSERT_TRUE(damaged->usesSharedMemory());
  GrabScene(*damaged);
  std::mt19937 random(7);
  CGImageRef held;
  int hinted = 0;
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    DrawRandomly(observer, window, random, 1 + round % 4 * 5);
    CGImageRef reference = whole->createImage();
    CGImageRef image = damaged->createImage();
    ASSERT_TRUE(reference && image);
    std::string where;
    EXPECT_TRUE(SamePixels(image, reference, &where)) << "first difference at " << where;
    if (image->changes) ++hinted;
    if (round % 3 == 0) held = image;  // keep one image now and then
  }
  EXPECT_GT(hinted, 8);
}

// Images are numbered, and each one's hint covers what changed since the one before it.
TEST_F(DisplayX11Test, ImagesCarryTheDamageSinceThePreviousOne) {
  auto display = OpenDisplay(true, true);
  GrabScene(*display);
  // The server reports the whole root as damaged when the damage object is made.
  CGImageRef first = display->createImage();
  CGImageRef second = display->createImage();
  ASSERT_TRUE(second && second->changes);
  EXPECT_GT(second->sequence, first->sequence);
  EXPECT_EQ(second->changes->sinceSequence, first->sequence);
  EXPECT_TRUE(second->changes->rects.empty());

  Window root = DefaultRootWindow(observer);
  GC gc = XCreateGC(observer, root, 0, nullptr);
  XSetForeground(observer, gc, 0xabcdef);
  XFillRectangle(observer, root, gc, 500, 400, 30, 20);
  XFreeGC(observer, gc);
  XSync(observer, False);
  CGImageRef third = display->createImage();
  ASSERT_TRUE(third && third->changes);
  EXPECT_EQ(third->changes->sinceSequence, second->sequence);
  EXPECT_EQ(PixelAt(third, 510, 410), 0xffabcdefu);
  bool covered = false;
  for (const CGRect& r : third->changes->rects) {
    covered |= r.origin.x <= 500 && r.origin.y <= 400 && r.origin.x + r.size.width >= 530 &&
               r.origin.y + r.size.height >= 420;
  }
  EXPECT_TRUE(covered);
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
  for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], expected[i]) << "byte " << i;
}

TEST_F(DisplayX11Test, CursorIsTheOneTheWindowDefinesWithItsHotSpot) {
  // A 24 × 16 ARGB cursor, hot spot (5, 3): left half opaque red, right half half-transparent
  // blue (premultiplied 0x80000080 → straight blue 0xff at alpha 0x80).
  constexpr int w = 24, h = 16;
  std::vector<uint32_t> argb(w * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) argb[y * w + x] = x < w / 2 ? 0xffff0000u : 0x80000080u;
  }
  Window root = DefaultRootWindow(observer);
  XImage* image = XCreateImage(observer, nullptr, 32, ZPixmap, 0,
                               reinterpret_cast<char*>(argb.data()), w, h, 32, w * 4);
  Pixmap pixmap = XCreatePixmap(observer, root, w, h, 32);
  GC gc = XCreateGC(observer, pixmap, 0, nullptr);
  XPutImage(observer, pixmap, gc, image, 0, 0, 0, 0, w, h);
  image->data = nullptr;
  XDestroyImage(image);
  XRenderPictFormat* format = XRenderFindStandardFormat(observer, PictStandardARGB32);
  Picture picture = XRenderCreatePicture(observer, pixmap, format, 0, nullptr);
  Cursor cursor = XRenderCreateCursor(observer, picture, 5, 3);
  XDefineCursor(observer, window, cursor);
  XTestFakeMotionEvent(observer, -1, 200, 100, CurrentTime);  // into the window
  XSync(observer, False);

  std::optional<CursorImage> seen;
  ASSERT_TRUE(WaitFor([&] {
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
  XRenderFreePicture(observer, picture);
  XFreeGC(observer, gc);
  XFreePixmap(observer, pixmap);
  XSync(observer, False);
}

TEST_F(DisplayX11Test, ManyCursorReadsLeaveNoCursorImagesBehind) {
  int64_t before = gLiveCursorImages.load();
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(desktop->cursor->currentCursor().has_value());
  EXPECT_EQ(gLiveCursorImages.load(), before);
}

}  // namespace
}  // namespace desktop::x11
