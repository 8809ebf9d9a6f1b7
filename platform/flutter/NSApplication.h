// The application object, its delegate protocol, windows and the Flutter view controller: the
// small part of AppKit and the Flutter embedding that a runner is written against.
//
// NSApplication owns the main run loop (the platform thread's task loop). It delivers launch,
// activation and termination to its delegate; terminate() asks the delegate and, on
// NSTerminateNow, ends the run loop with status 0. Everything here runs on the main thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/geometry.h"
#include "platform/flutter/FlutterEngine.h"
#include "platform/flutter/TaskLoop.h"

namespace flutter {

class NSApplication;

enum NSApplicationTerminateReply {
  NSTerminateCancel = 0,
  NSTerminateNow = 1,
  NSTerminateLater = 2
};

// The delegate protocol, with the platform's defaults.
class NSApplicationDelegate {
 public:
  virtual ~NSApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching(NSApplication&) {}
  virtual NSApplicationTerminateReply applicationShouldTerminate(NSApplication&) {
    return NSTerminateNow;
  }
  virtual bool applicationShouldTerminateAfterLastWindowClosed(NSApplication&) { return false; }
  virtual bool applicationSupportsSecureRestorableState(NSApplication&) { return false; }
  virtual void applicationDidBecomeActive(NSApplication&) {}
  virtual void applicationWillResignActive(NSApplication&) {}
};

// The Flutter embedding's application delegate base class.
class FlutterAppDelegate : public NSApplicationDelegate {
 public:
  virtual void init() {}
};

// Hosts a Flutter engine; the registry through which plugins are registered.
class FlutterViewController : public FlutterPluginRegistry {
 public:
  // The engine runs on the shared application's main loop when there is one.
  FlutterViewController();
  std::shared_ptr<FlutterPluginRegistrar> registrarForPlugin(
      const std::string& pluginKey) override {
    return engine_->registrarForPlugin(pluginKey);
  }
  const std::shared_ptr<FlutterEngine>& engine() const { return engine_; }
  // The size the view asks for when it becomes a window's content.
  desktop::CGSize preferredContentSize() const { return {800, 600}; }

 private:
  std::shared_ptr<FlutterEngine> engine_;
};

class NSWindow : public std::enable_shared_from_this<NSWindow> {
 public:
  virtual ~NSWindow() = default;

  virtual void initWithContentRect(desktop::CGRect contentRect, uint64_t styleMask,
                                   uint64_t backing, bool defer);
  // Called once the window has been loaded from the main interface.
  virtual void awakeFromNib() {}

  desktop::CGRect frame() const { return frame_; }
  void setFrame(desktop::CGRect frame, bool display);
  // Installing a controller resizes the window to the controller's preferred size, keeping
  // its top-left corner, as the platform does.
  void setContentViewController(std::shared_ptr<FlutterViewController> controller);
  const std::shared_ptr<FlutterViewController>& contentViewController() const {
    return controller_;
  }
  // Closes the window; the application may terminate after its last window closed.
  void close();
  bool isVisible() const { return visible_; }

 private:
  desktop::CGRect frame_{{0, 0}, {0, 0}};
  std::shared_ptr<FlutterViewController> controller_;
  bool visible_ = false;
  bool closed_ = false;
};

class NSApplication {
 public:
  NSApplication();
  ~NSApplication();

  // The application of the process (null before one is made).
  static NSApplication* sharedApplication();

  TaskLoop& mainLoop() { return loop_; }
  void setDelegate(std::shared_ptr<NSApplicationDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  const std::shared_ptr<NSApplicationDelegate>& delegate() const { return delegate_; }

  void addWindow(std::shared_ptr<NSWindow> window);
  std::vector<std::shared_ptr<NSWindow>> windows() const { return windows_; }
  // A window closed; with none left and the delegate's consent, the application terminates.
  void windowDidClose(NSWindow* window);

  // Delivers applicationDidFinishLaunching, then activation.
  void finishLaunching();
  void setActive(bool active);
  bool isActive() const { return active_; }

  // Asks the delegate; terminates (ends the run loop with status 0) unless it cancels.
  void terminate();
  bool isTerminated() const { return terminated_.load(); }

  // Runs the main loop until termination; returns its status.
  int run() { return loop_.run(); }

 private:
  TaskLoop loop_;
  std::shared_ptr<NSApplicationDelegate> delegate_;
  std::vector<std::shared_ptr<NSWindow>> windows_;
  bool active_ = false;
  std::atomic<bool> terminated_{false};
};

}  // namespace flutter
