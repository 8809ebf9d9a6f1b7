// Cost of one whole-desktop grab on a private Xvfb: MIT-SHM versus XGetImage, at 1280×720 and
// 1920×1080. Each grab is a full DisplayX11::createImage (the grab plus forcing alpha opaque).
#include <benchmark/benchmark.h>

#include <map>

#include "platform/desktop/x11/display_x11.h"
#include "platform/desktop/x11/test_support/XvfbServer.h"
#include "platform/desktop/x11/x11_connection.h"

namespace desktop::x11 {
namespace {

testing::XvfbServer* Server(int width, int height) {
  static std::map<int, std::unique_ptr<testing::XvfbServer>> servers;
  auto& server = servers[width];
  if (!server) {
    std::string error;
    server = testing::XvfbServer::Start(
        std::to_string(width) + "x" + std::to_string(height) + "x24", {}, &error);
  }
  return server.get();
}

void BM_Grab(benchmark::State& state) {
  int width = int(state.range(0)), height = int(state.range(1));
  bool shm = state.range(2) != 0;
  auto* server = Server(width, height);
  if (!server) {
    state.SkipWithError("no Xvfb");
    return;
  }
  std::string error;
  auto connection = XConnection::Open(server->display(), &error);
  DisplayX11 display(connection, DisplayX11::Options{shm});
  for (auto _ : state) {
    CGImageRef image = display.createImage();
    if (!image) {
      state.SkipWithError("grab failed");
      return;
    }
    benchmark::DoNotOptimize(image->data);
  }
  state.SetLabel(display.usesSharedMemory() ? "XShmGetImage" : "XGetImage");
}

BENCHMARK(BM_Grab)
    ->Args({1280, 720, 1})
    ->Args({1280, 720, 0})
    ->Args({1920, 1080, 1})
    ->Args({1920, 1080, 0})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace desktop::x11
