// The X11 desktop: every desktop service (Desktop.h) over a live X display.
//
//   display, cursor   the whole root window through MIT-SHM (XGetImage where the segment cannot
//                     be attached), the cursor through XFixes;
//   events            XTest input; modifiers follow the keys really held (see events_x11.h);
//   inputSources      the XKB groups of the core keyboard;
//   system            top-level client windows, XRandR monitors, XTest as accessibility trust;
//   power             screen-saver suspension (and DPMS off), logind idle inhibitor.
//
// Threads: the capture thread calls display and cursor; the platform thread calls the rest. The
// two groups talk to the server over two separate connections, each behind its own mutex, so that
// neither waits on the other and Xlib is never entered twice on one connection.
//
// Losing the display (the X server exits or is killed) does not end the process: the backend
// logs one line on standard error ("x11: lost the connection to X display ..."), and from then
// on every service answers "nothing" without touching Xlib: no image (the capture loop sends no
// frames), no cursor, no screens, no window list, no input sources, injected input dropped,
// cursor location (0, 0), power assertions held without effect. The backend does not reconnect;
// the host keeps serving its channels with what is left.
#pragma once

#include <memory>
#include <string>

#include "platform/desktop/Desktop.h"

namespace desktop::x11 {

// Opens `displayName` (empty: $DISPLAY) and builds the services. Null, with a one-line reason in
// `*error` (when given), if the display cannot be opened or lacks XKEYBOARD. Missing optional
// extensions degrade one service each: no MIT-SHM → XGetImage; no XFixes → no cursor; no XTEST →
// no event source and no accessibility trust; no RandR → one screen the size of the root; no
// MIT-SCREEN-SAVER → display-sleep assertions are refused.
__attribute__((visibility("default"))) std::shared_ptr<Desktop> CreateX11Desktop(
    const std::string& displayName, std::string* error);

}  // namespace desktop::x11
