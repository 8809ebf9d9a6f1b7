// libFuzzer entry: arbitrary commands with arbitrary decoded arguments through the plugin's
// dispatch, on the simulated desktop, with capture threads running.
//
// Input: a sequence of records, each [command byte][length byte][length bytes of argument]. The
// command byte picks one of the thirteen commands, an unknown name or a listed name in another
// letter case. The argument bytes are decoded with the standard message codec; when they do not
// decode, they become a map of "fps" and "value" made from the bytes, so that the integer reading
// is exercised with every type.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "packages/rc_capture/RcCapturePlugin.h"
#include "platform/desktop/sim/SimDesktop.h"
#include "platform/flutter/FlutterEngine.h"
#include "platform/flutter/standard_codec.h"
#include "platform/foundation/testing/ManualClock.h"

namespace {

using flutter::Value;
using flutter::ValueMap;

constexpr const char* kCommands[] = {"dispose",         "getResolution", "requestPermission",
                                     "checkPermission", "startCapture",  "stopCapture",
                                     "setFPS",          "getFPS",        "incrementFPS",
                                     "decrementFPS",    "setQuality",    "getQuality",
                                     "setIFrame",       "noSuchCommand", "SETFPS"};
constexpr int kMaxCommands = 24;

struct Environment {
  Environment() {
    sim->setDisplaySize(16, 16);
    desktop::InstallDesktop(sim->AsDesktop());
    // Sleeps end at once: a running loop ticks as fast as it can, so every input meets a busy
    // capture thread.
    foundation::SetClock(std::make_shared<foundation::testing::ManualClock>());
    engine.startPlatformThread();
  }
  std::shared_ptr<desktop::sim::SimDesktop> sim = desktop::sim::SimDesktop::Create();
  flutter::FlutterEngine engine;
};

Value ArgumentFrom(const uint8_t* bytes, size_t size) {
  auto decoded = flutter::DecodeMessage({bytes, size});
  if (decoded) return *decoded.value;
  int64_t i = 0;
  double d = 0;
  std::memcpy(&i, bytes, std::min(size, sizeof i));
  std::memcpy(&d, bytes, std::min(size, sizeof d));
  ValueMap map;
  map.emplace_back("fps", size % 2 ? Value(i) : Value(d));
  map.emplace_back("value", size % 3 ? Value(static_cast<int32_t>(i)) : Value(d));
  return Value(map);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Environment* env = new Environment();
  auto store = std::make_shared<flutter::FlutterPluginStore>();
  auto registrar = std::make_shared<flutter::FlutterPluginRegistrar>(
      "RcCapturePlugin", env->engine.messenger(), store);
  std::shared_ptr<rc_capture::RcCapturePlugin> plugin;
  env->engine.runOnPlatformThreadAndWait(
      [&] { plugin = rc_capture::RcCapturePlugin::Register(registrar); });

  size_t at = 0;
  for (int n = 0; n < kMaxCommands && at + 2 <= size; ++n) {
    const std::string method = kCommands[data[at] % std::size(kCommands)];
    const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
    const Value argument = ArgumentFrom(data + at + 2, length);
    at += 2 + length;
    env->engine.runOnPlatformThreadAndWait([&] {
      bool answered = false;
      plugin->handleMethodCall({method, argument},
                               flutter::FlutterResult([&](flutter::ByteBuffer bytes) {
                                 // Every command is answered once, with a success envelope.
                                 auto envelope = flutter::DecodeEnvelope(bytes);
                                 if (answered || !envelope || !envelope.value->success)
                                   __builtin_trap();
                                 answered = true;
                               }));
      if (!answered) __builtin_trap();
    });
  }
  env->engine.runOnPlatformThreadAndWait([&] { plugin->detachFromEngine(registrar); });
  return 0;
}
