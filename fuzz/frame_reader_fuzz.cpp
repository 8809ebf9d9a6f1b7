// The messenger socket's frame reader fed with an arbitrary byte stream, in arbitrary chunks:
// it must take frames or report the stream malformed, never read out of bounds, and the
// frames it takes must re-encode to the bytes they came from.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/flutter/messenger_socket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t chunk = 1 + data[0] % 64;
  std::span<const uint8_t> stream(data + 1, size - 1);
  flutter::FrameReader reader;
  size_t consumed = 0;
  for (size_t pos = 0; pos < stream.size(); pos += chunk) {
    reader.Feed(stream.subspan(pos, std::min(chunk, stream.size() - pos)));
    while (auto frame = reader.Next()) {
      auto bytes = flutter::EncodeFrame(*frame);
      if (consumed + bytes.size() > stream.size() ||
          !std::equal(bytes.begin(), bytes.end(), stream.begin() + consumed)) {
        std::abort();
      }
      consumed += bytes.size();
    }
    if (!reader.error().empty()) break;
  }
  return 0;
}
