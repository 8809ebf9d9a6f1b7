#include "platform/desktop/Desktop.h"

#include <mutex>

namespace desktop {
namespace {
std::mutex g_mutex;
std::shared_ptr<const Desktop> g_desktop = std::make_shared<Desktop>();
}  // namespace

std::shared_ptr<const Desktop> InstallDesktop(std::shared_ptr<const Desktop> desktop) {
  std::lock_guard lock(g_mutex);
  auto previous = std::move(g_desktop);
  g_desktop = desktop ? std::move(desktop) : std::make_shared<Desktop>();
  return previous;
}

std::shared_ptr<const Desktop> CurrentDesktop() {
  std::lock_guard lock(g_mutex);
  return g_desktop;
}

}  // namespace desktop
