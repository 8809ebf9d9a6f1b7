#include "platform/desktop/x11/display_x11.h"

#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/desktop/x11/x11_connection.h"

namespace desktop::x11 {
namespace {

constexpr size_t kSegments = 2;

bool IsXrgb32(const XImage* image) {
  return image->bits_per_pixel == 32 && image->byte_order == LSBFirst &&
         image->red_mask == 0xff0000 && image->green_mask == 0x00ff00 &&
         image->blue_mask == 0x0000ff;
}

// xRGB words in place → BGRA bytes with an opaque alpha byte. One pass, no copy.
void ForceOpaque(XImage* image) {
  for (int y = 0; y < image->height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(image->data + int64_t{y} * image->bytes_per_line);
    for (int x = 0; x < image->width; ++x) row[x] |= 0xff000000u;
  }
}

int MaskShift(unsigned long mask) {
  int shift = 0;
  while (mask && !(mask & 1)) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}

uint8_t Channel(unsigned long pixel, unsigned long mask) {
  if (!mask) return 0;
  unsigned long value = (pixel & mask) >> MaskShift(mask);
  unsigned long max = mask >> MaskShift(mask);
  return static_cast<uint8_t>((value * 255 + max / 2) / max);
}

// Any other TrueColor layout (16-bit RGB565, 24-bit packed, MSB-first) → a BGRA copy.
CGImageRef ConvertImage(XImage* image) {
  auto out = CGImage::Allocate(image->width, image->height);
  uint8_t* dst = out->mutableData();
  for (int y = 0; y < image->height; ++y) {
    for (int x = 0; x < image->width; ++x) {
      unsigned long pixel = XGetPixel(image, x, y);
      uint8_t* p = dst + (int64_t{y} * image->width + x) * 4;
      p[0] = Channel(pixel, image->blue_mask);
      p[1] = Channel(pixel, image->green_mask);
      p[2] = Channel(pixel, image->red_mask);
      p[3] = 0xff;
    }
  }
  return out;
}

struct XImageOwner {
  XImage* image;
  explicit XImageOwner(XImage* i) : image(i) { ++gLiveXImages; }
  ~XImageOwner() {
    XDestroyImage(image);  // frees the pixels XGetImage allocated; needs no connection
    --gLiveXImages;
  }
  XImageOwner(const XImageOwner&) = delete;
  XImageOwner& operator=(const XImageOwner&) = delete;
};

// One shared-memory image: the XImage header, the SysV segment and its attachment to the
// server. The segment is marked for removal as soon as the server has attached it, so it
// disappears with the last detach even if the process dies.
class ShmSegment {
 public:
  // With the connection's mutex held. Null when the segment cannot be made or attached.
  static std::shared_ptr<ShmSegment> Create(std::shared_ptr<XConnection> connection, int width,
                                            int height) {
    auto segment = std::shared_ptr<ShmSegment>(new ShmSegment(std::move(connection)));
    if (!segment->make(width, height)) {
      segment->destroyLocked();
      return nullptr;
    }
    return segment;
  }
  ~ShmSegment() {
    if (destroyed_) return;
    std::lock_guard lock(connection_->mutex());
    destroyLocked();
  }
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;

  XImage* image() const { return image_; }

 private:
  explicit ShmSegment(std::shared_ptr<XConnection> connection)
      : connection_(std::move(connection)) {
    info_.shmid = -1;
    info_.shmaddr = reinterpret_cast<char*>(-1);
  }

  bool make(int width, int height) {
    Display* dpy = connection_->display();
    int screen = DefaultScreen(dpy);
    image_ = XShmCreateImage(dpy, DefaultVisual(dpy, screen), DefaultDepth(dpy, screen), ZPixmap,
                             nullptr, &info_, width, height);
    if (!image_) return false;
    ++gLiveXImages;
    info_.shmid =
        shmget(IPC_PRIVATE, size_t(image_->bytes_per_line) * image_->height, IPC_CREAT | 0600);
    if (info_.shmid < 0) return false;
    info_.shmaddr = image_->data = static_cast<char*>(shmat(info_.shmid, nullptr, 0));
    if (info_.shmaddr == reinterpret_cast<char*>(-1)) return false;
    info_.readOnly = False;
    XErrorTrap trap(dpy);
    XShmAttach(dpy, &info_);
    // The attach fails asynchronously (BadAccess) when the server cannot see our segment.
    attached_ = trap.sync() == 0;
    shmctl(info_.shmid, IPC_RMID, nullptr);
    info_.shmid = -1;
    return attached_;
  }

  void destroyLocked() {
    destroyed_ = true;
    Display* dpy = connection_->display();
    if (attached_ && !connection_->lost()) {
      XErrorTrap trap(dpy);
      XShmDetach(dpy, &info_);
      trap.sync();
    }
    if (info_.shmaddr != reinterpret_cast<char*>(-1)) shmdt(info_.shmaddr);
    if (info_.shmid >= 0) shmctl(info_.shmid, IPC_RMID, nullptr);
    if (image_) {
      image_->data = nullptr;  // else XDestroyImage would free() the shared memory
      XDestroyImage(image_);
      --gLiveXImages;
    }
  }

  std::shared_ptr<XConnection> connection_;
  XShmSegmentInfo info_{};
  XImage* image_ = nullptr;
  bool attached_ = false;
  bool destroyed_ = false;
};

struct CursorImageDeleter {
  void operator()(XFixesCursorImage* image) const {
    if (!image) return;
    XFree(image);
    --gLiveCursorImages;
  }
};

}  // namespace

void CursorPixelsToBgra(const unsigned long* pixels, size_t count, uint8_t* out) {
  for (size_t i = 0; i < count; ++i) {
    auto argb = static_cast<uint32_t>(pixels[i]);  // the high half may be sign-extension
    uint32_t a = argb >> 24;
    uint8_t* p = out + i * 4;
    if (a == 0) {
      p[0] = p[1] = p[2] = p[3] = 0;
      continue;
    }
    auto straight = [a](uint32_t c) {
      return static_cast<uint8_t>(std::min<uint32_t>(255, (c * 255 + a / 2) / a));
    };
    p[0] = straight(argb & 0xff);
    p[1] = straight((argb >> 8) & 0xff);
    p[2] = straight((argb >> 16) & 0xff);
    p[3] = static_cast<uint8_t>(a);
  }
}

struct DisplayX11::Impl {
  std::shared_ptr<XConnection> connection;
  bool shm = false;
  bool xfixes = false;
  int randrEventBase = -1;
  int width = 0;
  int height = 0;
  bool sizeKnown = false;
  std::vector<std::shared_ptr<ShmSegment>> segments;

  // Picks up RandR screen-size notifications. With the mutex held.
  void drainEvents(std::vector<std::shared_ptr<ShmSegment>>& graveyard) {
    Display* dpy = connection->display();
    while (XPending(dpy) > 0) {
      XEvent event;
      XNextEvent(dpy, &event);
      if (randrEventBase >= 0 && event.type == randrEventBase + RRScreenChangeNotify) {
        XRRUpdateConfiguration(&event);
        sizeKnown = false;
      }
    }
    if (!sizeKnown) refreshSize(graveyard);
  }

  void refreshSize(std::vector<std::shared_ptr<ShmSegment>>& graveyard) {
    Display* dpy = connection->display();
    Window root;
    int x, y;
    unsigned int w = 0, h = 0, border, depth;
    XErrorTrap trap(dpy);
    if (!XGetGeometry(dpy, connection->root(), &root, &x, &y, &w, &h, &border, &depth)) return;
    sizeKnown = true;
    if (int(w) == width && int(h) == height) return;
    width = int(w);
    height = int(h);
    // Segments of the old size would fail with BadMatch; they die outside the lock.
    graveyard.insert(graveyard.end(), segments.begin(), segments.end());
    segments.clear();
  }

  ShmSegment* freeSegment() {
    for (auto& s : segments) {
      if (s.use_count() == 1) return s.get();  // only the pool holds it: no image points into it
    }
    if (segments.size() >= kSegments) return nullptr;
    auto segment = ShmSegment::Create(connection, width, height);
    if (!segment) {
      std::fprintf(stderr, "x11: shared memory cannot be attached on %s; using XGetImage\n",
                   connection->name().c_str());
      shm = false;
      return nullptr;
    }
    segments.push_back(segment);
    return segment.get();
  }

  CGImageRef imageOf(ShmSegment* segment) {
    XImage* image = segment->image();
    if (!IsXrgb32(image)) return ConvertImage(image);
    ForceOpaque(image);
    auto out = std::make_shared<CGImage>();
    out->width = image->width;
    out->height = image->height;
    out->bytesPerRow = image->bytes_per_line;
    out->data = reinterpret_cast<const uint8_t*>(image->data);
    for (auto& s : segments) {
      if (s.get() == segment) out->keepAlive = s;
    }
    return out;
  }

  CGImageRef grabInto(ShmSegment* segment) {
    XErrorTrap trap(connection->display());
    if (!XShmGetImage(connection->display(), connection->root(), segment->image(), 0, 0,
                      AllPlanes) ||
        trap.error()) {
      return nullptr;
    }
    return imageOf(segment);
  }

  CGImageRef grabCopy() {
    XErrorTrap trap(connection->display());
    XImage* image = XGetImage(connection->display(), connection->root(), 0, 0, width, height,
                              AllPlanes, ZPixmap);
    if (!image || trap.error()) {
      if (image) XDestroyImage(image);
      return nullptr;
    }
    auto owner = std::make_shared<XImageOwner>(image);
    if (!IsXrgb32(image)) return ConvertImage(image);
    ForceOpaque(image);
    auto out = std::make_shared<CGImage>();
    out->width = image->width;
    out->height = image->height;
    out->bytesPerRow = image->bytes_per_line;
    out->data = reinterpret_cast<const uint8_t*>(image->data);
    out->keepAlive = owner;
    return out;
  }

  CGImageRef grab() {
    if (width <= 0 || height <= 0) return nullptr;
    if (shm) {
      if (ShmSegment* segment = freeSegment()) return grabInto(segment);
    }
    // No shared memory, or every segment is still referenced by an image someone holds.
    return grabCopy();
  }
};

DisplayX11::DisplayX11(std::shared_ptr<XConnection> connection, Options options)
    : impl_(std::make_unique<Impl>()) {
  impl_->connection = std::move(connection);
  std::lock_guard lock(impl_->connection->mutex());
  Display* dpy = impl_->connection->display();
  int major = 0, minor = 0;
  Bool pixmaps = False;
  impl_->shm = options.useSharedMemory && impl_->connection->isLocal() && XShmQueryExtension(dpy) &&
               XShmQueryVersion(dpy, &major, &minor, &pixmaps);
  int eventBase = 0, errorBase = 0;
  impl_->xfixes = XFixesQueryExtension(dpy, &eventBase, &errorBase);
  if (impl_->xfixes) XFixesQueryVersion(dpy, &major, &minor);
  if (XRRQueryExtension(dpy, &eventBase, &errorBase)) {
    impl_->randrEventBase = eventBase;
    XRRSelectInput(dpy, impl_->connection->root(), RRScreenChangeNotifyMask);
  }
}

DisplayX11::~DisplayX11() {
  std::vector<std::shared_ptr<ShmSegment>> segments;
  {
    std::lock_guard lock(impl_->connection->mutex());
    segments.swap(impl_->segments);
  }
  // Segments still held by images live on (they keep the connection); the rest go here.
}

CGImageRef DisplayX11::createImage() {
  std::vector<std::shared_ptr<ShmSegment>> graveyard;  // destroyed after the lock is released
  std::lock_guard lock(impl_->connection->mutex());
  if (impl_->connection->lost()) return nullptr;
  impl_->drainEvents(graveyard);
  if (impl_->connection->lost()) return nullptr;
  if (auto image = impl_->grab()) return image;
  if (impl_->connection->lost()) return nullptr;
  // A resize that raced the notification fails with BadMatch: measure again and retry once.
  impl_->refreshSize(graveyard);
  return impl_->grab();
}

std::optional<CursorImage> DisplayX11::currentCursor() {
  std::lock_guard lock(impl_->connection->mutex());
  if (!impl_->xfixes || impl_->connection->lost()) return std::nullopt;
  Display* dpy = impl_->connection->display();
  XErrorTrap trap(dpy);
  std::unique_ptr<XFixesCursorImage, CursorImageDeleter> cursor(XFixesGetCursorImage(dpy));
  if (cursor) ++gLiveCursorImages;
  // A refused request (BadAccess once the cursor's creator is gone) returns null.
  if (!cursor || trap.error() || cursor->width == 0 || cursor->height == 0 || !cursor->pixels) {
    return std::nullopt;
  }
  auto bitmap = CGImage::Allocate(cursor->width, cursor->height);
  CursorPixelsToBgra(cursor->pixels, size_t(cursor->width) * cursor->height, bitmap->mutableData());
  CursorImage out;
  out.image = NSImage{bitmap, CGSize{double(cursor->width), double(cursor->height)}};
  out.hotSpot = CGPoint{double(cursor->xhot), double(cursor->yhot)};
  return out;
}

bool DisplayX11::usesSharedMemory() const {
  std::lock_guard lock(impl_->connection->mutex());
  return impl_->shm;
}

}  // namespace desktop::x11
