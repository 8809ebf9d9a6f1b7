#include "platform/desktop/x11/system_x11.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "platform/desktop/CoreGraphics.h"
#include "platform/desktop/x11/x11_connection.h"

namespace desktop::x11 {
namespace {

constexpr int kMaxFrameDepth = 4;  // WM frames nest a client two or three levels down

std::string Latin1ToUtf8(const unsigned char* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = text[i];
    if (c < 0x80) {
      out += char(c);
    } else {
      out += char(0xc0 | (c >> 6));
      out += char(0x80 | (c & 0x3f));
    }
  }
  return out;
}

}  // namespace

std::vector<CGRect> ToScreenFrames(const std::vector<CGRect>& monitors, size_t primary) {
  std::vector<CGRect> out;
  if (primary >= monitors.size()) return out;
  const CGRect& p = monitors[primary];
  auto convert = [&p](const CGRect& m) {
    return CGRect{
        {m.origin.x - p.origin.x, (p.origin.y + p.size.height) - (m.origin.y + m.size.height)},
        m.size};
  };
  out.push_back(convert(p));
  for (size_t i = 0; i < monitors.size(); ++i) {
    if (i != primary) out.push_back(convert(monitors[i]));
  }
  return out;
}

bool HasRandrMonitors(XConnection& connection) {
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  Display* dpy = connection.display();
  return XRRQueryExtension(dpy, &eventBase, &errorBase) && XRRQueryVersion(dpy, &major, &minor) &&
         (major > 1 || (major == 1 && minor >= 5));
}

MonitorLayout ReadMonitorLayout(XConnection& connection) {
  MonitorLayout layout;
  Display* dpy = connection.display();
  XErrorTrap trap(dpy);
  int count = 0;
  XRRMonitorInfo* info = XRRGetMonitors(dpy, connection.root(), True, &count);
  bool havePrimary = false;
  for (int i = 0; info && i < count; ++i) {
    const auto& m = info[i];
    layout.monitors.push_back(
        CGRect{{double(m.x), double(m.y)}, {double(m.width), double(m.height)}});
    if (m.primary && !havePrimary) {
      layout.primary = size_t(i);
      havePrimary = true;
    } else if (!havePrimary && m.x == 0 && m.y == 0) {
      layout.primary = size_t(i);  // no primary set (plain Xvfb): the monitor at the origin
    }
  }
  if (info) XRRFreeMonitors(info);
  return layout;
}

struct SystemX11::Impl {
  std::shared_ptr<XConnection> connection;
  bool xtest = false;
  bool randrMonitors = false;
  Atom wmCheck, clientListStacking, clientList, wmPid, wmName, utf8String, wmState, windowType,
      windowTypeDesktop;

  Display* dpy() const { return connection->display(); }

  bool liveWindowManager() {
    XProperty check = GetProperty(dpy(), connection->root(), wmCheck, XA_WINDOW);
    if (check.count != 1) return false;
    Window wm = *reinterpret_cast<const long*>(check.data.get());
    // A manager that has exited leaves the hint behind, pointing at a dead window.
    XProperty self = GetProperty(dpy(), wm, wmCheck, XA_WINDOW);
    return self.count == 1 && Window(*reinterpret_cast<const long*>(self.data.get())) == wm;
  }

  bool hasProperty(Window w, Atom property) {
    return GetProperty(dpy(), w, property, AnyPropertyType).data != nullptr;
  }

  // The client window inside a top-level (a WM frame, or the client itself).
  Window clientOf(Window w, int depth) {
    if (hasProperty(w, wmState)) return w;
    if (depth >= kMaxFrameDepth) return None;
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    XErrorTrap trap(dpy());
    if (!XQueryTree(dpy(), w, &root, &parent, &children, &count) || trap.error()) return None;
    XUniquePtr<Window> owned(children);
    for (unsigned int i = count; i-- > 0;) {  // topmost first
      if (Window c = clientOf(children[i], depth + 1)) return c;
    }
    return None;
  }

  std::vector<Window> topLevels() {
    std::vector<Window> out;
    if (liveWindowManager()) {
      XProperty list = GetProperty(dpy(), connection->root(), clientListStacking, XA_WINDOW);
      if (!list.data) list = GetProperty(dpy(), connection->root(), clientList, XA_WINDOW);
      const long* ids = reinterpret_cast<const long*>(list.data.get());
      for (unsigned long i = 0; i < list.count; ++i) out.push_back(Window(ids[i]));
      if (!out.empty()) return out;
    }
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    XErrorTrap trap(dpy());
    if (!XQueryTree(dpy(), connection->root(), &root, &parent, &children, &count)) return out;
    XUniquePtr<Window> owned(children);
    for (unsigned int i = 0; i < count; ++i) {
      Window client = clientOf(children[i], 0);
      out.push_back(client ? client : children[i]);
    }
    return out;
  }

  std::optional<std::string> title(Window w) {
    XProperty name = GetProperty(dpy(), w, wmName, utf8String);
    if (name.data && name.format == 8) {
      return std::string(reinterpret_cast<const char*>(name.data.get()), name.count);
    }
    name = GetProperty(dpy(), w, XA_WM_NAME, AnyPropertyType);
    if (!name.data || name.format != 8) return std::nullopt;
    if (name.type == XA_STRING) return Latin1ToUtf8(name.data.get(), name.count);
    if (name.type == utf8String) {
      return std::string(reinterpret_cast<const char*>(name.data.get()), name.count);
    }
    XTextProperty text{name.data.get(), name.type, name.format, name.count};
    char** list = nullptr;
    int count = 0;
    std::string out;
    if (Xutf8TextPropertyToTextList(dpy(), &text, &list, &count) >= Success && list) {
      for (int i = 0; i < count; ++i) out += list[i];
      XFreeStringList(list);
    }
    return out;
  }

  std::optional<std::string> ownerName(Window w, std::optional<int64_t> pid) {
    if (pid) {
      std::ifstream comm("/proc/" + std::to_string(*pid) + "/comm");
      std::string name;
      if (std::getline(comm, name) && !name.empty()) return name;
    }
    XProperty cls = GetProperty(dpy(), w, XA_WM_CLASS, XA_STRING);
    if (!cls.data || cls.format != 8) return std::nullopt;
    // WM_CLASS is "instance\0class\0": the class names the application.
    std::string both(reinterpret_cast<const char*>(cls.data.get()), cls.count);
    auto nul = both.find('\0');
    if (nul == std::string::npos) return both;
    std::string klass = both.substr(nul + 1);
    if (!klass.empty() && klass.back() == '\0') klass.pop_back();
    return klass;
  }

  bool isDesktop(Window w) {
    XProperty type = GetProperty(dpy(), w, windowType, XA_ATOM);
    const long* atoms = reinterpret_cast<const long*>(type.data.get());
    for (unsigned long i = 0; i < type.count; ++i) {
      if (Atom(atoms[i]) == windowTypeDesktop) return true;
    }
    return false;
  }

  CFWindowEntry entry(Window w) {
    CFDictionary d;
    d[kCGWindowNumber] = int64_t(w);
    std::optional<int64_t> pid;
    XProperty pidProperty = GetProperty(dpy(), w, wmPid, XA_CARDINAL);
    if (pidProperty.count == 1 && pidProperty.format == 32) {
      pid = int64_t(*reinterpret_cast<const unsigned long*>(pidProperty.data.get()) & 0xffffffffu);
      d[kCGWindowOwnerPID] = *pid;
    }
    if (auto owner = ownerName(w, pid)) d[kCGWindowOwnerName] = *owner;
    if (auto name = title(w)) d[kCGWindowName] = *name;
    return d;
  }
};

SystemX11::SystemX11(std::shared_ptr<XConnection> connection, bool hasXTest)
    : impl_(std::make_unique<Impl>()) {
  impl_->connection = std::move(connection);
  impl_->xtest = hasXTest;
  std::lock_guard lock(impl_->connection->mutex());
  Display* dpy = impl_->dpy();
  impl_->wmCheck = XInternAtom(dpy, "_NET_SUPPORTING_WM_CHECK", False);
  impl_->clientListStacking = XInternAtom(dpy, "_NET_CLIENT_LIST_STACKING", False);
  impl_->clientList = XInternAtom(dpy, "_NET_CLIENT_LIST", False);
  impl_->wmPid = XInternAtom(dpy, "_NET_WM_PID", False);
  impl_->wmName = XInternAtom(dpy, "_NET_WM_NAME", False);
  impl_->utf8String = XInternAtom(dpy, "UTF8_STRING", False);
  impl_->wmState = XInternAtom(dpy, "WM_STATE", False);
  impl_->windowType = XInternAtom(dpy, "_NET_WM_WINDOW_TYPE", False);
  impl_->windowTypeDesktop = XInternAtom(dpy, "_NET_WM_WINDOW_TYPE_DESKTOP", False);
  impl_->randrMonitors = HasRandrMonitors(*impl_->connection);
}

SystemX11::~SystemX11() = default;

std::optional<std::vector<CFWindowEntry>> SystemX11::windowList(uint32_t option, uint32_t) {
  std::lock_guard lock(impl_->connection->mutex());
  if (impl_->connection->lost()) return std::nullopt;
  std::vector<CFWindowEntry> out;
  // Windows may vanish between the listing and the reads: their errors land in this trap.
  XErrorTrap trap(impl_->dpy());
  for (Window w : impl_->topLevels()) {
    if ((option & kCGWindowListExcludeDesktopElements) && impl_->isDesktop(w)) continue;
    out.push_back(impl_->entry(w));
  }
  trap.sync();
  return out;
}

int32_t SystemX11::processIdentifier() {
  return static_cast<int32_t>(getpid());
}

std::vector<CGRect> SystemX11::screens() {
  std::lock_guard lock(impl_->connection->mutex());
  if (impl_->connection->lost()) return {};
  Display* dpy = impl_->dpy();
  MonitorLayout layout;
  if (impl_->randrMonitors) layout = ReadMonitorLayout(*impl_->connection);
  if (impl_->connection->lost()) return {};
  if (layout.monitors.empty()) {
    int screen = DefaultScreen(dpy);
    layout.monitors.push_back(
        CGRect{{0, 0}, {double(DisplayWidth(dpy, screen)), double(DisplayHeight(dpy, screen))}});
  }
  return ToScreenFrames(layout.monitors, layout.primary);
}

OperatingSystemVersion SystemX11::operatingSystemVersion() {
  OperatingSystemVersion v;
  utsname name{};
  if (uname(&name) == 0) {
    long long major = 0, minor = 0, patch = 0;
    std::sscanf(name.release, "%lld.%lld.%lld", &major, &minor, &patch);
    v = {major, minor, patch};
  }
  return v;
}

bool SystemX11::requestScreenCaptureAccess() {
  return true;
}

bool SystemX11::openURL(const std::string&) {
  return false;
}

bool SystemX11::isProcessTrusted(bool) {
  return impl_->xtest;
}

}  // namespace desktop::x11
