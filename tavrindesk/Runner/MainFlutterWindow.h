// The main window: installs the Flutter view controller when it is loaded from the main
// interface, keeping the frame the interface gave it, and registers every plugin.
#pragma once

#include "platform/flutter/NSApplication.h"

namespace tavrindesk {

class MainFlutterWindow : public flutter::NSWindow {
 public:
  void initWithContentRect(desktop::CGRect contentRect, uint64_t styleMask, uint64_t backing,
                           bool defer) override {
    NSWindow::initWithContentRect(contentRect, styleMask, backing, defer);
  }
  void awakeFromNib() override;
};

}  // namespace tavrindesk
