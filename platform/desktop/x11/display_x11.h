// Desktop image and cursor image of an X display (capture thread).
//
// The grab reads the whole root window into a MIT-SHM segment and hands it out without copying:
// the CGImage points into the segment and its keepAlive holds the segment. Two segments are kept
// and used in turn; a segment still referenced by an earlier image is never written again until
// that image is gone. When both are still referenced (a consumer holding two frames), the grab
// goes through XGetImage into fresh memory instead, so no image ever changes under its holder.
// The segments are re-made when the root changes size (RandR notification, or a failed grab);
// where the segment cannot be attached (a server in another IPC namespace, a remote display)
// every grab uses XGetImage. Pixels come out as BGRA with the fourth byte forced to 0xFF; a
// root whose format is not 32-bit xRGB (e.g. a 16-bit server) is converted into a copy.
//
// Damage: with XDamage (and XFixes), each grab first takes the rectangles of the root damaged
// since the previous grab. Every segment keeps the damage it has not seen since it was last
// grabbed, and a grab into it re-reads only those rectangles (through a third, scratch segment,
// since the server writes sub-images packed), copying them into place with the alpha made
// opaque. A segment that is new, failed its last grab, or missed damage (the first grab, a lost
// damage stream) is grabbed whole, as is one whose damage covers half the screen; more than
// kMaxDamageRects rectangles merge into their bounding box. Every image is numbered
// (CGImage::sequence), and carries the damage since the image before it as its change hint
// (CGImage::changes) when that is known: not after a size change or a failed grab.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/desktop/Desktop.h"

namespace desktop::x11 {

class XConnection;

class DisplayX11 final : public DisplayService, public CursorService {
 public:
  struct Options {
    bool useSharedMemory = true;  // false: always XGetImage (tests, measurements)
    bool useDamage = true;        // false: every grab reads the whole screen, no change hints
  };
  // `connection` is used by this object alone (and by the segments it hands out).
  DisplayX11(std::shared_ptr<XConnection> connection, Options options);
  ~DisplayX11() override;
  DisplayX11(const DisplayX11&) = delete;
  DisplayX11& operator=(const DisplayX11&) = delete;

  CGImageRef createImage() override;
  // The XFixes cursor: its size in points = pixels, its hot spot, straight-alpha BGRA pixels.
  // None when XFixes is missing or the server refuses the request.
  std::optional<CursorImage> currentCursor() override;

  // True when grabs go through shared memory (the segment attached).
  bool usesSharedMemory() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// XFixes cursor pixels (one unsigned long per pixel: premultiplied ARGB in the low 32 bits, the
// high half possibly sign-extended garbage on LP64) → straight-alpha BGRA bytes.
void CursorPixelsToBgra(const unsigned long* pixels, size_t count, uint8_t* out);

}  // namespace desktop::x11
