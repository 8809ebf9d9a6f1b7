#include "tavrindesk/Runner/MainFlutterWindow.h"

#include "tavrindesk/Runner/GeneratedPluginRegistrant.h"

namespace tavrindesk {

void MainFlutterWindow::awakeFromNib() {
  auto flutterViewController = std::make_shared<flutter::FlutterViewController>();
  auto windowFrame = frame();
  setContentViewController(flutterViewController);
  setFrame(windowFrame, true);
  RegisterGeneratedPlugins(*flutterViewController);
  NSWindow::awakeFromNib();
}

}  // namespace tavrindesk
