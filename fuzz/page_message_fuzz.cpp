// Feeds arbitrary bytes to the viewer message parser, as a binary and as a text message.
#include <cstddef>
#include <cstdint>
#include <span>

#include "viewer/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  rcweb::ParsePageMessage(true, bytes);
  rcweb::ParsePageMessage(false, bytes);
  return 0;
}
