#include "platform/desktop/x11/input_sources_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>

#include "platform/desktop/ApplicationServices.h"
#include "platform/desktop/x11/x11_connection.h"

namespace desktop::x11 {
namespace {

constexpr int32_t kParamErr = -50;

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    auto comma = text.find(',', start);
    out.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

// The layout codes of the groups, from the rules names setxkbmap leaves on the root:
// "rules\0model\0layout\0variant\0options".
std::vector<std::string> LayoutCodes(Display* dpy, Window root) {
  Atom rulesNames = XInternAtom(dpy, "_XKB_RULES_NAMES", True);
  if (rulesNames == None) return {};
  XProperty p = GetProperty(dpy, root, rulesNames, XA_STRING);
  if (!p.data || p.format != 8) return {};
  std::vector<std::string> fields;
  std::string all(reinterpret_cast<const char*>(p.data.get()), p.count);
  size_t start = 0;
  while (start <= all.size() && fields.size() < 4) {
    auto nul = all.find('\0', start);
    fields.push_back(all.substr(start, nul == std::string::npos ? nul : nul - start));
    if (nul == std::string::npos) break;
    start = nul + 1;
  }
  if (fields.size() < 3) return {};
  auto layouts = Split(fields[2]);
  auto variants = fields.size() > 3 ? Split(fields[3]) : std::vector<std::string>{};
  for (size_t i = 0; i < layouts.size() && i < variants.size(); ++i) {
    if (!variants[i].empty()) layouts[i] += "(" + variants[i] + ")";
  }
  return layouts;
}

struct KeyboardDeleter {
  void operator()(XkbDescPtr desc) const { XkbFreeKeyboard(desc, 0, True); }
};

std::vector<TISInputSourceRef> Groups(Display* dpy, Window root) {
  std::vector<TISInputSourceRef> out;
  std::unique_ptr<XkbDescRec, KeyboardDeleter> desc(XkbAllocKeyboard());
  if (!desc) return out;
  desc->device_spec = XkbUseCoreKbd;
  if (XkbGetControls(dpy, XkbAllControlsMask, desc.get()) != Success || !desc->ctrls) return out;
  if (XkbGetNames(dpy, XkbGroupNamesMask, desc.get()) != Success || !desc->names) return out;
  auto codes = LayoutCodes(dpy, root);
  int groups = std::min<int>(desc->ctrls->num_groups, XkbNumKbdGroups);
  for (int i = 0; i < groups; ++i) {
    std::string name;
    if (Atom atom = desc->names->groups[i]) {
      XUniquePtr<char> text(XGetAtomName(dpy, atom));
      if (text) name = text.get();
    }
    std::string code = i < int(codes.size()) ? codes[i] : name;
    auto source = std::make_shared<TISInputSource>();
    source->identifier = "xkb:" + std::to_string(i) + ":" + code;
    source->properties[kTISPropertyInputSourceCategory] =
        std::string(kTISCategoryKeyboardInputSource);
    source->properties[kTISPropertyInputSourceIsSelectCapable] = true;
    source->properties[kTISPropertyLocalizedName] = name;
    source->properties[kTISPropertyInputSourceID] = source->identifier;
    out.push_back(source);
  }
  return out;
}

}  // namespace

InputSourcesX11::InputSourcesX11(std::shared_ptr<XConnection> connection)
    : connection_(std::move(connection)) {}

InputSourcesX11::~InputSourcesX11() = default;

std::optional<std::vector<TISInputSourceRef>> InputSourcesX11::inputSources(bool) {
  std::lock_guard lock(connection_->mutex());
  if (connection_->lost()) return std::nullopt;
  XErrorTrap trap(connection_->display());
  return Groups(connection_->display(), connection_->root());
}

TISInputSourceRef InputSourcesX11::currentKeyboardInputSource() {
  std::lock_guard lock(connection_->mutex());
  if (connection_->lost()) return nullptr;
  Display* dpy = connection_->display();
  XErrorTrap trap(dpy);
  XkbStateRec state{};
  if (XkbGetState(dpy, XkbUseCoreKbd, &state) != Success) return nullptr;
  auto groups = Groups(dpy, connection_->root());
  return state.group < groups.size() ? groups[state.group] : nullptr;
}

int32_t InputSourcesX11::selectInputSource(const TISInputSourceRef& source) {
  if (!source) return kParamErr;
  std::lock_guard lock(connection_->mutex());
  if (connection_->lost()) return kParamErr;
  Display* dpy = connection_->display();
  XErrorTrap trap(dpy);
  auto groups = Groups(dpy, connection_->root());
  for (size_t i = 0; i < groups.size(); ++i) {
    if (groups[i]->identifier != source->identifier) continue;
    XkbLockGroup(dpy, XkbUseCoreKbd, unsigned(i));
    return trap.sync() ? kParamErr : 0;
  }
  return kParamErr;
}

}  // namespace desktop::x11
