// FrameTrace: an off-by-default per-frame tracer for the capture pipeline, for the benchmark.
//
//   RC_TRACE_FILE=path        append one line per delivered frame to `path` (see below)
//   RC_TRACE_DUMP=dir         also write every Nth grabbed image to dir/frame-<seq>.bgra
//   RC_TRACE_DUMP_EVERY=N     N for the above (default 30)
//
// Off (no RC_TRACE_FILE at start-up), every call site costs one test of a constant flag. On, the
// producer (the thread that grabs and encodes, under the capture object's lock) stamps the points
// of one frame in order; the hand-over passes the record to the in-flight slot (one message in
// flight at a time), and the socket writer stamps the end of its write and emits the line.
//
// Line: `seq grab_start grab_end cursor_end convert_end encode_end hand_over socket_end bytes`,
// times in nanoseconds of CLOCK_MONOTONIC (0 where a point was not reached), seq = order of the
// frame among the produced ones (the k-th message carries frame k), bytes = encoded size.
//
// Dump file: a 16-byte header (magic "RCBGRA01", u32 width, u32 height, little-endian) followed by
// height rows of width × 4 bytes (B, G, R, X), the image as the encoder received it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace foundation {

class FrameTrace {
 public:
  enum Point { kGrabStart, kGrabEnd, kCursorEnd, kConvertEnd, kEncodeEnd, kHandOver, kSocketEnd };

  // Whether tracing is on (decided once, from the environment, before main).
  static bool enabled() { return enabled_; }

  // Nanoseconds of CLOCK_MONOTONIC.
  static int64_t now();

  // Producer side: stamps `point` of the frame being made now. kGrabStart starts a new record.
  static void mark(Point point);
  // Producer side: stamps kConvertEnd at `at` (the encoder reports its conversion separately).
  static void markAt(Point point, int64_t at);
  // Producer side: the frame was encoded into `bytes` bytes and will be handed over; gives it its
  // sequence number and, every Nth frame, writes `pixels` to the dump directory.
  static void produced(size_t bytes, const uint8_t* pixels, int64_t width, int64_t height,
                       int64_t bytesPerRow);
  // The frame passed the one-in-flight gate: it becomes the message in flight, to be sent on
  // `channel`. A frame still in flight then (never written: no client) is emitted unfinished.
  static void handedOver(std::string_view channel);
  // The socket writer wrote a message on `channel`; when a frame is in flight on that channel,
  // stamps kSocketEnd and emits that frame's line.
  static void messageWritten(std::string_view channel);

  // For tests: turns tracing on into `path` (null: off again), with dumps into `dumpDir` (may be
  // null) every `dumpEvery` frames. Only while no other thread produces or writes frames: the
  // flag is a plain word, fixed once at start-up in the host.
  static void enableForTesting(const char* path, const char* dumpDir, int dumpEvery);

 private:
  static bool enabled_;
};

}  // namespace foundation
