#include "platform/desktop/x11/power_x11.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break gtest's headers.
#include <gtest/gtest.h>

#include <X11/extensions/scrnsaver.h>
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/desktop/IOKit.h"
#include "platform/desktop/x11/X11Desktop.h"
#include "platform/desktop/x11/test_support/X11TestFixture.h"
#include "platform/testing/TestSupport.h"

extern char** environ;

namespace desktop::x11 {
namespace {

using testing::WaitUntil;
using testing::X11Test;

class PowerX11Test : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    XSetScreenSaver(observer, 1, 0, DefaultBlanking, DefaultExposures);  // 1 s idle
    XResetScreenSaver(observer);
    XSync(observer, False);
  }
  void TearDown() override {
    if (observer) XSetScreenSaver(observer, 0, 0, DefaultBlanking, DefaultExposures);
    X11Test::TearDown();
  }
  int saverState() {
    XScreenSaverInfo info{};
    XScreenSaverQueryInfo(observer, DefaultRootWindow(observer), &info);
    return info.state;
  }
  // Idle long enough for the 1 s saver to start several times over.
  void idle() {
    XResetScreenSaver(observer);
    XSync(observer, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  }
  uint32_t create(const char* type) {
    uint32_t id = 0;
    EXPECT_EQ(desktop->power->createAssertion(type, kIOPMAssertionLevelOn, "test", &id), 0);
    return id;
  }
};

// The suspension lasts while any hold does: a display assertion, and an idle assertion that
// stands in through the screen saver when no logind answers.
TEST_F(PowerX11Test, AssertionsKeepTheSaverOffUntilTheLastIsReleased) {
  ASSERT_TRUE(WaitUntil([&] { return saverState() == ScreenSaverOn; }))
      << "the saver never starts: the test cannot see the assertions' effect";
  uint32_t unknown = 0;
  EXPECT_NE(desktop->power->createAssertion("NoSuchAssertion", 255, "x", &unknown), 0);
  uint32_t display = create(kIOPMAssertionTypeNoDisplaySleep);
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
  uint32_t idleSleep = create(kIOPMAssertionTypeNoIdleSleep);
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  EXPECT_NE(display, idleSleep);
  EXPECT_EQ(dynamic_cast<PowerX11&>(*desktop->power).holdKind(idleSleep), "screensaver");
  idle();
  EXPECT_EQ(saverState(), ScreenSaverOff);

  EXPECT_EQ(desktop->power->releaseAssertion(display), kIOReturnSuccess);
  EXPECT_NE(desktop->power->releaseAssertion(display), kIOReturnSuccess);  // released once only
  idle();
  EXPECT_EQ(saverState(), ScreenSaverOff);
  EXPECT_EQ(desktop->power->releaseAssertion(idleSleep), kIOReturnSuccess);
  EXPECT_TRUE(WaitUntil([&] { return saverState() == ScreenSaverOn; }));
}

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// A private bus with a mocked login1 (python3-dbusmock) as the system bus.
TEST(PowerLogind, IdleAssertionHoldsALogindInhibitor) {
  std::string why;
  if (!testing::SharedXvfb(&why)) GTEST_SKIP() << "no Xvfb: " << why;
  if (access("/usr/bin/dbus-daemon", X_OK) != 0 ||
      std::system("/usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs dbus-daemon and python3-dbusmock";
  }
  const rctest::TempDir tmp("x11-logind");
  const std::string dir = tmp.path();
  const std::string address = std::string("unix:path=") + dir + "/bus";
  const std::string log = std::string(dir) + "/login1.log";
  pid_t bus = Spawn(
      {"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address});
  ASSERT_GT(bus, 0);
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  WaitUntil([&] { return access((std::string(dir) + "/bus").c_str(), F_OK) == 0; });
  pid_t mock = Spawn({"/usr/bin/python3", "-m", "dbusmock", "--system", "-t", "logind", "-l", log});
  const std::string ping = "dbus-send --bus=" + address +
                           " --print-reply --dest=org.freedesktop.login1 /org/freedesktop/login1"
                           " org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1";
  const bool up = mock > 0 && WaitUntil([&] { return std::system(ping.c_str()) == 0; }, 20);
  EXPECT_TRUE(up) << "the mocked logind did not come up on the private bus";

  if (up) {
    auto desktop = CreateX11Desktop(testing::SharedXvfb(nullptr)->display(), &why);
    ASSERT_NE(desktop, nullptr) << why;
    auto& power = dynamic_cast<PowerX11&>(*desktop->power);
    const int before = OpenDescriptors();
    uint32_t id = 0;
    EXPECT_EQ(power.createAssertion(kIOPMAssertionTypeNoIdleSleep, 255, "Prevent App Nap", &id), 0);
    EXPECT_EQ(power.holdKind(id), "logind");
    EXPECT_EQ(OpenDescriptors(), before + 1);  // the inhibitor's descriptor
    std::string calls;
    WaitUntil([&] { return (calls = rctest::ReadFile(log)).find("Inhibit") != std::string::npos; });
    EXPECT_NE(calls.find("Inhibit \"idle:sleep\" \"TavrinDesk\" \"Prevent App Nap\" \"block\""),
              std::string::npos)
        << calls;
    EXPECT_EQ(power.releaseAssertion(id), 0);
    EXPECT_EQ(OpenDescriptors(), before);
  }
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  for (pid_t pid : {mock, bus}) {
    if (pid <= 0) continue;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace
}  // namespace desktop::x11
