// The application delegate of TavrinDesk: keeps the display and the machine awake while the
// application runs, and logs activation changes. Main thread only, but for
// releaseDisplayAssertionNow.
#pragma once

#include <mutex>
#include <string>

#include "platform/desktop/IOKit.h"
#include "platform/flutter/NSApplication.h"

namespace tavrindesk {

class AppDelegate : public flutter::FlutterAppDelegate {
 public:
  void init() override;

  void applicationDidFinishLaunching(flutter::NSApplication& app) override;
  flutter::NSApplicationTerminateReply applicationShouldTerminate(
      flutter::NSApplication& app) override;
  bool applicationShouldTerminateAfterLastWindowClosed(flutter::NSApplication&) override {
    return true;
  }
  bool applicationSupportsSecureRestorableState(flutter::NSApplication&) override { return true; }
  void applicationDidBecomeActive(flutter::NSApplication& app) override;
  void applicationWillResignActive(flutter::NSApplication& app) override;

  // Takes the display-sleep assertion unless it is already held.
  void disableScreenSleep(const std::string& reason);
  // Gives the display-sleep assertion back if it is held.
  void enableScreenSleep();
  // Takes the idle-sleep assertion; it lasts until the process ends.
  void preventAppNap();
  // Gives the display-sleep assertion back without a word: for a stop that cannot wait for the
  // main thread (which may be stuck writing to standard output). Any thread.
  void releaseDisplayAssertionNow();

  // Written under assertionMutex (read freely on the main thread).
  bool sleepDisabled = false;
  desktop::IOPMAssertionID assertionID = 0;

 private:
  std::mutex assertionMutex;
};

}  // namespace tavrindesk
