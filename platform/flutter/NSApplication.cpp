#include "platform/flutter/NSApplication.h"

#include <algorithm>

namespace flutter {
namespace {
NSApplication* g_shared = nullptr;
}

FlutterViewController::FlutterViewController() {
  auto* app = NSApplication::sharedApplication();
  engine_ = std::make_shared<FlutterEngine>(app ? &app->mainLoop() : nullptr);
}

void NSWindow::initWithContentRect(desktop::CGRect contentRect, uint64_t, uint64_t, bool) {
  frame_ = contentRect;
  visible_ = true;
}

void NSWindow::setFrame(desktop::CGRect frame, bool display) {
  frame_ = frame;
  if (display) visible_ = !closed_;
}

void NSWindow::setContentViewController(std::shared_ptr<FlutterViewController> controller) {
  controller_ = std::move(controller);
  if (!controller_) return;
  // Bottom-left origin: keeping the top edge means moving the origin by the height change.
  auto size = controller_->preferredContentSize();
  frame_.origin.y += frame_.size.height - size.height;
  frame_.size = size;
}

void NSWindow::close() {
  if (closed_) return;
  closed_ = true;
  visible_ = false;
  if (auto* app = NSApplication::sharedApplication()) app->windowDidClose(this);
}

NSApplication::NSApplication() {
  if (g_shared == nullptr) g_shared = this;
}

NSApplication::~NSApplication() {
  if (g_shared == this) g_shared = nullptr;
}

NSApplication* NSApplication::sharedApplication() {
  return g_shared;
}

void NSApplication::addWindow(std::shared_ptr<NSWindow> window) {
  windows_.push_back(std::move(window));
}

void NSApplication::windowDidClose(NSWindow* window) {
  auto it = std::find_if(windows_.begin(), windows_.end(),
                         [window](const auto& w) { return w.get() == window; });
  if (it != windows_.end()) windows_.erase(it);
  if (windows_.empty() && delegate_ &&
      delegate_->applicationShouldTerminateAfterLastWindowClosed(*this)) {
    terminate();
  }
}

void NSApplication::finishLaunching() {
  if (delegate_) delegate_->applicationDidFinishLaunching(*this);
  setActive(true);
}

void NSApplication::setActive(bool active) {
  if (active == active_ || terminated_) return;
  active_ = active;
  if (!delegate_) return;
  if (active) {
    delegate_->applicationDidBecomeActive(*this);
  } else {
    delegate_->applicationWillResignActive(*this);
  }
}

void NSApplication::terminate() {
  if (terminated_) return;
  if (delegate_ && delegate_->applicationShouldTerminate(*this) == NSTerminateCancel) return;
  terminated_ = true;
  loop_.quit(0);
}

}  // namespace flutter
