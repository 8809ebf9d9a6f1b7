#include "packages/rc_capture/Wrapper/vpx_wrapper.h"

#include <mutex>

#include "packages/rc_vpx/rc_vpx.h"

namespace rc_capture {
namespace {

VpxFunctions g_functions = RcVpxFunctions();
// Held by a preparation and by disposal: a preparation on another thread never meets a freed
// encoder.
std::mutex g_prepareMutex;

}  // namespace

VpxFunctions RcVpxFunctions() {
  return {&Create_Encoder,     &Encode,
          &ForceKeyframe,      &Dispose_Encoder,
          &Encode_LastTimings, &Encode_HintChangedRects,
          &Encode_Prepare};
}

bool VpxCanPrepare() {
  return g_functions.prepare != nullptr;
}

bool VpxLastConversionTime(int64_t* conversion_ns) {
  if (g_pEncoder == nullptr || g_functions.lastTimings == nullptr) return false;
  return g_functions.lastTimings(g_pEncoder, conversion_ns, nullptr, nullptr) != 0;
}

VpxFunctions SetVpxFunctionsForTesting(VpxFunctions functions) {
  VpxFunctions previous = g_functions;
  g_functions = functions;
  return previous;
}

}  // namespace rc_capture

using rc_capture::g_functions;
using rc_capture::g_prepareMutex;

extern "C" {

void* g_pEncoder = nullptr;

void VpxCreate_Encoder(int32_t selector) {
  if (g_pEncoder == nullptr) g_pEncoder = g_functions.createEncoder(selector);
}

void VpxDispose_Encoder(void) {
  std::lock_guard lock(g_prepareMutex);
  if (g_pEncoder == nullptr) return;
  g_functions.disposeEncoder(g_pEncoder);
  g_pEncoder = nullptr;
}

int32_t VpxEncode(const uint8_t* pixels, uint8_t* out, int32_t width, int32_t height,
                  int32_t quality, int32_t stride, int32_t flag) {
  if (g_pEncoder == nullptr) return 0;
  return g_functions.encode(g_pEncoder, pixels, out, width, height, quality, stride, flag);
}

int32_t VpxHintChangedRects(int64_t sequence, int64_t previousSequence, const int32_t* rects,
                            int32_t count) {
  if (g_pEncoder == nullptr || g_functions.hintChangedRects == nullptr) return 0;
  return g_functions.hintChangedRects(g_pEncoder, sequence, previousSequence, rects, count);
}

int32_t VpxPrepare_Encoder(int32_t width, int32_t height, int32_t quality) {
  std::lock_guard lock(g_prepareMutex);
  if (g_pEncoder == nullptr || g_functions.prepare == nullptr) return 0;
  return g_functions.prepare(g_pEncoder, width, height, quality);
}

void VpxForceKeyframe(void) {
  if (g_pEncoder != nullptr) g_functions.forceKeyframe(g_pEncoder);
}

}  // extern "C"
