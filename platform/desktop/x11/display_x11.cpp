#include "platform/desktop/x11/display_x11.h"

#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/desktop/x11/x11_connection.h"

namespace desktop::x11 {
namespace {

constexpr size_t kSegments = 2;
// Past this many damaged rectangles waiting for one segment, they merge into their bounding box;
// past this share of the screen, the segment is grabbed whole.
constexpr size_t kMaxDamageRects = 32;
constexpr double kWholeGrabShare = 0.5;

// Image numbers (CGImage::sequence), unique in the process.
std::atomic<int64_t> gImageSequence{0};

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

// A packed xRGB rectangle (rows of width words) → its place in a BGRA image, alpha made opaque.
void CopyOpaque(const uint8_t* src, int width, int height, uint8_t* dst, int64_t dstStride) {
  for (int y = 0; y < height; ++y) {
    const auto* in = reinterpret_cast<const uint32_t*>(src + int64_t{y} * width * 4);
    auto* out = reinterpret_cast<uint32_t*>(dst + y * dstStride);
    for (int x = 0; x < width; ++x) out[x] = in[x] | 0xff000000u;
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

  // What the segment lacks to show the screen as it is now (with the connection's mutex held):
  // everything, or the rectangles damaged since it was last grabbed.
  bool stale = true;
  std::vector<XRectangle> damaged;

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

  // XDamage on the root: which parts changed between two grabs. `damage` is 0 when the
  // extension is missing or the stream was lost (then made again at the next grab).
  bool useDamage = false;
  Damage damage = 0;
  XserverRegion parts = 0;              // receives the damage at each grab
  std::shared_ptr<ShmSegment> scratch;  // damaged rectangles are grabbed here, packed
  int64_t lastSequence = 0;             // number of the last image handed out; 0: none usable

  // Starts (again) to follow the root's damage. With the mutex held.
  void startDamage() {
    Display* dpy = connection->display();
    XErrorTrap trap(dpy);
    if (!parts) parts = XFixesCreateRegion(dpy, nullptr, 0);
    damage = XDamageCreate(dpy, connection->root(), XDamageReportNonEmpty);
    if (trap.sync() != 0) {
      if (damage) XDamageDestroy(dpy, damage);
      damage = 0;
    }
  }

  // The rectangles damaged since the last call, clipped to the screen; nothing when the damage
  // is not known (no extension, first call, a lost stream). With the mutex held.
  std::optional<std::vector<XRectangle>> takeDamage() {
    if (!useDamage) return std::nullopt;
    if (!damage) {
      startDamage();  // everything counts as damaged until the next call
      return std::nullopt;
    }
    Display* dpy = connection->display();
    XErrorTrap trap(dpy);
    XDamageSubtract(dpy, damage, 0, parts);
    int count = 0;
    XRectangle* rects = XFixesFetchRegion(dpy, parts, &count);  // a reply: errors are in
    if (trap.error() || !rects) {
      if (rects) XFree(rects);
      std::fprintf(stderr, "x11: the damage of %s was lost; grabbing whole screens\n",
                   connection->name().c_str());
      XDamageDestroy(dpy, damage);
      trap.sync();
      damage = 0;
      return std::nullopt;
    }
    std::vector<XRectangle> out;
    out.reserve(count);
    for (int i = 0; i < count; ++i) {
      const int x0 = std::max<int>(rects[i].x, 0), y0 = std::max<int>(rects[i].y, 0);
      const int x1 = std::min<int>(rects[i].x + rects[i].width, width);
      const int y1 = std::min<int>(rects[i].y + rects[i].height, height);
      if (x1 > x0 && y1 > y0) {
        out.push_back({short(x0), short(y0), static_cast<unsigned short>(x1 - x0),
                       static_cast<unsigned short>(y1 - y0)});
      }
    }
    XFree(rects);
    return out;
  }

  // Adds this grab's damage to what every segment lacks (or marks them all stale).
  void noteDamage(const std::optional<std::vector<XRectangle>>& damaged) {
    for (auto& s : segments) {
      if (!damaged) s->stale = true;
      if (s->stale) {
        s->damaged.clear();
        continue;
      }
      s->damaged.insert(s->damaged.end(), damaged->begin(), damaged->end());
      if (s->damaged.size() > kMaxDamageRects) {
        XRectangle box = s->damaged[0];
        int x1 = box.x + box.width, y1 = box.y + box.height;
        for (const XRectangle& r : s->damaged) {
          x1 = std::max(x1, r.x + r.width), y1 = std::max(y1, r.y + r.height);
          box.x = std::min(box.x, r.x), box.y = std::min(box.y, r.y);
        }
        box.width = static_cast<unsigned short>(x1 - box.x);
        box.height = static_cast<unsigned short>(y1 - box.y);
        s->damaged.assign(1, box);
      }
    }
  }

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
    if (scratch) graveyard.push_back(std::move(scratch));
    scratch.reset();
    lastSequence = 0;
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

  CGImageRef imageOf(ShmSegment* segment, bool opaqueDone) {
    XImage* image = segment->image();
    if (!IsXrgb32(image)) return ConvertImage(image);
    if (!opaqueDone) ForceOpaque(image);
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

  // Brings the segment up to date: its damaged rectangles only, when it is not stale, the
  // layout is xRGB and they are a small part of the screen; otherwise all of it.
  CGImageRef grabInto(ShmSegment* segment) {
    Display* dpy = connection->display();
    XErrorTrap trap(dpy);
    double area = 0;
    for (const XRectangle& r : segment->damaged) area += double(r.width) * r.height;
    const bool partial = !segment->stale && IsXrgb32(segment->image()) &&
                         area <= kWholeGrabShare * width * height && scratchSegment();
    if (partial) {
      XImage* image = segment->image();
      XImage* packed = scratch->image();
      for (const XRectangle& r : segment->damaged) {
        // The server writes a sub-image packed (rows of width words, no stride in the
        // request), so it goes to the scratch segment and is copied into place from there.
        XImage header = *packed;
        header.width = r.width;
        header.height = r.height;
        header.bytes_per_line = r.width * 4;
        if (!XShmGetImage(dpy, connection->root(), &header, r.x, r.y, AllPlanes) || trap.error()) {
          segment->stale = true;
          return nullptr;
        }
        CopyOpaque(reinterpret_cast<const uint8_t*>(packed->data), r.width, r.height,
                   reinterpret_cast<uint8_t*>(image->data) + int64_t{r.y} * image->bytes_per_line +
                       int64_t{r.x} * 4,
                   image->bytes_per_line);
      }
    } else if (!XShmGetImage(dpy, connection->root(), segment->image(), 0, 0, AllPlanes) ||
               trap.error()) {
      segment->stale = true;
      return nullptr;
    }
    segment->stale = false;
    segment->damaged.clear();
    return imageOf(segment, partial);
  }

  // Readies the grab when the display is opened rather than at the first grab (with the mutex
  // held): the damage stream, the scratch segment and both segments, each filled by one whole
  // grab, so that their pages are in place on both sides. The first grabs of a capture then
  // re-read only what changed since, like any other. A segment that cannot be had is left to
  // the first grab, which reports it.
  void warmUp() {
    std::vector<std::shared_ptr<ShmSegment>> graveyard;  // nothing yet to let go of
    refreshSize(graveyard);
    if (width <= 0 || height <= 0) return;
    if (useDamage && !damage) startDamage();
    if (damage) scratchSegment();
    Display* dpy = connection->display();
    while (segments.size() < kSegments) {
      auto segment = ShmSegment::Create(connection, width, height);
      if (!segment) return;
      XErrorTrap trap(dpy);
      if (!XShmGetImage(dpy, connection->root(), segment->image(), 0, 0, AllPlanes) ||
          trap.error()) {
        return;  // stays out of the pool; the first grab starts from scratch
      }
      if (IsXrgb32(segment->image())) ForceOpaque(segment->image());
      segment->stale = !damage;  // without damage every grab is whole anyway
      segments.push_back(std::move(segment));
    }
  }

  // The segment that damaged rectangles are grabbed into; null when it cannot be had.
  ShmSegment* scratchSegment() {
    if (!scratch) scratch = ShmSegment::Create(connection, width, height);
    return scratch.get();
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
    auto damaged = takeDamage();
    noteDamage(damaged);
    // Without shared memory, or with every segment still referenced by an image someone holds,
    // a copy.
    ShmSegment* segment = shm ? freeSegment() : nullptr;
    CGImageRef image = segment ? grabInto(segment) : grabCopy();
    if (!image) {
      lastSequence = 0;  // the next image's damage would not describe the change from the last
      return nullptr;
    }
    auto numbered = std::const_pointer_cast<CGImage>(image);
    numbered->sequence = ++gImageSequence;
    if (damaged && lastSequence > 0) {
      CGImage::ChangeHint hint{lastSequence, {}};
      hint.rects.reserve(damaged->size());
      for (const XRectangle& r : *damaged) {
        hint.rects.push_back({{double(r.x), double(r.y)}, {double(r.width), double(r.height)}});
      }
      numbered->changes = std::move(hint);
    }
    lastSequence = numbered->sequence;
    return image;
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
  impl_->useDamage = options.useDamage && impl_->xfixes &&
                     XDamageQueryExtension(dpy, &eventBase, &errorBase) &&
                     XDamageQueryVersion(dpy, &major, &minor);
  if (impl_->shm) impl_->warmUp();
}

DisplayX11::~DisplayX11() {
  std::vector<std::shared_ptr<ShmSegment>> segments;
  {
    std::lock_guard lock(impl_->connection->mutex());
    segments.swap(impl_->segments);
    if (impl_->scratch) segments.push_back(std::move(impl_->scratch));
    if (!impl_->connection->lost()) {
      Display* dpy = impl_->connection->display();
      XErrorTrap trap(dpy);
      if (impl_->damage) XDamageDestroy(dpy, impl_->damage);
      if (impl_->parts) XFixesDestroyRegion(dpy, impl_->parts);
      trap.sync();
    }
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
