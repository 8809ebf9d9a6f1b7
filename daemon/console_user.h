// The user at the console: the stand-in for asking the dynamic store for its console user.
//
// The answer is the user of logind's active session on seat0, the seat of the local screen and
// keyboard, where logind names one (its runtime directory /run/systemd/seats exists and seat0 has
// an active session of a known user). Otherwise it is the most recent local login recorded in
// utmp. Any name is returned unchanged, including that
// of a display manager's greeter user, the counterpart of the login window's pseudo-user.
#pragma once

#include <optional>
#include <string>

namespace tavrin {

// The console user's short name, or none when nobody is logged in at the console. Reads the
// system afresh on every call. Called on the daemon's only thread.
std::optional<std::string> CopyConsoleUser();

// The last USER_PROCESS record in the utmp file at `path` whose line is a local terminal
// ("console", "tty" + digits, or an X display ":" + digits) and whose host is empty or a local
// display. None when the file cannot be read or holds no such record.
std::optional<std::string> ConsoleUserFromUtmp(const std::string& path);

}  // namespace tavrin
