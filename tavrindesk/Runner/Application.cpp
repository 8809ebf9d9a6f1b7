#include "tavrindesk/Runner/Application.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/desktop/Desktop.h"
#include "platform/desktop/sim/SimDesktop.h"
#include "platform/flutter/messenger_socket.h"
#include "platform/foundation/NSThread.h"
#include "tavrindesk/Runner/AppDelegate.h"
#include "tavrindesk/Runner/MainFlutterWindow.h"
#ifdef RC_HAVE_X11
#include "platform/desktop/x11/X11Desktop.h"
#endif

namespace tavrindesk {

const char* UsageText() {
  return "usage: TavrinDesk [--desktop x11|sim] [--messenger PATH] [--help]\n"
         "  --desktop x11    capture and drive the X display in $DISPLAY (the default when one\n"
         "                   is reachable)\n"
         "  --desktop sim    a simulated desktop (a moving test scene; input is recorded only)\n"
         "  --messenger PATH the Unix socket clients connect to (default: "
         "$XDG_RUNTIME_DIR/tavrindesk/messenger.sock,\n"
         "                   else /tmp/tavrindesk-<uid>/messenger.sock)\n";
}

std::optional<HostOptions> ParseOptions(int argc, char** argv, std::string* error) {
  HostOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char* name) -> std::optional<std::string> {
      auto prefix = std::string(name) + "=";
      if (arg.rfind(prefix, 0) == 0) return arg.substr(prefix.size());
      if (arg == name && i + 1 < argc) return std::string(argv[++i]);
      return std::nullopt;
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg.rfind("--desktop", 0) == 0) {
      auto v = value("--desktop");
      if (!v || (*v != "x11" && *v != "sim")) {
        *error = "--desktop takes x11 or sim";
        return std::nullopt;
      }
      options.desktop = *v;
    } else if (arg.rfind("--messenger", 0) == 0) {
      auto v = value("--messenger");
      if (!v || v->empty()) {
        *error = "--messenger takes a socket path";
        return std::nullopt;
      }
      options.messengerPath = *v;
    } else {
      *error = "unknown option: " + arg;
      return std::nullopt;
    }
  }
  return options;
}

MainInterface LoadMainInterface(flutter::NSApplication& app) {
  MainInterface ui;
  auto delegate = std::make_shared<AppDelegate>();
  delegate->init();
  ui.delegate = delegate;
  app.setDelegate(delegate);
  auto window = std::make_shared<MainFlutterWindow>();
  window->initWithContentRect({{240, 180}, {1280, 720}}, 15, 2, false);
  ui.window = window;
  app.addWindow(window);
  window->awakeFromNib();
  return ui;
}

void EndSessionsWithTheirClient(const std::shared_ptr<flutter::FlutterEngine>& engine,
                                flutter::MessengerSocketServer& server) {
  std::weak_ptr<flutter::FlutterEngine> weak = engine;
  server.setOnClientGone([weak] {
    auto alive = weak.lock();
    if (!alive) return;
    // On the platform loop, behind the departed client's queued messages: a key press it sent
    // just before hanging up is released, not left held.
    alive->loop().post([weak] {
      auto engine = weak.lock();
      if (!engine) return;
      engine->applicationDetached();
      if (auto events = desktop::CurrentDesktop()->events) events->releaseHeldInput();
    });
  });
}

namespace {

// How long SIGTERM or SIGINT waits for the main loop to end before the host stops without it.
constexpr auto kOrderlyStop = std::chrono::milliseconds(1500);
// How long the forced stop waits for held input and the assertion to be released.
constexpr auto kForcedRelease = std::chrono::milliseconds(500);

// Writes `text` to standard error only if that does not block (it may be a full pipe).
void SayIfHeard(const char* text) {
  pollfd p{STDERR_FILENO, POLLOUT, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & POLLOUT)) (void)!write(STDERR_FILENO, text, strlen(text));
}

// The main thread did not stop in time (a long command, a blocked standard output): release
// what the host holds in the desktop's name, remove the socket and end the process.
[[noreturn]] void StopWithoutTheMainThread(const std::shared_ptr<AppDelegate>& delegate,
                                           const std::string& socketPath) {
  SayIfHeard("TavrinDesk: the main thread did not stop in time; stopping without it\n");
  auto released = std::make_shared<std::promise<void>>();
  auto done = released->get_future();
  // On a thread of its own: the release may wait for a desktop connection the stuck thread holds.
  std::thread([delegate, released] {
    if (auto events = desktop::CurrentDesktop()->events) events->releaseHeldInput();
    if (delegate) delegate->releaseDisplayAssertionNow();
    released->set_value();
  }).detach();
  if (done.wait_for(kForcedRelease) != std::future_status::ready) {
    SayIfHeard("TavrinDesk: releasing held input did not finish in time\n");
  }
  unlink(socketPath.c_str());
  _exit(0);
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::string NoDisplayMessage(const std::string& why) {
  const std::string display = Env("DISPLAY");
  const std::string xauthority = Env("XAUTHORITY");
  std::string text = display.empty() ? "no X display: DISPLAY is not set"
                                     : "no X display reachable (DISPLAY=" + display +
                                           (why.empty() ? "" : ": " + why) + ")";
  // systemd sets INVOCATION_ID for the processes of a unit: here TavrinDesk runs as the agent's
  // user unit, whose environment is what the graphical session imported into its manager.
  if (!Env("INVOCATION_ID").empty()) {
    text +=
        ". TavrinDesk runs under the systemd user manager and takes DISPLAY and XAUTHORITY "
        "from the environment that the graphical session imports into it";
    if (display.empty()) {
      text += "; no session has imported DISPLAY";
    } else if (xauthority.empty()) {
      text += "; XAUTHORITY was not imported";
    }
    text +=
        ". In the session, run `systemctl --user import-environment DISPLAY XAUTHORITY`, then "
        "`systemctl --user restart " RC_AGENT_UNIT "`.";
  } else {
    text +=
        ". Start one, e.g. `Xvfb :99 -screen 0 1920x1080x24 & export DISPLAY=:99`, or pass "
        "--desktop sim.";
  }
  return text;
}

namespace {

std::shared_ptr<const desktop::Desktop> MakeDesktop(const std::string& choice, std::string* error) {
  if (choice == "sim") {
    auto sim = desktop::sim::SimDesktop::Create();
    sim->setDisplaySize(1280, 720);
    sim->setScreens({desktop::CGRect{{0, 0}, {1280, 720}}});
    return sim->AsDesktop();
  }
#ifdef RC_HAVE_X11
  std::string why;
  if (auto d = desktop::x11::CreateX11Desktop("", &why)) return d;
  *error = NoDisplayMessage(why);
#else
  *error = "this build has no X11 backend; pass --desktop sim";
#endif
  return nullptr;
}

}  // namespace

int NSApplicationMain(int argc, char** argv) {
  std::string error;
  auto options = ParseOptions(argc, argv, &error);
  if (!options) {
    std::fprintf(stderr, "TavrinDesk: %s\n%s", error.c_str(), UsageText());
    return 2;
  }
  if (options->help) {
    std::fputs(UsageText(), stdout);
    return 0;
  }

  // SIGINT and SIGTERM are taken by a thread of their own and turned into a termination
  // request on the main loop; every other thread inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  auto backend = MakeDesktop(options->desktop, &error);
  if (!backend) {
    std::fprintf(stderr, "TavrinDesk: %s\n", error.c_str());
    return 1;
  }
  desktop::InstallDesktop(backend);

  int status;
  {
    flutter::NSApplication app;
    auto ui = LoadMainInterface(app);
    auto engine = ui.window->contentViewController()->engine();

    std::string path =
        options->messengerPath.empty() ? flutter::DefaultMessengerPath() : options->messengerPath;
    auto server = flutter::MessengerSocketServer::Listen(path, engine->messenger(), &error);
    if (!server) {
      std::fprintf(stderr, "TavrinDesk: %s\n", error.c_str());
      desktop::InstallDesktop(nullptr);
      return 1;
    }
    EndSessionsWithTheirClient(engine, *server);
    engine->messenger()->setPeer(server);
    std::fprintf(stderr, "TavrinDesk: messenger listening on %s\n", path.c_str());

    // The host stops within kOrderlyStop + kForcedRelease of the signal whatever the main
    // thread is doing: an orderly stop when the main loop ends in time, else a forced one.
    std::mutex stopMutex;
    std::condition_variable stopped;
    bool mainLoopEnded = false;
    auto delegate = std::dynamic_pointer_cast<AppDelegate>(ui.delegate);
    std::thread signalThread([&, signals] {
      int sig = 0;
      while (sigwait(&signals, &sig) == 0) {
        if (sig == SIGINT || sig == SIGTERM) {
          // Also how the main thread wakes this thread at the end (the post is then dropped).
          app.mainLoop().post([&app] { app.terminate(); });
          std::unique_lock lock(stopMutex);
          if (!stopped.wait_for(lock, kOrderlyStop, [&] { return mainLoopEnded; })) {
            StopWithoutTheMainThread(delegate, path);
          }
          return;
        }
      }
    });

    app.mainLoop().post([&app] { app.finishLaunching(); });
    status = app.run();
    {
      std::lock_guard lock(stopMutex);
      mainLoopEnded = true;
    }
    stopped.notify_all();

    server->close();
    engine->messenger()->setPeer(nullptr);
    engine->releasePlugins();
    // The capture loop ends at its next check once its capturer is gone; let it, rather than
    // exiting under it.
    if (!foundation::NSThread::waitUntilAllFinished(5.0)) {
      std::fprintf(stderr, "TavrinDesk: a capture thread did not end within 5 s\n");
    }
    pthread_kill(signalThread.native_handle(), SIGTERM);
    signalThread.join();
  }
  // The backend releases whatever injected input is still held when it goes.
  desktop::InstallDesktop(nullptr);
  return status;
}

}  // namespace tavrindesk
