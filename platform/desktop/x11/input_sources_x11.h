// The XKB groups of the core keyboard as keyboard input sources (platform thread).
//
// Each group is one select-capable source of the keyboard category, its localised name the
// group's XKB name ("English (US)", "German"), its identifier "xkb:<group>:<layout>" with the
// layout code from _XKB_RULES_NAMES where the rules name one ("xkb:1:de"). X knows no enabled-
// versus-installed distinction, so both lists are the same. The current source is the effective
// group; selecting locks the group. A keymap reloaded between listing and selecting (the group
// now has another identifier) makes the selection fail with paramErr (-50).
#pragma once

#include <memory>

#include "platform/desktop/Desktop.h"

namespace desktop::x11 {

class XConnection;

class InputSourcesX11 final : public InputSourceService {
 public:
  explicit InputSourcesX11(std::shared_ptr<XConnection> connection);
  ~InputSourcesX11() override;
  InputSourcesX11(const InputSourcesX11&) = delete;
  InputSourcesX11& operator=(const InputSourcesX11&) = delete;

  std::optional<std::vector<TISInputSourceRef>> inputSources(bool includeAllInstalled) override;
  TISInputSourceRef currentKeyboardInputSource() override;
  int32_t selectInputSource(const TISInputSourceRef& source) override;

 private:
  std::shared_ptr<XConnection> connection_;
};

}  // namespace desktop::x11
