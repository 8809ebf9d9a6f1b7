// psnr_tool: decodes an IVF recording of the host's frames and compares each frame for which the
// host dumped its grabbed image (RC_TRACE_DUMP, see platform/foundation/FrameTrace.h) with it.
// The k-th frame of the recording is the host's frame k (frames are delivered in order, none
// dropped), so the dump of frame k meets the k-th decoded picture.
//
//   psnr_tool RECORDING.ivf DUMP_DIR [--frames]
//
// Prints: `psnr frames=N mean=dB min=dB` (PSNR over Y, U and V of the decoded picture against the
// grabbed image converted to I420 by the same libyuv conversion the encoder uses). 99 dB stands
// for identical pictures. --frames adds one line per compared frame after it: `frame K dB`.
#include <libyuv/compare.h>
#include <libyuv/convert.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

uint32_t U32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct Dump {
  int width = 0, height = 0;
  std::vector<uint8_t> bgra;
};

bool ReadDump(const std::string& path, Dump& dump) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t header[16];
  bool ok = std::fread(header, 1, 16, f) == 16 && std::memcmp(header, "RCBGRA01", 8) == 0;
  if (ok) {
    dump.width = static_cast<int>(U32(header + 8));
    dump.height = static_cast<int>(U32(header + 12));
    ok = dump.width > 0 && dump.height > 0 && dump.width <= 16384 && dump.height <= 16384;
  }
  if (ok) {
    dump.bgra.resize(size_t(dump.width) * dump.height * 4);
    ok = std::fread(dump.bgra.data(), 1, dump.bgra.size(), f) == dump.bgra.size();
  }
  std::fclose(f);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool perFrame = argc == 4 && std::strcmp(argv[3], "--frames") == 0;
  if (argc != 3 && !perFrame) {
    std::fprintf(stderr, "usage: psnr_tool RECORDING.ivf DUMP_DIR [--frames]\n");
    return 2;
  }
  std::FILE* ivf = std::fopen(argv[1], "rb");
  uint8_t header[32];
  if (!ivf || std::fread(header, 1, 32, ivf) != 32 || std::memcmp(header, "DKIF", 4) != 0) {
    std::fprintf(stderr, "psnr_tool: %s is not an IVF file\n", argv[1]);
    return 1;
  }
  const bool vp9 = std::memcmp(header + 8, "VP90", 4) == 0;
  vpx_codec_ctx_t decoder{};
  if (vpx_codec_dec_init(&decoder, vp9 ? vpx_codec_vp9_dx() : vpx_codec_vp8_dx(), nullptr, 0) !=
      VPX_CODEC_OK) {
    std::fprintf(stderr, "psnr_tool: cannot start the decoder\n");
    return 1;
  }
  std::vector<uint8_t> frame;
  std::vector<uint8_t> y, u, v;
  Dump dump;
  double sum = 0, worst = 1e9;
  int compared = 0, decodeErrors = 0;
  std::vector<std::pair<long, double>> perFrameResults;
  for (long k = 0;; ++k) {
    uint8_t fh[12];
    if (std::fread(fh, 1, 12, ivf) != 12) break;
    frame.resize(U32(fh));
    if (std::fread(frame.data(), 1, frame.size(), ivf) != frame.size()) break;
    if (vpx_codec_decode(&decoder, frame.data(), static_cast<unsigned>(frame.size()), nullptr, 0) !=
        VPX_CODEC_OK) {
      ++decodeErrors;
      continue;
    }
    vpx_codec_iter_t it = nullptr;
    vpx_image_t* img = vpx_codec_get_frame(&decoder, &it);
    if (!img) continue;
    const std::string path = std::string(argv[2]) + "/frame-" + std::to_string(k) + ".bgra";
    if (!ReadDump(path, dump)) continue;
    if (dump.width != static_cast<int>(img->d_w) || dump.height != static_cast<int>(img->d_h)) {
      std::fprintf(stderr, "psnr_tool: frame %ld is %ux%u, its dump %dx%d\n", k, img->d_w, img->d_h,
                   dump.width, dump.height);
      continue;
    }
    const int w = dump.width, h = dump.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
    y.resize(size_t(w) * h);
    u.resize(size_t(cw) * ch);
    v.resize(size_t(cw) * ch);
    libyuv::ARGBToI420(dump.bgra.data(), w * 4, y.data(), w, u.data(), cw, v.data(), cw, w, h);
    const double psnr =
        libyuv::I420Psnr(y.data(), w, u.data(), cw, v.data(), cw, img->planes[0], img->stride[0],
                         img->planes[1], img->stride[1], img->planes[2], img->stride[2], w, h);
    sum += std::min(psnr, 99.0);
    worst = std::min(worst, psnr);
    ++compared;
    perFrameResults.emplace_back(k, std::min(psnr, 99.0));
  }
  std::fclose(ivf);
  vpx_codec_destroy(&decoder);
  if (compared == 0) {
    std::printf("psnr frames=0 mean=nan min=nan decode_errors=%d\n", decodeErrors);
    return 1;
  }
  std::printf("psnr frames=%d mean=%.2f min=%.2f decode_errors=%d\n", compared, sum / compared,
              std::min(worst, 99.0), decodeErrors);
  if (perFrame) {
    for (const auto& [k, psnr] : perFrameResults) std::printf("frame %ld %.2f\n", k, psnr);
  }
  return 0;
}
