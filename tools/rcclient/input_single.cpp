// rcclient input-single: single key presses and clicks on an idle host, one command at a time,
// for timing each against its X event.
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>

#include "tools/rcclient/commands.h"

namespace rcclient {

using flutter::Value;

int InputSingle(const std::string& path, const std::vector<std::string>& args) {
  if (args.empty() || args.size() % 2 != 1) return Usage();
  const long count = std::atol(args[0].c_str());
  double pause = 0.010;
  std::string tracePath;
  for (size_t i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == "--pause") {
      pause = std::atof(args[i + 1].c_str()) / 1000;
    } else if (args[i] == "--trace") {
      tracePath = args[i + 1];
    } else {
      return Usage();
    }
  }
  if (count < 1 || !(pause >= 0)) return Usage();
  auto client = ConnectOrSay(path);
  if (!client) return 1;
  auto key = [&](bool down) {
    // vKey 65: the A key; the scene's window ignores it.
    return SendCall(*client, 0, "rc_input", "sendKey",
                    flutter::MakeMap({{"vKey", Value(int32_t{65})},
                                      {"isKeyDown", Value(down)},
                                      {"isExtendedKey", Value(false)}}));
  };
  auto button = [&](bool down) {
    return SendCall(*client, 0, "rc_input", down ? "leftDown" : "leftUp",
                    flutter::MakeMap({{"x", Value(int32_t{40})}, {"y", Value(int32_t{40})}}));
  };
  // Park the pointer where the clicks go, so that a click sends no motion first.
  if (!SendCall(*client, 0, "rc_input", "mouseMove",
                flutter::MakeMap({{"x", Value(int32_t{40})}, {"y", Value(int32_t{40})}})) ||
      !SendCall(*client, 1, kSyncChannel, "sync", Value()) || !AwaitReply(*client, 1, 30)) {
    std::fprintf(stderr, "rcclient: the host did not answer\n");
    return 1;
  }
  std::vector<std::pair<int64_t, char>> sent;
  auto idle = [&] {
    timespec t{static_cast<time_t>(pause), static_cast<long>((pause - std::floor(pause)) * 1e9)};
    nanosleep(&t, nullptr);
  };
  for (long i = 0; i < count; ++i) {
    for (const auto& [kind, send] :
         {std::pair<char, std::function<bool(bool)>>{'k', key}, {'b', button}}) {
      for (bool down : {true, false}) {
        idle();
        sent.emplace_back(MonotonicNs(), down ? kind : static_cast<char>(kind - 'a' + 'A'));
        if (!send(down)) {
          std::fprintf(stderr, "rcclient: the host closed the connection\n");
          return 1;
        }
      }
    }
  }
  if (!SendCall(*client, 2, kSyncChannel, "sync", Value()) || !AwaitReply(*client, 2, 60)) {
    std::fprintf(stderr, "rcclient: the host did not finish\n");
    return 1;
  }
  if (!tracePath.empty()) {
    std::FILE* f = std::fopen(tracePath.c_str(), "w");
    if (!f) {
      std::fprintf(stderr, "rcclient: cannot write %s\n", tracePath.c_str());
      return 1;
    }
    for (const auto& [t, kind] : sent)
      std::fprintf(f, "%lld %c\n", static_cast<long long>(t), kind);
    std::fclose(f);
  }
  std::printf("input single: %ld key presses and %ld clicks, %.0f ms apart\n", count, count,
              pause * 1000);
  return 0;
}

}  // namespace rcclient
