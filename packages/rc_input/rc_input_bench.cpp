// The command path of the input channel: decode an encoded method call, dispatch it, build the
// events and post them to the simulated desktop. Reported as commands per second.
#include <benchmark/benchmark.h>

#include <vector>

#include "packages/rc_input/RcInputPlugin.h"
#include "platform/desktop/sim/SimDesktop.h"
#include "platform/flutter/TaskLoop.h"
#include "platform/flutter/standard_codec.h"

namespace {

using flutter::MakeMap;

// The simulated desktop records every event; clearing it now and then keeps memory flat.
constexpr int kClearEvery = 4096;

void RunCommands(benchmark::State& state, const std::vector<flutter::ByteBuffer>& calls) {
  auto sim = desktop::sim::SimDesktop::Create();
  auto previous = desktop::InstallDesktop(sim->AsDesktop());
  rc_input::RcInputPlugin plugin;
  size_t next = 0;
  int sinceClear = 0;
  // Commands are handled on a platform thread: a task loop on this one.
  flutter::TaskLoop loop;
  loop.post([&] {
    for (auto _ : state) {
      auto call = flutter::DecodeMethodCall(calls[next]);
      plugin.handle(*call.value, flutter::FlutterResult());
      next = (next + 1) % calls.size();
      if (++sinceClear == kClearEvery) {
        state.PauseTiming();
        sim->clearPostedEvents();
        sinceClear = 0;
        state.ResumeTiming();
      }
    }
    loop.quit(0);
  });
  loop.run();
  state.counters["commands/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  desktop::InstallDesktop(previous);
}

flutter::ByteBuffer Call(const char* method, flutter::ValueMap args) {
  return flutter::EncodeMethodCall({method, flutter::Value(std::move(args))});
}

void BM_KeyStrokes(benchmark::State& state) {
  RunCommands(
      state,
      {Call("sendKey", MakeMap({{"vKey", 160}, {"isKeyDown", true}, {"isExtendedKey", false}})),
       Call("sendKey", MakeMap({{"vKey", 65}, {"isKeyDown", true}, {"isExtendedKey", false}})),
       Call("sendKey", MakeMap({{"vKey", 65}, {"isKeyDown", false}, {"isExtendedKey", false}})),
       Call("sendKey", MakeMap({{"vKey", 160}, {"isKeyDown", false}, {"isExtendedKey", false}}))});
}
BENCHMARK(BM_KeyStrokes);

void BM_PointerMoves(benchmark::State& state) {
  RunCommands(state, {Call("mouseMove", MakeMap({{"x", 100}, {"y", 200}})),
                      Call("mouseMove", MakeMap({{"x", 101}, {"y", 203}}))});
}
BENCHMARK(BM_PointerMoves);

// Press, drag, release, scroll: the mix of a remote user dragging and scrolling.
void BM_PointerMix(benchmark::State& state) {
  RunCommands(state, {Call("leftDown", MakeMap({{"x", 10}, {"y", 10}})),
                      Call("mouseMove", MakeMap({{"x", 20}, {"y", 15}})),
                      Call("mouseMove", MakeMap({{"x", 30}, {"y", 20}})),
                      Call("leftUp", MakeMap({{"x", 30}, {"y", 20}})),
                      Call("wheel", MakeMap({{"x", 30}, {"y", 20}, {"data", -120}}))});
}
BENCHMARK(BM_PointerMix);

}  // namespace

BENCHMARK_MAIN();
