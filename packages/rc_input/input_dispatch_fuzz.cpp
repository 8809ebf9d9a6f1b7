// Feeds arbitrary bytes through the key translation and the input channel's dispatch on the
// simulated desktop. The first bytes choose a key code and flag for toMackey; the rest is
// decoded as a method call and, when it decodes, handled like a call from the channel. Any
// crash, sanitizer report or reply to an input command is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "packages/rc_input/RcInputPlugin.h"
#include "packages/rc_input/WinKey.h"
#include "platform/desktop/ApplicationServices.h"
#include "platform/desktop/sim/SimDesktop.h"
#include "platform/flutter/MethodArguments.h"
#include "platform/flutter/TaskLoop.h"
#include "platform/flutter/standard_codec.h"
#include "platform/foundation/Clock.h"

namespace {

// A clock the input decides: click windows and caps-lock holds see any interval.
class FuzzClock : public foundation::Clock {
 public:
  double mediaTime() override { return now; }
  double wallTime() override { return now; }
  void sleep(double) override {}
  double now = 1.7e9;
};

struct Harness {
  Harness() : sim(desktop::sim::SimDesktop::Create()), clock(std::make_shared<FuzzClock>()) {
    desktop::InstallDesktop(sim->AsDesktop());
    foundation::SetClock(clock);
    using desktop::sim::SimDesktop;
    sim->setInputSources(std::vector<desktop::TISInputSourceRef>{
        SimDesktop::MakeInputSource("us", desktop::kTISCategoryKeyboardInputSource, true, "U.S."),
        SimDesktop::MakeInputSource("abc", desktop::kTISCategoryKeyboardInputSource, true, "ABC")});
    plugin = std::make_shared<rc_input::RcInputPlugin>();
    // Messages of the key path would flood the fuzzer's output.
    std::freopen("/dev/null", "w", stdout);
  }
  std::shared_ptr<desktop::sim::SimDesktop> sim;
  std::shared_ptr<FuzzClock> clock;
  std::shared_ptr<rc_input::RcInputPlugin> plugin;
};

// The commands the channel carries out without answering.
bool IsInputCommand(const std::string& m) {
  static const std::set<std::string> kInput = {
      "sendKey",       "mouseMove", "leftDown",     "leftUp",     "leftDBClick",
      "rightDown",     "rightUp",   "rightDBClick", "centerDown", "centerUp",
      "centerDBClick", "xDown",     "xUp",          "xDBClick",   "wheel"};
  return kInput.count(m) > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness harness;
  if (size < 6) return 0;
  int32_t vkey;
  std::memcpy(&vkey, data, sizeof vkey);
  int32_t mac = rc_input::WinKeyUtil::toMackey(vkey, data[4] & 1);
  if (mac < -1 || mac > 126) std::abort();
  harness.clock->now += data[5] * 0.004;  // 0 to ~1 s between calls

  auto call = flutter::DecodeMethodCall({data + 6, size - 6});
  if (!call) return 0;
  flutter::ByteBuffer reply;
  bool replied = false;
  // Commands are handled on a platform thread: a task loop on this one.
  flutter::TaskLoop loop;
  loop.post([&] {
    harness.plugin->handle(*call.value, flutter::FlutterResult([&](flutter::ByteBuffer bytes) {
      replied = true;
      reply = std::move(bytes);
    }));
    loop.quit(0);
  });
  loop.run();
  // Input commands with a proper argument map never answer; every answer is a boolean success.
  if (replied && IsInputCommand(call.value->method) &&
      flutter::MethodArguments(call.value->arguments).IsStringKeyedMap()) {
    std::abort();
  }
  if (replied) {
    auto envelope = flutter::DecodeEnvelope(reply);
    if (!envelope || !envelope.value->success || !envelope.value->result.Is<bool>()) std::abort();
  }
  if (harness.sim->postedEvents().size() > 4096) harness.sim->clearPostedEvents();
  return 0;
}
