#include "platform/desktop/x11/power_x11.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break gtest's headers.
#include <gtest/gtest.h>

#include <X11/extensions/scrnsaver.h>
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/desktop/IOKit.h"
#include "platform/desktop/x11/X11Desktop.h"
#include "platform/desktop/x11/test_support/X11TestFixture.h"

extern char** environ;

namespace desktop::x11 {
namespace {

using testing::WaitFor;
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
    if (observer) {
      XSetScreenSaver(observer, 0, 0, DefaultBlanking, DefaultExposures);
      XResetScreenSaver(observer);
    }
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
};

TEST_F(PowerX11Test, DisplayAssertionKeepsTheSaverOffUntilReleased) {
  ASSERT_TRUE(WaitFor([&] { return saverState() == ScreenSaverOn; }))
      << "the saver never starts: the test cannot see the assertion's effect";
  XResetScreenSaver(observer);
  uint32_t id = 0;
  ASSERT_EQ(desktop->power->createAssertion(kIOPMAssertionTypeNoDisplaySleep, kIOPMAssertionLevelOn,
                                            "test", &id),
            kIOReturnSuccess);
  idle();
  EXPECT_EQ(saverState(), ScreenSaverOff);

  EXPECT_EQ(desktop->power->releaseAssertion(id), kIOReturnSuccess);
  EXPECT_TRUE(WaitFor([&] { return saverState() == ScreenSaverOn; }));
  EXPECT_NE(desktop->power->releaseAssertion(id), kIOReturnSuccess);  // released once only
}

TEST_F(PowerX11Test, NestedAssertionsHoldUntilTheLastIsReleased) {
  uint32_t a = 0, b = 0;
  ASSERT_EQ(desktop->power->createAssertion(kIOPMAssertionTypeNoDisplaySleep, 255, "a", &a), 0);
  ASSERT_EQ(desktop->power->createAssertion(kIOPMAssertionTypeNoDisplaySleep, 255, "b", &b), 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(desktop->power->releaseAssertion(a), 0);
  idle();
  EXPECT_EQ(saverState(), ScreenSaverOff);
  EXPECT_EQ(desktop->power->releaseAssertion(b), 0);
  EXPECT_TRUE(WaitFor([&] { return saverState() == ScreenSaverOn; }));
}

TEST_F(PowerX11Test, IdleAssertionWithoutLogindSuspendsTheSaverInstead) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
  uint32_t id = 0;
  ASSERT_EQ(desktop->power->createAssertion(kIOPMAssertionTypeNoIdleSleep, 255, "nap", &id), 0);
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  auto* power = dynamic_cast<PowerX11*>(desktop->power.get());
  ASSERT_NE(power, nullptr);
  EXPECT_EQ(power->holdKind(id), "screensaver");
  idle();
  EXPECT_EQ(saverState(), ScreenSaverOff);
  desktop.reset();  // the destructor gives it back
  EXPECT_TRUE(WaitFor([&] { return saverState() == ScreenSaverOn; }));
}

TEST_F(PowerX11Test, UnknownAssertionTypeIsRefused) {
  uint32_t id = 0;
  EXPECT_NE(desktop->power->createAssertion("NoSuchAssertion", 255, "x", &id), 0);
}

// ---- logind through a private bus with a mocked login1

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

bool HasOwner(const std::string& address, const char* name) {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) return false;
  sd_bus_set_address(bus, address.c_str());
  sd_bus_set_bus_client(bus, 1);
  bool owned = false;
  if (sd_bus_start(bus) >= 0) {
    sd_bus_message* reply = nullptr;
    int has = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                           name) >= 0 &&
        sd_bus_message_read(reply, "b", &has) >= 0) {
      owned = has;
    }
    sd_bus_message_unref(reply);
  }
  sd_bus_flush_close_unref(bus);
  return owned;
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

TEST(PowerLogind, IdleAssertionHoldsALogindInhibitor) {
  std::string why;
  if (!testing::SharedXvfb(&why)) GTEST_SKIP() << "no Xvfb: " << why;
  if (access("/usr/bin/dbus-daemon", X_OK) != 0 ||
      std::system("/usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs dbus-daemon and python3-dbusmock";
  }
  char dir[] = "/tmp/x11-logind-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string address = std::string("unix:path=") + dir + "/bus";
  std::string log = std::string(dir) + "/login1.log";
  pid_t bus = Spawn(
      {"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address});
  ASSERT_GT(bus, 0);
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  ASSERT_TRUE(WaitFor([&] { return access((std::string(dir) + "/bus").c_str(), F_OK) == 0; }));
  pid_t mock = Spawn({"/usr/bin/python3", "-m", "dbusmock", "--system", "-t", "logind", "-l", log});
  ASSERT_GT(mock, 0);
  bool up = WaitFor([&] { return HasOwner(address, "org.freedesktop.login1"); }, 20);

  if (up) {
    std::string error;
    auto desktop = CreateX11Desktop(testing::SharedXvfb(nullptr)->display(), &error);
    ASSERT_NE(desktop, nullptr) << error;
    auto* power = dynamic_cast<PowerX11*>(desktop->power.get());
    int before = OpenDescriptors();
    uint32_t id = 0;
    EXPECT_EQ(power->createAssertion(kIOPMAssertionTypeNoIdleSleep, 255, "Prevent App Nap", &id),
              0);
    EXPECT_EQ(power->holdKind(id), "logind");
    EXPECT_EQ(OpenDescriptors(), before + 1);  // the inhibitor's descriptor
    std::string calls;
    WaitFor([&] {
      std::ifstream in(log);
      std::stringstream s;
      s << in.rdbuf();
      calls = s.str();
      return calls.find("Inhibit") != std::string::npos;
    });
    EXPECT_NE(calls.find("Inhibit \"idle:sleep\" \"TavrinDesk\" \"Prevent App Nap\" \"block\""),
              std::string::npos)
        << calls;
    EXPECT_EQ(power->releaseAssertion(id), 0);
    EXPECT_EQ(OpenDescriptors(), before);
  }
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  kill(mock, SIGTERM);
  waitpid(mock, nullptr, 0);
  kill(bus, SIGTERM);
  waitpid(bus, nullptr, 0);
  std::system((std::string("rm -rf ") + dir).c_str());
  ASSERT_TRUE(up) << "the mocked logind did not come up on the private bus";
}

}  // namespace
}  // namespace desktop::x11
