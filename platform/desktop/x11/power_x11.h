// Power assertions on X (platform thread).
//
// "NoDisplaySleepAssertion": the screen saver is suspended (XScreenSaverSuspend, which also
// holds the DPMS timers) and, where the server has DPMS and it is enabled, DPMS is switched off;
// both come back as they were when the last such hold is released. Needs MIT-SCREEN-SAVER or
// DPMS; with neither the assertion is refused (kIOReturnError).
// "NoIdleSleepAssertion": a logind "idle:sleep" block inhibitor over the system bus
// ($DBUS_SYSTEM_BUS_ADDRESS or the default socket), held as the file descriptor logind returns;
// where no logind answers, the screen-saver suspension above stands in for it.
// The suspension belongs to this process's control connection and ends with it, so a crashed
// process never leaves the screen saver off. The destructor releases everything still held.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/desktop/Desktop.h"

namespace desktop::x11 {

class XConnection;

class PowerX11 final : public PowerService {
 public:
  explicit PowerX11(std::shared_ptr<XConnection> connection);
  ~PowerX11() override;
  PowerX11(const PowerX11&) = delete;
  PowerX11& operator=(const PowerX11&) = delete;

  int32_t createAssertion(const std::string& type, uint32_t level, const std::string& name,
                          uint32_t* assertionID) override;
  int32_t releaseAssertion(uint32_t assertionID) override;

  // How an assertion is held, for tests: "logind", "screensaver" or "" (unknown id).
  std::string holdKind(uint32_t assertionID) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace desktop::x11
