// rcclient record: starts capture, writes every frame to an IVF file and the distinct cursor
// images beside it, and stops capture.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>

#include "tools/rcclient/commands.h"
#include "tools/rcclient/ivf_writer.h"

namespace rcclient {
namespace {

constexpr size_t kMaxCursorImages = 64;

using flutter::Frame;
using flutter::FrameKind;
using flutter::Value;

struct RecordOptions {
  int fps = 30;
  double seconds = 5;
  std::string out;
  std::string trace;
  std::optional<int> quality;
  double keyAt = -1;
};

}  // namespace

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
    } else if (args[i] == "--key-at") {
      o.keyAt = std::atof(args[i + 1].c_str());
    } else if (args[i] == "--quality") {
      o.quality = std::atoi(args[i + 1].c_str());
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
  IvfWriter writer;
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
    const auto inspected = InspectFrame(*encoded);
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
      // A host that sends a new image with every frame must not fill the disk: the first
      // kMaxCursorImages distinct ones are kept.
      if (pngBytes != nullptr && !pngBytes->empty() && cursors.size() < kMaxCursorImages) {
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

}  // namespace rcclient
