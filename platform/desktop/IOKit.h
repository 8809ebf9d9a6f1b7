// IOKit power-management assertions, routed to the current desktop.
#pragma once

#include <cstdint>
#include <string>

namespace desktop {

using IOPMAssertionID = uint32_t;
using IOPMAssertionLevel = uint32_t;
using IOReturn = int32_t;

inline constexpr const char* kIOPMAssertionTypeNoDisplaySleep = "NoDisplaySleepAssertion";
inline constexpr const char* kIOPMAssertionTypeNoIdleSleep = "NoIdleSleepAssertion";
inline constexpr IOPMAssertionLevel kIOPMAssertionLevelOn = 255;
inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xe00002bc);

IOReturn IOPMAssertionCreateWithName(const std::string& assertionType,
                                     IOPMAssertionLevel assertionLevel,
                                     const std::string& assertionName,
                                     IOPMAssertionID* assertionID);
IOReturn IOPMAssertionRelease(IOPMAssertionID assertionID);

}  // namespace desktop
