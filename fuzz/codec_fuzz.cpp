// The standard codec's decoders fed with arbitrary bytes: each input is tried as a message, a
// method call and a reply envelope. Whatever decodes must re-encode and decode to the same
// value (modulo NaN), and nothing may read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/flutter/standard_codec.h"

using namespace flutter;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  if (auto m = DecodeMessage(bytes)) {
    auto again = DecodeMessage(EncodeMessage(*m.value));
    if (!again || EncodeMessage(*again.value) != EncodeMessage(*m.value)) std::abort();
  }
  if (auto c = DecodeMethodCall(bytes)) {
    auto again = DecodeMethodCall(EncodeMethodCall(*c.value));
    if (!again || again.value->method != c.value->method) std::abort();
  }
  (void)DecodeEnvelope(bytes);
  return 0;
}
