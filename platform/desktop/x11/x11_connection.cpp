#include "platform/desktop/x11/x11_connection.h"

#include <X11/Xatom.h>

#include <cstdio>
#include <map>
#include <set>

namespace desktop::x11 {

std::atomic<int64_t> gLiveXImages{0};
std::atomic<int64_t> gLiveCursorImages{0};

namespace {

// State of the process-wide error handler. The handler runs inside Xlib calls made with a
// connection's mutex held; it takes only this leaf lock.
std::mutex gErrorMutex;
std::map<Display*, XConnection*> gOurDisplays;
std::map<Display*, XErrorTrap*> gActiveTraps;
std::set<std::string> gLostDisplayNames;  // logged once while their connections live
XErrorHandler gPreviousHandler = nullptr;
XIOErrorHandler gPreviousIOHandler = nullptr;
std::once_flag gInstallOnce;

int HandleXError(Display* display, XErrorEvent* event);
int HandleIOError(Display* display);

void InstallErrorHandler() {
  std::call_once(gInstallOnce, [] {
    gPreviousHandler = XSetErrorHandler(HandleXError);
    gPreviousIOHandler = XSetIOErrorHandler(HandleIOError);
  });
}

// Runs after the I/O error handler has returned; Xlib's own would exit the process. Before
// calling it, libX11 (which initialises threads itself since 1.8) takes the display's user lock
// on the thread that met the error, so that no other thread enters Xlib while the process
// exits. We do not exit: release it, or a later XCloseDisplay on another thread waits forever.
void KeepRunningAfterIOError(Display* display, void*) {
  XUnlockDisplay(display);
}

}  // namespace

struct XConnectionAccess {
  static void markLost(XConnection* connection) {
    connection->lost_.store(true, std::memory_order_relaxed);
  }
};

// Friend-free access to the trap's slot: the handler writes it under gErrorMutex.
struct XErrorTrapAccess {
  static void record(XErrorTrap* trap, int code) {
    if (trap->error_ == 0) trap->error_ = code;
  }
};

namespace {

int HandleXError(Display* display, XErrorEvent* event) {
  XErrorHandler previous = nullptr;
  {
    std::lock_guard lock(gErrorMutex);
    auto trap = gActiveTraps.find(display);
    if (trap != gActiveTraps.end()) {
      XErrorTrapAccess::record(trap->second, event->error_code);
      return 0;
    }
    if (gOurDisplays.count(display)) {
      char text[128] = {};
      XGetErrorText(display, event->error_code, text, sizeof(text));
      std::fprintf(stderr, "x11: ignored X error %d (%s) on request %d.%d\n", event->error_code,
                   text, event->request_code, event->minor_code);
      return 0;
    }
    previous = gPreviousHandler;
  }
  return previous ? previous(display, event) : 0;
}

// Called inside whatever Xlib call found the connection broken, with that connection's mutex
// held by the caller: it takes only the leaf lock and does not touch Xlib.
int HandleIOError(Display* display) {
  XIOErrorHandler previous = nullptr;
  {
    std::lock_guard lock(gErrorMutex);
    auto ours = gOurDisplays.find(display);
    if (ours != gOurDisplays.end()) {
      XConnection* connection = ours->second;
      bool first = !connection->lost();
      XConnectionAccess::markLost(connection);
      if (first && gLostDisplayNames.insert(connection->name()).second) {
        std::fprintf(stderr,
                     "x11: lost the connection to X display \"%s\"; no more capture or input on "
                     "it\n",
                     connection->name().c_str());
      }
      return 0;
    }
    previous = gPreviousIOHandler;
  }
  return previous ? previous(display) : 0;
}

}  // namespace

// ---- XConnection

std::shared_ptr<XConnection> XConnection::Open(const std::string& name, std::string* error) {
  InstallErrorHandler();
  Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
  if (!display) {
    if (error) {
      const char* shown = name.empty() ? XDisplayName(nullptr) : name.c_str();
      *error = std::string("cannot open X display \"") + (shown ? shown : "") + "\"";
    }
    return nullptr;
  }
  XSetIOErrorExitHandler(display, KeepRunningAfterIOError, nullptr);
  auto connection = std::shared_ptr<XConnection>(new XConnection(display, DisplayString(display)));
  {
    std::lock_guard lock(gErrorMutex);
    gOurDisplays[display] = connection.get();
  }
  return connection;
}

XConnection::XConnection(Display* display, std::string name)
    : display_(display), root_(DefaultRootWindow(display)), name_(std::move(name)) {}

XConnection::~XConnection() {
  {
    // On a lost connection XCloseDisplay sends nothing (libX11 marks the Display broken) and
    // only frees the client side; the handlers still know the Display as ours meanwhile.
    std::lock_guard lock(mutex_);
    XCloseDisplay(display_);
  }
  std::lock_guard lock(gErrorMutex);
  gOurDisplays.erase(display_);
  // A new server on the same display number is a new display: its loss is logged again.
  if (lost()) gLostDisplayNames.erase(name_);
}

bool XConnection::isLocal() const {
  // "host:0" reaches the server over the network (ssh forwarding, a remote X terminal): the
  // server would attach a segment on its own machine. ":0", "unix:0" and socket paths are local.
  auto colon = name_.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = name_.substr(0, colon);
  return host.empty() || host == "unix" || host[0] == '/';
}

// ---- XErrorTrap

XErrorTrap::XErrorTrap(Display* display) : display_(display) {
  std::lock_guard lock(gErrorMutex);
  auto& slot = gActiveTraps[display];
  previous_ = slot;
  slot = this;
}

XErrorTrap::~XErrorTrap() {
  std::lock_guard lock(gErrorMutex);
  if (previous_) {
    gActiveTraps[display_] = previous_;
  } else {
    gActiveTraps.erase(display_);
  }
}

int XErrorTrap::sync() {
  XSync(display_, False);
  std::lock_guard lock(gErrorMutex);
  return error_;
}

// ---- properties

XProperty GetProperty(Display* display, Window window, Atom property, Atom type) {
  XProperty out;
  unsigned char* data = nullptr;
  unsigned long after = 0;
  XErrorTrap trap(display);
  int status = XGetWindowProperty(display, window, property, 0, 1 << 20, False, type, &out.type,
                                  &out.format, &out.count, &after, &data);
  out.data.reset(data);
  if (status != Success || trap.error() || !data || out.type == None ||
      (type != AnyPropertyType && out.type != type)) {
    return XProperty{};
  }
  return out;
}

}  // namespace desktop::x11
