// The standard message codec and the standard method codec, byte for byte.
//
// Encoding writes into one growing buffer because float and typed-list padding is aligned to
// the start of the whole buffer (for a method call, the method name's tag; for an envelope, its
// first byte). Decoding is total: it never reads past the input, never allocates from a length
// it has not checked against the bytes that remain, limits nesting to kMaxDepth and the decoded
// size to the bound below, and reports every malformed input as an error instead of throwing or
// crashing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/flutter/FlutterMethodCall.h"
#include "platform/flutter/Value.h"

namespace flutter {

// Lists and maps nested deeper than this are rejected: every level costs two bytes on the
// wire, so without a limit a 1 MB message could recurse half a million frames deep.
inline constexpr int kMaxDepth = 64;

// What decoding one message may cost: kDecodedBytesPerInputByte bytes per byte of input plus
// kDecodedBytesSlack. Charged: every list or map element (the size of its Value), the bytes of
// strings and typed lists, and each encoding of a map key. A message over it is malformed. Without
// a bound a list of nulls costs 32 bytes of memory per byte of input (a 64 MiB frame, 2 GiB);
// with it a 64 MiB message costs at most ~513 MiB. Strings and typed lists (the frames'
// pictures) cost 1x, a list of 32-bit integers 6.4x, and small commands fit in the slack.
inline constexpr uint64_t kDecodedBytesPerInputByte = 8;
inline constexpr uint64_t kDecodedBytesSlack = 1 << 20;

template <typename T>
struct Decoded {
  std::optional<T> value;
  std::string error;  // empty when value is present
  explicit operator bool() const { return value.has_value(); }
};

// A reply envelope. Success carries `result`; an error carries code, message, details and the
// optional stack trace that newer peers append.
struct Envelope {
  bool success = true;
  Value result;
  std::string code;
  std::optional<std::string> message;
  Value details;
  std::optional<std::string> stackTrace;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::span<const uint8_t> bytes);

ByteBuffer EncodeMessage(const Value& value);
Decoded<Value> DecodeMessage(std::span<const uint8_t> bytes);

ByteBuffer EncodeMethodCall(const FlutterMethodCall& call);
// The same call encoded straight from its parts, without first copying `arguments` into a
// FlutterMethodCall (which, for a video frame, would copy the whole frame once more).
ByteBuffer EncodeMethodCall(std::string_view method, const Value& arguments);
Decoded<FlutterMethodCall> DecodeMethodCall(std::span<const uint8_t> bytes);

ByteBuffer EncodeSuccessEnvelope(const Value& result);
ByteBuffer EncodeErrorEnvelope(const std::string& code, const std::optional<std::string>& message,
                               const Value& details);
// An empty reply means "no handler" and is not an envelope; DecodeEnvelope rejects it.
Decoded<Envelope> DecodeEnvelope(std::span<const uint8_t> bytes);

}  // namespace flutter
