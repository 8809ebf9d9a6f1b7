#include "tools/rcclient/ivf_writer.h"

#include <cstring>

namespace rcclient {
namespace {

class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> data) : data_(data) {}
  // Reads n bits, most significant first; false past the end.
  bool Read(int n, uint32_t& out) {
    out = 0;
    for (int i = 0; i < n; ++i) {
      if (pos_ >= data_.size() * 8) return false;
      out = (out << 1) | ((data_[pos_ / 8] >> (7 - pos_ % 8)) & 1);
      ++pos_;
    }
    return true;
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

void Le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::optional<FrameInfo> InspectVp9(std::span<const uint8_t> f) {
  BitReader r(f);
  uint32_t marker, lo, hi, bit;
  if (!r.Read(2, marker) || marker != 2 || !r.Read(1, lo) || !r.Read(1, hi)) return std::nullopt;
  uint32_t profile = (hi << 1) | lo;
  if (profile == 3 && !r.Read(1, bit)) return std::nullopt;
  FrameInfo info;
  uint32_t showExisting;
  if (!r.Read(1, showExisting)) return std::nullopt;
  if (showExisting) return info;
  uint32_t frameType, showFrame, errorRes;
  if (!r.Read(1, frameType) || !r.Read(1, showFrame) || !r.Read(1, errorRes)) return std::nullopt;
  if (frameType != 0) return info;
  info.keyFrame = true;
  uint32_t sync;
  if (!r.Read(24, sync) || sync != 0x498342) return std::nullopt;
  if (profile >= 2 && !r.Read(1, bit)) return std::nullopt;
  uint32_t colorSpace;
  if (!r.Read(3, colorSpace)) return std::nullopt;
  if (colorSpace != 7) {
    if (!r.Read(1, bit)) return std::nullopt;
    if ((profile == 1 || profile == 3) && !r.Read(3, bit)) return std::nullopt;
  } else if ((profile == 1 || profile == 3) && !r.Read(1, bit)) {
    return std::nullopt;
  }
  uint32_t w, h;
  if (!r.Read(16, w) || !r.Read(16, h)) return std::nullopt;
  info.width = static_cast<int>(w) + 1;
  info.height = static_cast<int>(h) + 1;
  return info;
}

}  // namespace

std::optional<FrameInfo> InspectFrame(std::span<const uint8_t> f) {
  // VP8: a 3-byte frame tag (bit 0 clear on key frames), then the start code 9d 01 2a.
  if (f.size() >= 10 && (f[0] & 1) == 0 && f[3] == 0x9d && f[4] == 0x01 && f[5] == 0x2a) {
    FrameInfo info;
    info.vp9 = false;
    info.keyFrame = true;
    info.width = (f[6] | f[7] << 8) & 0x3fff;
    info.height = (f[8] | f[9] << 8) & 0x3fff;
    return info;
  }
  if (!f.empty() && (f[0] >> 6) == 2) return InspectVp9(f);
  if (f.size() >= 3) {  // a VP8 inter frame
    FrameInfo info;
    info.vp9 = false;
    return (f[0] & 1) ? std::optional<FrameInfo>(info) : std::nullopt;
  }
  return std::nullopt;
}

IvfWriter::~IvfWriter() {
  if (file_) std::fclose(file_);
}

bool IvfWriter::open(const std::string& path, bool vp9, int timebaseDen, int timebaseNum) {
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return false;
  uint8_t header[32] = {'D', 'K', 'I', 'F'};
  Le16(header + 4, 0);
  Le16(header + 6, 32);
  std::memcpy(header + 8, vp9 ? "VP90" : "VP80", 4);
  Le32(header + 16, static_cast<uint32_t>(timebaseDen));
  Le32(header + 20, static_cast<uint32_t>(timebaseNum));
  ok_ = std::fwrite(header, 1, 32, file_) == 32;
  return ok_;
}

bool IvfWriter::write(std::span<const uint8_t> frame, uint64_t pts) {
  if (!file_) return false;
  uint8_t header[12];
  Le32(header, static_cast<uint32_t>(frame.size()));
  for (int i = 0; i < 8; ++i) header[4 + i] = static_cast<uint8_t>(pts >> (8 * i));
  ok_ = ok_ && std::fwrite(header, 1, 12, file_) == 12 &&
        std::fwrite(frame.data(), 1, frame.size(), file_) == frame.size();
  if (ok_) ++frames_;
  return ok_;
}

bool IvfWriter::close(int width, int height) {
  if (!file_) return false;
  uint8_t patch[4];
  Le16(patch, static_cast<uint16_t>(width));
  Le16(patch + 2, static_cast<uint16_t>(height));
  ok_ = ok_ && std::fseek(file_, 12, SEEK_SET) == 0 && std::fwrite(patch, 1, 4, file_) == 4;
  uint8_t count[4];
  Le32(count, frames_);
  ok_ = ok_ && std::fseek(file_, 24, SEEK_SET) == 0 && std::fwrite(count, 1, 4, file_) == 4;
  ok_ = std::fclose(file_) == 0 && ok_;
  file_ = nullptr;
  return ok_;
}

}  // namespace rcclient
