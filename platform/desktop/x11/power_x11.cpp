#include "platform/desktop/x11/power_x11.h"

#include <X11/Xlib.h>
// dpms.h needs Xlib first.
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/desktop/IOKit.h"
#include "platform/desktop/x11/x11_connection.h"

namespace desktop::x11 {
namespace {

constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xe00002c2);
constexpr uint64_t kLogindTimeoutUs = 3'000'000;

// Asks logind for an idle:sleep block inhibitor. The lock lasts while the returned descriptor is
// open. -1 (with the reason in *why) where there is no system bus or no logind on it.
int InhibitIdleSleep(const std::string& reason, std::string* why) {
  sd_bus* bus = nullptr;
  int r = sd_bus_open_system(&bus);
  if (r < 0) {
    *why = std::string("system bus: ") + strerror(-r);
    return -1;
  }
  sd_bus_set_method_call_timeout(bus, kLogindTimeoutUs);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int fd = -1;
  r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                         "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                         "idle:sleep", "TavrinDesk", reason.c_str(), "block");
  if (r < 0) {
    *why = std::string("logind: ") + (error.message ? error.message : strerror(-r));
  } else {
    int borrowed = -1;
    r = sd_bus_message_read(reply, "h", &borrowed);
    // The message owns its descriptor: keep a duplicate of our own.
    if (r >= 0) fd = fcntl(borrowed, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) *why = "logind: no descriptor in the reply";
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  return fd;
}

}  // namespace

struct PowerX11::Impl {
  struct Hold {
    int inhibitFd = -1;  // ≥ 0: a logind inhibitor; else a screen-saver hold
  };

  std::shared_ptr<XConnection> connection;
  mutable std::mutex mutex;  // order: this, then the connection's
  bool screenSaver = false;
  bool dpms = false;
  int screenSaverHolds = 0;
  bool dpmsWasEnabled = false;
  std::map<uint32_t, Hold> holds;
  uint32_t nextID = 1;

  bool suspendScreenSaver() {
    if (!screenSaver && !dpms) return false;
    if (screenSaverHolds++ > 0) return true;
    std::lock_guard lock(connection->mutex());
    if (connection->lost()) return true;  // no server left to blank the screen
    Display* dpy = connection->display();
    XErrorTrap trap(dpy);
    if (screenSaver) XScreenSaverSuspend(dpy, True);
    dpmsWasEnabled = false;
    if (dpms) {
      CARD16 level = 0;
      BOOL enabled = False;
      if (DPMSInfo(dpy, &level, &enabled) && enabled) {
        dpmsWasEnabled = true;
        DPMSDisable(dpy);
      }
    }
    trap.sync();
    return true;
  }

  void resumeScreenSaver() {
    if (screenSaverHolds == 0 || --screenSaverHolds > 0) return;
    std::lock_guard lock(connection->mutex());
    if (connection->lost()) return;
    Display* dpy = connection->display();
    XErrorTrap trap(dpy);
    if (screenSaver) XScreenSaverSuspend(dpy, False);
    if (dpmsWasEnabled) DPMSEnable(dpy);
    trap.sync();
  }

  void release(Hold& hold) {
    if (hold.inhibitFd >= 0) {
      close(hold.inhibitFd);
    } else {
      resumeScreenSaver();
    }
  }
};

PowerX11::PowerX11(std::shared_ptr<XConnection> connection) : impl_(std::make_unique<Impl>()) {
  impl_->connection = std::move(connection);
  std::lock_guard lock(impl_->connection->mutex());
  Display* dpy = impl_->connection->display();
  int eventBase, errorBase, major = 0, minor = 0;
  impl_->screenSaver = XScreenSaverQueryExtension(dpy, &eventBase, &errorBase) &&
                       XScreenSaverQueryVersion(dpy, &major, &minor) &&
                       (major > 1 || (major == 1 && minor >= 1));  // Suspend is 1.1
  impl_->dpms = DPMSQueryExtension(dpy, &eventBase, &errorBase) && DPMSCapable(dpy);
}

PowerX11::~PowerX11() {
  std::lock_guard lock(impl_->mutex);
  for (auto& [id, hold] : impl_->holds) impl_->release(hold);
  impl_->holds.clear();
}

int32_t PowerX11::createAssertion(const std::string& type, uint32_t, const std::string& name,
                                  uint32_t* assertionID) {
  if (!assertionID) return kIOReturnBadArgument;
  std::lock_guard lock(impl_->mutex);
  Impl::Hold hold;
  if (type == kIOPMAssertionTypeNoIdleSleep) {
    std::string why;
    hold.inhibitFd = InhibitIdleSleep(name, &why);
    if (hold.inhibitFd < 0) {
      std::fprintf(stderr, "x11: no idle-sleep inhibitor (%s); suspending the screen saver\n",
                   why.c_str());
      if (!impl_->suspendScreenSaver()) return kIOReturnError;
    }
  } else if (type == kIOPMAssertionTypeNoDisplaySleep) {
    if (!impl_->suspendScreenSaver()) return kIOReturnError;
  } else {
    return kIOReturnBadArgument;
  }
  uint32_t id = impl_->nextID++;
  impl_->holds[id] = hold;
  *assertionID = id;
  return kIOReturnSuccess;
}

int32_t PowerX11::releaseAssertion(uint32_t assertionID) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->holds.find(assertionID);
  if (it == impl_->holds.end()) return kIOReturnBadArgument;
  impl_->release(it->second);
  impl_->holds.erase(it);
  return kIOReturnSuccess;
}

std::string PowerX11::holdKind(uint32_t assertionID) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->holds.find(assertionID);
  if (it == impl_->holds.end()) return "";
  return it->second.inhibitFd >= 0 ? "logind" : "screensaver";
}

}  // namespace desktop::x11
