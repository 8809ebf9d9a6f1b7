// Per-frame cost of rc_vpx on the deterministic desktop scenes (platform/testing/scenes):
// conversion alone, and conversion + change detection + encoding under each tuning variant (CPU =
// the whole process, codec threads included), at 1280×720 and 1920×1080. Each encode run is one
// stream of kFrames frames after its first key frame; every frame is also decoded (untimed) so that
// the counters give bytes and PSNR per frame.
//
//   rc_vpx_bench --benchmark_filter=Encode/.*/scroll
//
// Counters: bytes = compressed bytes per frame, psnr = mean Y/U/V PSNR (dB) of the decoded frames
// against the I420 source, active = share of 16×16 blocks handed to the codec as active.

#include <benchmark/benchmark.h>
#include <libyuv/compare.h>
#include <libyuv/convert.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "packages/rc_vpx/VpxEncoder.h"
#include "packages/rc_vpx/rc_vpx.h"
#include "platform/testing/scenes/scenes.h"

namespace {

using rc_vpx::Codec;
using rc_vpx::EncoderSettings;

constexpr int kFrames = 60;

struct Size {
  int w, h;
};
constexpr Size kSizes[] = {{1280, 720}, {1920, 1080}};
constexpr int kScenes[] = {SCENE_STATIC, SCENE_SMALL, SCENE_SCROLL};
const char* SceneName(int kind) {
  static const char* const names[] = {"static", "small", "video", "scroll"};
  return names[kind];
}

struct Variant {
  const char* name;
  Codec codec;
  int quality;
  EncoderSettings settings;
  bool hints = false;  // tell the encoder where the picture changed (HintChangedRects)
};

EncoderSettings With(void (*edit)(EncoderSettings&)) {
  EncoderSettings s;
  edit(s);
  return s;
}

const std::vector<Variant>& Variants() {
  static const std::vector<Variant> variants = {
      {"vp9_default", Codec::kVp9, 0, {}},
      {"vp9_hints", Codec::kVp9, 0, {}, true},
      {"vp9_hints_1thread", Codec::kVp9, 0, With([](EncoderSettings& s) { s.threads = 1; }), true},
      {"vp9_hints_aq3", Codec::kVp9, 0, With([](EncoderSettings& s) { s.aq_mode = 3; }), true},
      {"vp9_hints_static_thresh", Codec::kVp9, 0,
       With([](EncoderSettings& s) { s.static_thresh = 100; }), true},
      {"vp9_1thread", Codec::kVp9, 0, With([](EncoderSettings& s) { s.threads = 1; })},
      {"vp9_2threads", Codec::kVp9, 0, With([](EncoderSettings& s) { s.threads = 2; })},
      {"vp9_no_activemap", Codec::kVp9, 0, With([](EncoderSettings& s) { s.active_map = false; })},
      {"vp9_settle8", Codec::kVp9, 0, With([](EncoderSettings& s) { s.settle_frames = 8; })},
      {"vp9_cbr", Codec::kVp9, 0, With([](EncoderSettings& s) { s.cbr = true; })},
      {"vp9_no_repeat", Codec::kVp9, 0,
       With([](EncoderSettings& s) { s.repeat_unchanged = false; })},
      {"vp9_aq3", Codec::kVp9, 0, With([](EncoderSettings& s) { s.aq_mode = 3; })},
      {"vp9_static_thresh", Codec::kVp9, 0,
       With([](EncoderSettings& s) { s.static_thresh = 100; })},
      {"vp9_speed8", Codec::kVp9, 0, With([](EncoderSettings& s) { s.cpu_used = 8; })},
      {"vp9_loopfilter_on", Codec::kVp9, 0,
       With([](EncoderSettings& s) { s.disable_loopfilter = 0; }), true},
      {"vp9_no_loopfilter_nonref", Codec::kVp9, 0,
       With([](EncoderSettings& s) { s.disable_loopfilter = 1; }), true},
      {"vp9_1tile", Codec::kVp9, 0, With([](EncoderSettings& s) { s.tile_columns = 0; }), true},
      {"vp9_4tiles", Codec::kVp9, 0, With([](EncoderSettings& s) { s.tile_columns = 2; }), true},
      {"vp9_no_periodic_boost", Codec::kVp9, 0,
       With([](EncoderSettings& s) { s.frame_periodic_boost = 0; }), true},
      {"vp9_q80", Codec::kVp9, 80, {}},
      {"vp8_speed8", Codec::kVp8, 0, {}},
      {"vp8_speed-8", Codec::kVp8, 0, With([](EncoderSettings& s) { s.cpu_used = -8; })},
      {"vp8_speed16", Codec::kVp8, 0, With([](EncoderSettings& s) { s.cpu_used = 16; })},
  };
  return variants;
}

struct Scene {
  Scene(int kind, Size size) : size(size), handle(scene_open(kind, size.w, size.h)) {
    pixels.resize(static_cast<size_t>(size.w) * size.h);
  }
  ~Scene() { scene_close(handle); }
  const uint8_t* Frame(long i) {
    scene_frame(handle, i, pixels.data(), size.w);
    return reinterpret_cast<const uint8_t*>(pixels.data());
  }
  Size size;
  scene_handle* handle;
  std::vector<uint32_t> pixels;
};

// Where frame b differs from frame a, as a display server's damage would say it: per band of 16
// rows, one rectangle from the first to the last changed column. Four values a rectangle.
std::vector<int32_t> Damage(const uint32_t* a, const uint32_t* b, int w, int h) {
  std::vector<int32_t> rects;
  for (int y0 = 0; y0 < h; y0 += 16) {
    int x0 = w, x1 = -1;
    const int y1 = std::min(y0 + 16, h);
    for (int y = y0; y < y1; ++y) {
      const uint32_t* ra = a + static_cast<size_t>(y) * w;
      const uint32_t* rb = b + static_cast<size_t>(y) * w;
      if (std::memcmp(ra, rb, w * 4) == 0) continue;
      for (int x = 0; x < w; ++x) {
        if (ra[x] != rb[x]) x0 = std::min(x0, x), x1 = std::max(x1, x);
      }
    }
    if (x1 >= 0) rects.insert(rects.end(), {x0, y0, x1 - x0 + 1, y1 - y0});
  }
  return rects;
}

struct I420 {
  explicit I420(Size s)
      : w(s.w), h(s.h), cw((s.w + 1) / 2), ch((s.h + 1) / 2), y(w * h), u(cw * ch), v(cw * ch) {}
  void From(const uint8_t* bgra) {
    libyuv::ARGBToI420(bgra, w * 4, y.data(), w, u.data(), cw, v.data(), cw, w, h);
  }
  int w, h, cw, ch;
  std::vector<uint8_t> y, u, v;
};

void BM_Convert(benchmark::State& state, int kind, Size size) {
  Scene scene(kind, size);
  I420 dst(size);
  long i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const uint8_t* src = scene.Frame(i++);
    state.ResumeTiming();
    dst.From(src);
    benchmark::DoNotOptimize(dst.y.data());
  }
}

void BM_Encode(benchmark::State& state, const Variant& variant, int kind, Size size) {
  Scene scene(kind, size);
  I420 source(size);
  rc_vpx::VpxEncoder encoder(variant.codec, variant.settings);
  std::vector<uint8_t> out(static_cast<size_t>(size.w) * size.h * 4);
  vpx_codec_ctx_t decoder{};
  vpx_codec_dec_init(
      &decoder, variant.codec == Codec::kVp9 ? vpx_codec_vp9_dx() : vpx_codec_vp8_dx(), nullptr, 0);
  double psnr_sum = 0, bytes_sum = 0, active_sum = 0;
  int frames = 0;
  const double blocks = ((size.w + 15) / 16) * ((size.h + 15) / 16);

  auto encode = [&](long i) {
    return encoder.Encode(scene.Frame(i), out.data(), size.w, size.h, variant.quality, size.w * 4,
                          RC_VPX_BGRA);
  };
  auto decode_and_measure = [&](int n) {
    source.From(reinterpret_cast<const uint8_t*>(scene.pixels.data()));
    vpx_codec_decode(&decoder, out.data(), static_cast<unsigned>(n), nullptr, 0);
    vpx_codec_iter_t it = nullptr;
    if (vpx_image_t* img = vpx_codec_get_frame(&decoder, &it)) {
      psnr_sum +=
          libyuv::I420Psnr(source.y.data(), source.w, source.u.data(), source.cw, source.v.data(),
                           source.cw, img->planes[0], img->stride[0], img->planes[1],
                           img->stride[1], img->planes[2], img->stride[2], size.w, size.h);
    }
  };
  if (variant.hints) encoder.HintChangedRects(1, 0, nullptr, 0);
  decode_and_measure(encode(0));  // the key frame, outside the timing and the counters
  psnr_sum = 0;
  long i = 1;
  std::vector<uint32_t> previous;
  for (auto _ : state) {
    state.PauseTiming();
    if (variant.hints) previous = scene.pixels;
    const uint8_t* src = scene.Frame(i);
    std::vector<int32_t> damage;
    if (variant.hints) damage = Damage(previous.data(), scene.pixels.data(), size.w, size.h);
    state.ResumeTiming();
    if (variant.hints) {
      encoder.HintChangedRects(i + 1, i, damage.data(), static_cast<int32_t>(damage.size() / 4));
    }
    const int n =
        encoder.Encode(src, out.data(), size.w, size.h, variant.quality, size.w * 4, RC_VPX_BGRA);
    state.PauseTiming();
    if (n <= 0) {
      state.SkipWithError("no frame");
      break;
    }
    decode_and_measure(n);
    bytes_sum += n;
    active_sum += encoder.last_active_blocks() / blocks;
    ++frames;
    ++i;
    state.ResumeTiming();
  }
  vpx_codec_destroy(&decoder);
  if (frames > 0) {
    state.counters["bytes"] = bytes_sum / frames;
    state.counters["psnr"] = psnr_sum / frames;
    state.counters["active"] = active_sum / frames;
  }
}

const int kRegistered = [] {
  for (Size size : kSizes) {
    for (int kind : kScenes) {
      const std::string tail = std::string(SceneName(kind)) + "/" + std::to_string(size.w) + "x" +
                               std::to_string(size.h);
      benchmark::RegisterBenchmark(("Convert/" + tail).c_str(), BM_Convert, kind, size)
          ->Iterations(kFrames)
          ->Unit(benchmark::kMillisecond);
      for (const Variant& v : Variants()) {
        benchmark::RegisterBenchmark(("Encode/" + std::string(v.name) + "/" + tail).c_str(),
                                     BM_Encode, v, kind, size)
            ->Iterations(kFrames)
            ->MeasureProcessCPUTime()
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  return 0;
}();

}  // namespace

BENCHMARK_MAIN();
