#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

#include "platform/desktop/IOKit.h"
#include "platform/desktop/sim/testing/SimDesktopFixture.h"
#include "platform/flutter/messenger_client.h"
#include "platform/flutter/standard_codec.h"
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
    // Not onMain: once terminated it would not wait for the task, whose promise it then
    // destroys while the loop is still setting it.
    app.mainLoop().post([this] { app.terminate(); });
    loopThread.join();
  }
  template <typename F>
  void onMain(F fn) {
    // Shared: a task that terminates the app is not waited for, and the loop may still be
    // setting the promise when this returns.
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    app.mainLoop().post([done, fn] {
      fn();
      done->set_value();
    });
    // Once terminated, the loop takes no more tasks.
    if (!app.isTerminated()) finished.wait();
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

// A messenger client of the host: calls answered, messages counted.
class SessionClient {
 public:
  explicit SessionClient(const std::string& path) {
    std::string error;
    connection = flutter::MessengerSocketClient::Connect(path, &error);
    EXPECT_TRUE(connection) << error;
  }
  bool send(uint32_t id, const std::string& channel, const std::string& method,
            const flutter::Value& args = {}) {
    return connection->send(
        {flutter::FrameKind::kMessage, id, channel, flutter::EncodeMethodCall({method, args})});
  }
  // The decoded result of the call; none without an answer within 30 s.
  std::optional<flutter::Value> call(const std::string& channel, const std::string& method,
                                     const flutter::Value& args = {}) {
    uint32_t id = nextId++;
    if (!send(id, channel, method, args)) return std::nullopt;
    for (int i = 0; i < 60 && !connection->closed(); ++i) {
      auto f = connection->receive(0.5);
      if (f && f->kind == flutter::FrameKind::kMessage) ++messages;
      if (f && f->kind == flutter::FrameKind::kReply && f->id == id) {
        auto env = flutter::DecodeEnvelope(f->payload);
        if (!env) return std::nullopt;
        return env.value->result;
      }
    }
    return std::nullopt;
  }
  // Receives for `seconds` or until `enough` messages have come in all; the count.
  int countMessages(double seconds, int enough = 1 << 30) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (messages < enough && std::chrono::steady_clock::now() < end && !connection->closed()) {
      auto f = connection->receive(0.1);
      if (f && f->kind == flutter::FrameKind::kMessage) ++messages;
    }
    return messages;
  }
  std::unique_ptr<flutter::MessengerSocketClient> connection;
  uint32_t nextId = 1;
  int messages = 0;
};

bool WaitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 3000 && !condition(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

// The host as the program wires it: the main interface, and the messenger socket whose clients
// each get a session of their own.
class SessionTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    launch();
    char tmpl[] = "/tmp/rc-session-test-XXXXXX";
    dir = mkdtemp(tmpl);
    path = dir + "/s/m.sock";
    engine = ui.window->contentViewController()->engine();
    std::string error;
    server = flutter::MessengerSocketServer::Listen(path, engine->messenger(), &error);
    ASSERT_TRUE(server) << error;
    EndSessionsWithTheirClient(engine, *server);
    engine->messenger()->setPeer(server);
  }
  void TearDown() override {
    server->close();
    engine->messenger()->setPeer(nullptr);
    HostTest::TearDown();
    std::string cmd = "rm -rf '" + dir + "'";
    (void)!system(cmd.c_str());
  }
  std::string dir, path;
  std::shared_ptr<flutter::FlutterEngine> engine;
  std::shared_ptr<flutter::MessengerSocketServer> server;
};

// A key pressed just before the client hangs up is released after it was pressed: the release
// waits behind the client's queued commands, here held up by a busy main loop.
TEST_F(SessionTest, HeldInputIsReleasedAfterTheDepartingClientsLastCommands) {
  std::promise<void> gate;
  auto opened = gate.get_future().share();
  app.mainLoop().post([opened] { opened.wait(); });
  {
    SessionClient a(path);
    ASSERT_TRUE(
        a.send(0, "rc_input", "sendKey",
               flutter::MakeMap({{"vKey", 65}, {"isKeyDown", true}, {"isExtendedKey", false}})));
  }
  ASSERT_TRUE(WaitFor([&] { return !server->hasClient(); }));
  gate.set_value();
  ASSERT_TRUE(WaitFor([&] { return sim->releaseHeldInputCalls() == 1; }));
  auto posted = sim->postedEvents();
  auto down = std::find_if(posted.begin(), posted.end(), [](const auto& p) {
    return p.event.kind == desktop::CGEventKind::kKeyboard && p.event.keyDown;
  });
  ASSERT_NE(down, posted.end());
  EXPECT_LT(static_cast<size_t>(down - posted.begin()), sim->postedEventsAtLastRelease());
}

// What one client did (a frame rate, capture left running, the capturer disposed of) does not
// reach the next: each meets the agent of a freshly started host.
TEST_F(SessionTest, EachClientMeetsAFreshAgent) {
  const auto fresh = SessionClient(path).call("rc_capture", "getFPS");
  ASSERT_TRUE(fresh && fresh->AsInt64());
  ASSERT_TRUE(WaitFor([&] { return !server->hasClient(); }));
  {
    SessionClient a(path);
    EXPECT_EQ(a.call("rc_capture", "setFPS", flutter::MakeMap({{"value", 7}})),
              flutter::Value(true));
    EXPECT_EQ(a.call("rc_capture", "dispose"), flutter::Value(true));
  }
  ASSERT_TRUE(WaitFor([&] { return !server->hasClient(); }));
  {
    SessionClient b(path);
    EXPECT_EQ(b.call("rc_capture", "getFPS"), fresh);
    EXPECT_EQ(b.call("rc_capture", "startCapture", flutter::MakeMap({{"fps", 30}})),
              flutter::Value(true));
    EXPECT_GE(b.countMessages(30, 3), 3);
  }  // leaves with capture running
  ASSERT_TRUE(WaitFor([&] { return !server->hasClient(); }));
  SessionClient c(path);
  EXPECT_EQ(c.call("rc_capture", "getFPS"), fresh);
  EXPECT_EQ(c.countMessages(1.0), 0);  // frames come only to a client that asks for them
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
