#include <gtest/gtest.h>

#include <future>
#include <sstream>
#include <thread>

#include "platform/desktop/IOKit.h"
#include "platform/desktop/sim/testing/SimDesktopFixture.h"
#include "tavrindesk/Runner/AppDelegate.h"
#include "tavrindesk/Runner/Application.h"
#include "tavrindesk/Runner/MainFlutterWindow.h"

namespace tavrindesk {
namespace {

using desktop::sim::testing::SimDesktopTest;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The application with its main loop on a thread of its own, so that every step runs on the
// main thread as it would in the program.
class HostTest : public SimDesktopTest {
 protected:
  void SetUp() override {
    loopThread = std::thread([this] { status = app.run(); });
  }
  void TearDown() override {
    onMain([this] { app.terminate(); });
    loopThread.join();
  }
  template <typename F>
  void onMain(F fn) {
    std::promise<void> done;
    app.mainLoop().post([&] {
      fn();
      done.set_value();
    });
    // Once terminated, the loop takes no more tasks.
    if (!app.isTerminated()) done.get_future().wait();
  }
  std::string launch() {
    ::testing::internal::CaptureStdout();
    onMain([this] {
      ui = LoadMainInterface(app);
      app.finishLaunching();
    });
    return ::testing::internal::GetCapturedStdout();
  }

  flutter::NSApplication app;
  MainInterface ui;
  std::thread loopThread;
  int status = -1;
};

TEST_F(HostTest, RegistersTheFourteenPluginsInOrder) {
  launch();
  auto keys = ui.window->contentViewController()->engine()->registrarKeys();
  EXPECT_EQ(keys,
            (std::vector<std::string>{
                "PeercorePlugin", "DeviceInfoPlusMacosPlugin", "FlutterLocalNotificationsPlugin",
                "RcCapturePlugin", "RcClipboardPlugin", "RcCorePlugin", "FileManagerPlugin",
                "RcInputPlugin", "RcSoundPlugin", "FPPPackageInfoPlusPlugin", "PathProviderPlugin",
                "ScreenRetrieverMacosPlugin", "SharedPreferencesPlugin", "WindowManagerPlugin"}));
}

TEST_F(HostTest, TheWindowKeepsTheFrameTheInterfaceGaveIt) {
  onMain([] {
    auto window = std::make_shared<MainFlutterWindow>();
    desktop::CGRect frame{{240, 180}, {1280, 720}};
    window->initWithContentRect(frame, 15, 2, false);
    window->awakeFromNib();
    EXPECT_EQ(window->frame(), frame);
    ASSERT_NE(window->contentViewController(), nullptr);
    // Without the restore, the controller's own size would have won.
    flutter::NSWindow plain;
    plain.initWithContentRect(frame, 15, 2, false);
    plain.setContentViewController(std::make_shared<flutter::FlutterViewController>());
    EXPECT_NE(plain.frame(), frame);
  });
}

TEST_F(HostTest, LaunchTakesBothAssertionsAndSaysSo) {
  EXPECT_EQ(Lines(launch()),
            (std::vector<std::string>{"Screen sleep disabled", "App Nap disabled",
                                      "sleep Disabled: true", "applicationDidBecomeActive"}));
  auto assertions = sim->powerAssertions();
  ASSERT_EQ(assertions.size(), 2u);
  EXPECT_EQ(assertions[0].type, "NoDisplaySleepAssertion");
  EXPECT_EQ(assertions[0].name, "Disabling Screen sleep");
  EXPECT_EQ(assertions[0].level, 255u);
  EXPECT_EQ(assertions[1].type, "NoIdleSleepAssertion");
  EXPECT_EQ(assertions[1].name, "Prevent App Nap");

  ::testing::internal::CaptureStdout();
  onMain([this] { app.terminate(); });
  loopThread.join();
  loopThread = std::thread([] {});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Screen sleep enabled\n");
  EXPECT_EQ(status, 0);
  assertions = sim->powerAssertions();
  EXPECT_TRUE(assertions[0].released);
  EXPECT_FALSE(assertions[1].released);  // lasts until the process ends
}

TEST_F(HostTest, RefusedDisplayAssertionIsReportedAndNothingIsReleasedAtTheEnd) {
  sim->setPowerAssertionsRefused("NoDisplaySleepAssertion", true);
  EXPECT_EQ(Lines(launch()),
            (std::vector<std::string>{"Failed to disable screen sleep", "App Nap disabled",
                                      "sleep Disabled: false", "applicationDidBecomeActive"}));
  ::testing::internal::CaptureStdout();
  onMain([this] { app.terminate(); });
  loopThread.join();
  loopThread = std::thread([] {});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(app.isTerminated());
}

TEST_F(HostTest, ActivationChangesArePrintedAndHeldAssertionsAreNotTakenTwice) {
  launch();
  ::testing::internal::CaptureStdout();
  onMain([this] {
    app.setActive(false);
    app.setActive(true);
    auto& delegate = static_cast<AppDelegate&>(*ui.delegate);
    delegate.disableScreenSleep("again");  // already held: nothing happens
  });
  EXPECT_EQ(
      Lines(::testing::internal::GetCapturedStdout()),
      (std::vector<std::string>{"applicationWillResignActive", "applicationDidBecomeActive"}));
  EXPECT_EQ(sim->powerAssertions().size(), 2u);
}

TEST_F(HostTest, ClosingTheLastWindowTerminates) {
  launch();
  ::testing::internal::CaptureStdout();
  onMain([this] { ui.window->close(); });
  loopThread.join();
  loopThread = std::thread([] {});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Screen sleep enabled\n");
  EXPECT_TRUE(app.isTerminated());
}

TEST(HostOptions, ParsesTheDocumentedOptionsAndRejectsOthers) {
  std::string error;
  const char* ok[] = {"TavrinDesk", "--desktop", "sim", "--messenger=/tmp/x.sock"};
  auto options = ParseOptions(4, const_cast<char**>(ok), &error);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->desktop, "sim");
  EXPECT_EQ(options->messengerPath, "/tmp/x.sock");
  const char* bad[] = {"TavrinDesk", "--desktop", "wayland"};
  EXPECT_FALSE(ParseOptions(3, const_cast<char**>(bad), &error));
  EXPECT_NE(error.find("x11 or sim"), std::string::npos);
  const char* unknown[] = {"TavrinDesk", "--fast"};
  EXPECT_FALSE(ParseOptions(2, const_cast<char**>(unknown), &error));
}

}  // namespace
}  // namespace tavrindesk
