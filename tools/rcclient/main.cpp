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
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/flutter/messenger_socket.h"
#include "platform/flutter/standard_codec.h"
#include "tools/rcclient/ivf_writer.h"
#include "tools/rcclient/json_value.h"

using flutter::Frame;
using flutter::FrameKind;
using flutter::Value;

namespace {

constexpr const char* kSyncChannel = "rcclient/sync";

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

std::string DescribeReply(const flutter::ByteBuffer& bytes) {
  if (bytes.empty()) return "no handler answered (empty reply)";
  auto env = flutter::DecodeEnvelope(bytes);
  if (!env) return "undecodable reply: " + env.error;
  if (env.value->success) return rcclient::ValueToJson(env.value->result);
  return "error " + env.value->code + ": " + env.value->message.value_or("") + " " +
         rcclient::ValueToJson(env.value->details);
}

int Call(const std::string& path, const std::vector<std::string>& args) {
  if (args.size() < 2 || args.size() > 3) return Usage();
  Value arguments;
  if (args.size() == 3) {
    std::string error;
    auto parsed = rcclient::ValueFromJson(args[2], &error);
    if (!parsed) {
      std::fprintf(stderr, "rcclient: %s\n", error.c_str());
      return 2;
    }
    arguments = *parsed;
  }
  auto client = ConnectOrSay(path);
  if (!client) return 1;
  // The host handles messages one at a time, in order: once the reply to the second (a channel
  // nobody serves) is back, a reply to the first would have come already.
  if (!SendCall(*client, 1, args[0], args[1], arguments) ||
      !SendCall(*client, 2, kSyncChannel, "sync", Value())) {
    std::fprintf(stderr, "rcclient: the host closed the connection\n");
    return 1;
  }
  double deadline = Now() + 30;
  while (Now() < deadline) {
    auto frame = client->receive(deadline - Now());
    if (!frame) break;
    if (frame->kind != FrameKind::kReply) continue;  // frames and other messages
    if (frame->id == 1) {
      std::printf("%s\n", DescribeReply(frame->payload).c_str());
      return 0;
    }
    if (frame->id == 2) {
      std::printf("no reply (%s does not answer)\n", args[1].c_str());
      return 0;
    }
  }
  std::fprintf(stderr, "rcclient: %s\n",
               client->closed() ? "the host closed the connection" : "no answer within 30 s");
  return 1;
}

struct RecordOptions {
  int fps = 30;
  double seconds = 5;
  std::string out;
  std::string trace;
  std::optional<int> quality;
  double keyAt = -1;
};

int Record(const std::string& path, const std::vector<std::string>& args) {
  RecordOptions o;
  for (size_t i = 0; i + 1 < args.size(); i += 2) {
    if (args[i] == "--fps") {
      o.fps = std::atoi(args[i + 1].c_str());
    } else if (args[i] == "--seconds") {
      o.seconds = std::atof(args[i + 1].c_str());
    } else if (args[i] == "--out") {
      o.out = args[i + 1];
    } else if (args[i] == "--trace") {
      o.trace = args[i + 1];
    } else if (args[i] == "--quality") {
      o.quality = std::atoi(args[i + 1].c_str());
    } else if (args[i] == "--key-at") {
      o.keyAt = std::atof(args[i + 1].c_str());
    } else {
      return Usage();
    }
  }
  if (args.size() % 2 != 0 || o.out.empty() || o.fps < 1 || !(o.seconds > 0)) return Usage();
  auto client = ConnectOrSay(path);
  if (!client) return 1;

  std::string stem = o.out;
  if (auto dot = stem.rfind('.'); dot != std::string::npos && stem.find('/', dot) == stem.npos) {
    stem.resize(dot);
  }
  std::FILE* trace = nullptr;
  if (!o.trace.empty() && !(trace = std::fopen(o.trace.c_str(), "w"))) {
    std::fprintf(stderr, "rcclient: cannot write %s\n", o.trace.c_str());
    return 1;
  }
  rcclient::IvfWriter writer;
  bool opened = false;
  int width = 0, height = 0;
  uint64_t bytes = 0;
  double first = 0, last = 0;
  std::map<std::string, int> cursors;  // PNG bytes -> number
  int64_t startNs = 0, firstFrameNs = 0;

  auto takeFrame = [&](const Frame& frame) {
    auto call = flutter::DecodeMethodCall(frame.payload);
    if (!call || call.value->method != "onCaptureFrame") return;
    const auto* data = call.value->arguments.Find("data");
    const auto* encoded = data ? data->GetIf<std::vector<uint8_t>>() : nullptr;
    if (encoded == nullptr || encoded->empty()) return;
    const int64_t received = MonotonicNs();
    const auto inspected = rcclient::InspectFrame(*encoded);
    if (trace) {
      std::fprintf(trace, "%lld %zu %d\n", static_cast<long long>(received), encoded->size(),
                   inspected && inspected->keyFrame ? 1 : 0);
    }
    double now = Now();
    if (!opened) {
      firstFrameNs = received;
      if (!writer.open(o.out, !inspected || inspected->vp9, 1000, 1)) {
        std::fprintf(stderr, "rcclient: cannot write %s\n", o.out.c_str());
        std::exit(1);
      }
      opened = true;
      first = now;
    }
    if (inspected && inspected->keyFrame && inspected->width > 0) {
      width = inspected->width;
      height = inspected->height;
    }
    writer.write(*encoded, static_cast<uint64_t>((now - first) * 1000 + 0.5));
    bytes += encoded->size();
    last = now;
    if (const auto* cursor = call.value->arguments.Find("cursor")) {
      const auto* png = cursor->Find("data");
      const auto* pngBytes = png ? png->GetIf<std::vector<uint8_t>>() : nullptr;
      if (pngBytes != nullptr && !pngBytes->empty()) {
        std::string key(pngBytes->begin(), pngBytes->end());
        if (cursors.emplace(key, static_cast<int>(cursors.size()) + 1).second) {
          std::string name = stem + "-cursor-" + std::to_string(cursors.size()) + ".png";
          if (std::FILE* f = std::fopen(name.c_str(), "wb")) {
            std::fwrite(key.data(), 1, key.size(), f);
            std::fclose(f);
          }
        }
      }
    }
  };

  if (o.quality && !SendCall(*client, 3, "rc_capture", "setQuality",
                             flutter::MakeMap({{"value", *o.quality}}))) {
    std::fprintf(stderr, "rcclient: the host closed the connection\n");
    return 1;
  }
  startNs = MonotonicNs();
  if (!SendCall(*client, 1, "rc_capture", "startCapture", flutter::MakeMap({{"fps", o.fps}}))) {
    std::fprintf(stderr, "rcclient: the host closed the connection\n");
    return 1;
  }
  double start = Now();
  bool keySent = o.keyAt < 0;
  while (Now() - start < o.seconds && !client->closed()) {
    double wait = o.seconds - (Now() - start);
    if (!keySent) wait = std::max(0.0, std::min(wait, o.keyAt - (Now() - start)));
    auto frame = client->receive(wait);
    if (frame && frame->kind == FrameKind::kMessage) takeFrame(*frame);
    if (!keySent && Now() - start >= o.keyAt) {
      keySent = SendCall(*client, 4, "rc_capture", "setIFrame", Value());
    }
  }
  // Frames still in flight when capture stops are kept too.
  SendCall(*client, 2, "rc_capture", "stopCapture", Value());
  double deadline = Now() + 10;
  while (Now() < deadline && !client->closed()) {
    auto frame = client->receive(deadline - Now());
    if (!frame) break;
    if (frame->kind == FrameKind::kMessage) takeFrame(*frame);
    if (frame->kind == FrameKind::kReply && frame->id == 2) break;
  }

  if (trace) std::fclose(trace);
  if (!opened) {
    std::fprintf(stderr, "rcclient: no frames arrived in %.1f s\n", o.seconds);
    return 1;
  }
  if (!writer.close(width, height)) {
    std::fprintf(stderr, "rcclient: cannot finish %s\n", o.out.c_str());
    return 1;
  }
  double span = writer.frames() > 1 ? last - first : 0;
  double rate = span > 0 ? (writer.frames() - 1) / span : 0;
  double kbits = span > 0 ? bytes * 8 / span / 1000 : 0;
  std::printf(
      "recorded %u frames of %dx%d in %.2f s: %.1f frames/s, %.0f kbit/s, %.0f bytes/frame\n",
      writer.frames(), width, height, span, rate, kbits,
      static_cast<double>(bytes) / writer.frames());
  std::printf("first frame: %.1f ms after startCapture\n", (firstFrameNs - startNs) / 1e6);
  std::printf("video: %s\n", o.out.c_str());
  std::printf("cursor images: %zu (%s-cursor-N.png)\n", cursors.size(), stem.c_str());
  return 0;
}

// Waits for the reply with `id`, taking whatever else comes meanwhile; false when none came.
bool AwaitReply(flutter::MessengerSocketClient& client, uint32_t id, double seconds) {
  double deadline = Now() + seconds;
  while (Now() < deadline && !client.closed()) {
    auto frame = client.receive(deadline - Now());
    if (frame && frame->kind == FrameKind::kReply && frame->id == id) return true;
  }
  return false;
}

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

}  // namespace

int main(int argc, char** argv) {
  std::string path = flutter::DefaultMessengerPath();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "--messenger") {
    path = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return Usage();
  std::string command = args[0];
  args.erase(args.begin());
  if (command == "call") return Call(path, args);
  if (command == "record") return Record(path, args);
  if (command == "input-burst") return InputBurst(path, args);
  if (command == "input-single") return InputSingle(path, args);
  return Usage();
}
