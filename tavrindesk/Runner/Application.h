// The program entry standing in for NSApplicationMain: options, the desktop backend, the main
// interface (AppDelegate and MainFlutterWindow), the messenger socket and the main loop.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/flutter/NSApplication.h"
#include "platform/flutter/messenger_server.h"

namespace tavrindesk {

struct HostOptions {
  std::string desktop;        // "x11", "sim", or empty: x11 when a display is reachable
  std::string messengerPath;  // empty: the default path
  bool help = false;
};

// Parses the command line; none (and a message in *error) when it is wrong.
std::optional<HostOptions> ParseOptions(int argc, char** argv, std::string* error);
const char* UsageText();

// What the main interface file makes: the delegate and the main window, loaded into `app`.
struct MainInterface {
  std::shared_ptr<flutter::FlutterAppDelegate> delegate;
  std::shared_ptr<flutter::NSWindow> window;
};
MainInterface LoadMainInterface(flutter::NSApplication& app);

// Each client of `server` gets a fresh agent: when one goes, the engine's plugins are told
// (capture stopped at the initial rate and quality, a disposed capturer made anew, input state
// reset) and held input is released, on the platform loop after that client's queued messages.
void EndSessionsWithTheirClient(const std::shared_ptr<flutter::FlutterEngine>& engine,
                                flutter::MessengerSocketServer& server);

// Why no X display could be opened (`why`: the backend's reason, may be empty), with what to do
// about it; under the agent's systemd user unit it names the session's imported environment.
std::string NoDisplayMessage(const std::string& why);

// Runs the application; returns the main loop's value (the exit status).
int NSApplicationMain(int argc, char** argv);

}  // namespace tavrindesk
