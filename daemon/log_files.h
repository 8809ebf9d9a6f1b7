// The daemon's two log files and its one way of writing a line.
//
// Standard output goes to /tmp/tavrin/daemon.log and standard error to
// /tmp/tavrin/daemon_error.log, both appended to and never truncated. The daemon runs as root
// and /tmp is writable by everybody, so nothing there is trusted:
//   - /tmp/tavrin must be a real directory (not a symbolic link) owned by the daemon's user and
//     writable by nobody else;
//   - each log is opened without following a symbolic link (O_NOFOLLOW, O_APPEND, O_CREAT, 0644)
//     and must turn out to be a regular file of the daemon's user with a single link, so a hard
//     link planted before the directory was secured is refused too.
// A stream whose log is not safe stays on what the daemon inherited, and gets one line saying so.
// Each log is kept bounded: past kLogRotateBytes it becomes "<name>.1", replacing the one before.
#pragma once

#include <cstddef>
#include <string_view>

namespace tavrin {

// A log that has reached this size is renamed to "<name>.1" at the start of the next pass.
inline constexpr size_t kLogRotateBytes = 4 * 1024 * 1024;

// Start-up steps 1 to 4: create the directory, redirect both streams where that is safe, and make
// both streams unbuffered. Call once, before anything is written to either stream.
void RedirectLogStreams();

// Renames each redirected log that has reached kLogRotateBytes to "<name>.1" and starts it anew.
// Called at the start of each pass, when no script is running.
void RotateLargeLogs();

// Writes `line` and a newline to standard output in one write, so that each line reaches the log
// whole even when a script shares the file.
void LogLine(std::string_view line);

}  // namespace tavrin
