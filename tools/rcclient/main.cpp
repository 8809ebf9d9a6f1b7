// rcclient: a command-line client of the host's messenger socket, standing in for the
// application side.
//
//   rcclient [--messenger PATH] call CHANNEL METHOD [JSON]
//       sends one method call and prints the decoded reply as JSON, or says that none came
//       (input commands never answer);
//   rcclient [--messenger PATH] record --fps N --seconds S --out FILE.ivf
//       starts capture, writes every frame to a playable IVF file, saves the distinct cursor
//       images as PNG beside it, prints frames, rate and bit rate, and stops capture;
//       --trace FILE writes one line per frame: its receive time (ns of CLOCK_MONOTONIC), size
//       and 1 for a key frame (else 0); --quality Q sends setQuality first; --key-at S sends
//       "setIFrame" S seconds after the start; prints the time from "startCapture" to the
//       first frame;
//   rcclient [--messenger PATH] input-burst N [--trace FILE]
//       sends N "mouseMove" commands as fast as the socket takes them, waits until the host has
//       handled them all, and prints commands per second; --trace FILE writes the send time of
//       each command (ns of CLOCK_MONOTONIC), one a line, for matching against X events;
//   rcclient [--messenger PATH] input-single N [--pause MS] [--trace FILE]
//       sends N single key presses ("sendKey" down, then up) and N single clicks ("leftDown",
//       then "leftUp"), one command at a time with MS (default 10) milliseconds of idle between
//       any two; --trace FILE writes one line per command: its send time (ns of
//       CLOCK_MONOTONIC) and its kind (k: key down, K: key up, b: button down, B: button up).
#include <string>
#include <vector>

#include "platform/flutter/messenger_client.h"
#include "tools/rcclient/commands.h"

int main(int argc, char** argv) {
  std::string path = flutter::DefaultMessengerPath();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "--messenger") {
    path = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return rcclient::Usage();
  struct Command {
    const char* name;
    int (*run)(const std::string& path, const std::vector<std::string>& args);
  };
  static constexpr Command kCommands[] = {
      {"call", rcclient::Call},
      {"record", rcclient::Record},
      {"input-burst", rcclient::InputBurst},
      {"input-single", rcclient::InputSingle},
  };
  const std::string name = args[0];
  args.erase(args.begin());
  for (const auto& command : kCommands) {
    if (name == command.name) return command.run(path, args);
  }
  return rcclient::Usage();
}
