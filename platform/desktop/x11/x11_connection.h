// Private to the X11 backend: the one header that includes Xlib. An X connection owned by RAII,
// the process's X error handler, and the deleters for Xlib-allocated handles.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace desktop::x11 {

// One connection to the X server. Xlib is not thread-safe on one connection (we do not call
// XInitThreads), so every use of display() happens with mutex() held. Closing happens in the
// destructor; whatever still needs the connection (shared-memory segments handed out with
// images) holds a shared_ptr to it.
//
// Losing the server (it exits or is killed, the socket breaks) does not end the process, as
// Xlib's default I/O error handling would. The process-wide I/O error handler marks the
// connection lost and logs one line on standard error per display ("x11: lost the connection
// to X display ..."); the connection's exit handler returns instead of exiting. libX11 (≥ 1.7)
// then turns every further request on that Display into a no-op that reports failure, but the
// services do not rely on that: each checks lost() under the mutex first and answers "nothing"
// (no image, no cursor, no screens, no windows, no layouts, injected input dropped) without
// entering Xlib. Only the destructor still calls XCloseDisplay, which on a lost connection just
// frees the client-side state. A lost connection is never reopened.
class XConnection {
 public:
  // Null, with a reason in *error, when the display cannot be opened.
  static std::shared_ptr<XConnection> Open(const std::string& name, std::string* error);
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  Display* display() const { return display_; }
  Window root() const { return root_; }
  std::mutex& mutex() { return mutex_; }
  // The display string the connection was opened with (as Xlib resolved it).
  const std::string& name() const { return name_; }
  // True when the server runs on this machine (a local socket), so SysV shared memory is shared.
  bool isLocal() const;
  // True once the server connection broke; from then on display() must not be used (except by
  // the destructor).
  bool lost() const { return lost_.load(std::memory_order_relaxed); }

 private:
  friend struct XConnectionAccess;
  XConnection(Display* display, std::string name);
  Display* display_;
  std::atomic<bool> lost_{false};
  Window root_;
  std::string name_;
  std::mutex mutex_;
};

// Collects the X errors of one connection for its lifetime instead of letting Xlib's default
// handler end the process. The process-wide handler (installed on the first Open) routes each
// error to the trap active on its connection; errors on our connections with no trap active are
// logged once to standard error and ignored; errors on other connections (not opened here) go
// to whatever handler was installed before ours. Use with the connection's mutex held.
class XErrorTrap {
 public:
  explicit XErrorTrap(Display* display);
  ~XErrorTrap();
  XErrorTrap(const XErrorTrap&) = delete;
  XErrorTrap& operator=(const XErrorTrap&) = delete;

  // Waits for the server to process everything sent so far and returns the first error code
  // caught since the trap was set (0: none). The destructor does not sync (that would cost a
  // round trip on the capture path): requests without a reply must be followed by sync() while
  // the trap is set, or their errors arrive later and are only logged.
  int sync();
  // The first error code caught so far, without a round trip (enough after a request with a
  // reply: its error, if any, has arrived by the time the call returns).
  int error() const { return error_; }

 private:
  friend struct XErrorTrapAccess;
  Display* display_;
  int error_ = 0;
  XErrorTrap* previous_ = nullptr;  // an enclosing trap on the same connection
};

// Deleters for unique_ptr over Xlib memory.
struct XFreeDeleter {
  void operator()(void* p) const {
    if (p) XFree(p);
  }
};
template <typename T>
using XUniquePtr = std::unique_ptr<T, XFreeDeleter>;

// Counts of live Xlib images made by this backend (screen grabs and cursor images), for the
// leak tests: they must return to zero when the services are gone.
extern std::atomic<int64_t> gLiveXImages;
extern std::atomic<int64_t> gLiveCursorImages;

// Reads a property of `window` as an array of `format`-sized items (32-bit items come as C
// longs, as Xlib hands them). Empty when the property is missing, of another type (unless
// `type` is AnyPropertyType) or unreadable.
struct XProperty {
  XUniquePtr<unsigned char> data;
  unsigned long count = 0;
  Atom type = 0;
  int format = 0;
};
XProperty GetProperty(Display* display, Window window, Atom property, Atom type);

}  // namespace desktop::x11
