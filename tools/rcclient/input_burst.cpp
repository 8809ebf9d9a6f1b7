// rcclient input-burst N: N "mouseMove" commands as fast as the socket takes them.
#include <cstdio>
#include <cstdlib>

#include "tools/rcclient/commands.h"

namespace rcclient {

using flutter::FrameKind;
using flutter::Value;

int InputBurst(const std::string& path, const std::vector<std::string>& args) {
  if (args.empty() || (args.size() != 1 && args.size() != 3)) return Usage();
  const long count = std::atol(args[0].c_str());
  std::string tracePath;
  if (args.size() == 3) {
    if (args[1] != "--trace") return Usage();
    tracePath = args[2];
  }
  if (count < 1) return Usage();
  auto client = ConnectOrSay(path);
  if (!client) return 1;
  auto move = [&](int x, int y) {
    return SendCall(*client, 0, "rc_input", "mouseMove",
                    flutter::MakeMap({{"x", Value(int32_t{x})}, {"y", Value(int32_t{y})}}));
  };
  // Park the pointer away from the burst's path, so that its first move is a real move.
  if (!move(0, 0) || !SendCall(*client, 1, kSyncChannel, "sync", Value()) ||
      !AwaitReply(*client, 1, 30)) {
    std::fprintf(stderr, "rcclient: the host did not answer\n");
    return 1;
  }
  std::vector<int64_t> sent(static_cast<size_t>(count));
  const double start = Now();
  for (long i = 0; i < count; ++i) {
    // Consecutive points always differ, so every command is one pointer motion.
    const int x = 100 + static_cast<int>(i % 800), y = 100 + static_cast<int>((i / 800) % 600);
    sent[static_cast<size_t>(i)] = MonotonicNs();
    if (!move(x, y)) {
      std::fprintf(stderr, "rcclient: the host closed the connection after %ld commands\n", i);
      return 1;
    }
  }
  const double written = Now();
  // The host handles messages one at a time, in order: the sync reply follows the last move.
  if (!SendCall(*client, 2, kSyncChannel, "sync", Value()) || !AwaitReply(*client, 2, 60)) {
    std::fprintf(stderr, "rcclient: the host did not finish the burst\n");
    return 1;
  }
  const double handled = Now();
  if (!tracePath.empty()) {
    std::FILE* f = std::fopen(tracePath.c_str(), "w");
    if (!f) {
      std::fprintf(stderr, "rcclient: cannot write %s\n", tracePath.c_str());
      return 1;
    }
    for (int64_t t : sent) std::fprintf(f, "%lld\n", static_cast<long long>(t));
    std::fclose(f);
  }
  std::printf(
      "input burst: %ld mouseMove commands written in %.3f s, handled in %.3f s: %.0f commands/s\n",
      count, written - start, handled - start, count / (handled - start));
  return 0;
}

}  // namespace rcclient
