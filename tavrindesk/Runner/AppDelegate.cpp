#include "tavrindesk/Runner/AppDelegate.h"

#include <cstdio>

namespace tavrindesk {
namespace {
void PrintLine(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}
}  // namespace

void AppDelegate::init() {
  sleepDisabled = false;
  assertionID = 0;
  FlutterAppDelegate::init();
}

void AppDelegate::applicationDidFinishLaunching(flutter::NSApplication&) {
  disableScreenSleep("Disabling Screen sleep");
  preventAppNap();
  PrintLine(sleepDisabled ? "sleep Disabled: true" : "sleep Disabled: false");
}

flutter::NSApplicationTerminateReply AppDelegate::applicationShouldTerminate(
    flutter::NSApplication&) {
  enableScreenSleep();
  return flutter::NSTerminateNow;
}

void AppDelegate::applicationDidBecomeActive(flutter::NSApplication&) {
  PrintLine("applicationDidBecomeActive");
}

void AppDelegate::applicationWillResignActive(flutter::NSApplication&) {
  PrintLine("applicationWillResignActive");
}

void AppDelegate::disableScreenSleep(const std::string& reason) {
  if (sleepDisabled) return;
  auto result =
      desktop::IOPMAssertionCreateWithName(desktop::kIOPMAssertionTypeNoDisplaySleep,
                                           desktop::kIOPMAssertionLevelOn, reason, &assertionID);
  if (result == desktop::kIOReturnSuccess) {
    {
      std::lock_guard lock(assertionMutex);
      sleepDisabled = true;
    }
    PrintLine("Screen sleep disabled");
  } else {
    PrintLine("Failed to disable screen sleep");
  }
}

void AppDelegate::enableScreenSleep() {
  {
    std::lock_guard lock(assertionMutex);
    if (!sleepDisabled) return;
    desktop::IOPMAssertionRelease(assertionID);
    sleepDisabled = false;
  }
  PrintLine("Screen sleep enabled");
}

void AppDelegate::releaseDisplayAssertionNow() {
  std::lock_guard lock(assertionMutex);
  if (!sleepDisabled) return;
  desktop::IOPMAssertionRelease(assertionID);
  sleepDisabled = false;
}

void AppDelegate::preventAppNap() {
  desktop::IOPMAssertionID idleAssertion = 0;
  auto result = desktop::IOPMAssertionCreateWithName(desktop::kIOPMAssertionTypeNoIdleSleep,
                                                     desktop::kIOPMAssertionLevelOn,
                                                     "Prevent App Nap", &idleAssertion);
  if (result == desktop::kIOReturnSuccess) PrintLine("App Nap disabled");
}

}  // namespace tavrindesk
