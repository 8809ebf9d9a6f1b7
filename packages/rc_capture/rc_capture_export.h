// The export marker of librc_capture. The library is built with hidden visibility; only what
// carries RC_CAPTURE_EXPORT is visible to the programs that load it.
#pragma once

#define RC_CAPTURE_EXPORT __attribute__((visibility("default")))
