#include <time.h>

#include <chrono>
#include <cstdio>

#include "tools/rcclient/commands.h"

namespace rcclient {

using flutter::FrameKind;
using flutter::Value;

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int64_t MonotonicNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

int Usage() {
  std::fputs(
      "usage: rcclient [--messenger PATH] call CHANNEL METHOD [JSON]\n"
      "       rcclient [--messenger PATH] record --fps N --seconds S --out FILE.ivf\n"
      "                [--trace FILE] [--quality Q] [--key-at S]\n"
      "       rcclient [--messenger PATH] input-burst N [--trace FILE]\n"
      "       rcclient [--messenger PATH] input-single N [--pause MS] [--trace FILE]\n",
      stderr);
  return 2;
}

std::unique_ptr<flutter::MessengerSocketClient> ConnectOrSay(const std::string& path) {
  std::string error;
  auto client = flutter::MessengerSocketClient::Connect(path, &error);
  if (!client) std::fprintf(stderr, "rcclient: %s (is TavrinDesk running?)\n", error.c_str());
  return client;
}

bool SendCall(flutter::MessengerSocketClient& client, uint32_t id, const std::string& channel,
              const std::string& method, const Value& args) {
  return client.send({FrameKind::kMessage, id, channel, flutter::EncodeMethodCall({method, args})});
}

bool AwaitReply(flutter::MessengerSocketClient& client, uint32_t id, double seconds) {
  double deadline = Now() + seconds;
  while (Now() < deadline && !client.closed()) {
    auto frame = client.receive(deadline - Now());
    if (frame && frame->kind == FrameKind::kReply && frame->id == id) return true;
  }
  return false;
}

}  // namespace rcclient
