#include "platform/foundation/FrameTrace.h"

#include <time.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace foundation {
namespace {

constexpr int kPoints = FrameTrace::kSocketEnd + 1;

struct Record {
  int64_t seq = -1;
  std::array<int64_t, kPoints> at{};
  size_t bytes = 0;
};

struct State {
  std::mutex mutex;
  std::FILE* file = nullptr;
  std::string dumpDir;
  int dumpEvery = 30;
  int64_t nextSeq = 0;
  Record making;
  Record inFlight;
  bool haveInFlight = false;
  std::string channel;
};

State& TheState() {
  static State* state = new State();  // never destroyed: the socket writer may outlive statics
  return *state;
}

// With the mutex held.
void Emit(State& s, const Record& r) {
  if (!s.file) return;
  std::fprintf(s.file, "%lld", static_cast<long long>(r.seq));
  for (int64_t t : r.at) std::fprintf(s.file, " %lld", static_cast<long long>(t));
  std::fprintf(s.file, " %zu\n", r.bytes);
  std::fflush(s.file);
}

void Dump(const std::string& dir, int64_t seq, const uint8_t* pixels, int64_t width, int64_t height,
          int64_t bytesPerRow) {
  const std::string path = dir + "/frame-" + std::to_string(seq) + ".bgra";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  uint8_t header[16] = {'R', 'C', 'B', 'G', 'R', 'A', '0', '1'};
  for (int i = 0; i < 4; ++i) {
    header[8 + i] = static_cast<uint8_t>(static_cast<uint32_t>(width) >> (8 * i));
    header[12 + i] = static_cast<uint8_t>(static_cast<uint32_t>(height) >> (8 * i));
  }
  std::fwrite(header, 1, sizeof header, f);
  for (int64_t y = 0; y < height; ++y) {
    std::fwrite(pixels + y * bytesPerRow, 1, static_cast<size_t>(width) * 4, f);
  }
  std::fclose(f);
}

void Configure(const char* path, const char* dumpDir, int dumpEvery) {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  if (s.file) std::fclose(s.file);
  s.file = path && *path ? std::fopen(path, "a") : nullptr;
  s.dumpDir = dumpDir && *dumpDir ? dumpDir : "";
  s.dumpEvery = dumpEvery > 0 ? dumpEvery : 30;
  s.nextSeq = 0;
  s.making = {};
  s.haveInFlight = false;
}

bool FromEnvironment() {
  const char* path = std::getenv("RC_TRACE_FILE");
  if (!path || !*path) return false;
  const char* every = std::getenv("RC_TRACE_DUMP_EVERY");
  Configure(path, std::getenv("RC_TRACE_DUMP"), every ? std::atoi(every) : 30);
  if (!TheState().file) {
    std::fprintf(stderr, "rc: cannot open the trace file %s: %s\n", path, std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

bool FrameTrace::enabled_ = FromEnvironment();

int64_t FrameTrace::now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

void FrameTrace::mark(Point point) {
  markAt(point, now());
}

void FrameTrace::markAt(Point point, int64_t at) {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  if (point == kGrabStart) s.making = {};
  s.making.at[point] = at;
}

void FrameTrace::produced(size_t bytes, const uint8_t* pixels, int64_t width, int64_t height,
                          int64_t bytesPerRow) {
  State& s = TheState();
  std::string dumpDir;
  int64_t seq;
  {
    std::lock_guard lock(s.mutex);
    seq = s.making.seq = s.nextSeq++;
    s.making.bytes = bytes;
    if (!s.dumpDir.empty() && seq % s.dumpEvery == 0) dumpDir = s.dumpDir;
  }
  if (!dumpDir.empty() && pixels) Dump(dumpDir, seq, pixels, width, height, bytesPerRow);
}

void FrameTrace::handedOver(std::string_view channel) {
  const int64_t at = now();
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  if (s.haveInFlight) Emit(s, s.inFlight);
  s.inFlight = s.making;
  s.inFlight.at[kHandOver] = at;
  s.haveInFlight = true;
  s.channel.assign(channel);
}

void FrameTrace::messageWritten(std::string_view channel) {
  const int64_t at = now();
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  if (!s.haveInFlight || channel != s.channel) return;
  s.inFlight.at[kSocketEnd] = at;
  Emit(s, s.inFlight);
  s.haveInFlight = false;
}

void FrameTrace::enableForTesting(const char* path, const char* dumpDir, int dumpEvery) {
  Configure(path, dumpDir, dumpEvery);
  enabled_ = TheState().file != nullptr;
}

}  // namespace foundation
