// soak_client: a long-running, randomised client of the host's messenger socket for the soak
// (scripts/soak.sh). It connects, starts capture at 60 frames/s, sends a random mix of capture
// commands (start, stop, setFPS, setQuality, setIFrame, getFPS, getQuality, getResolution) and
// input commands (moves, clicks and key taps inside a safe area), reads every frame, and
// reconnects now and then (sometimes leaving abruptly while capturing). At the end it stops
// capture and disconnects, so the host is idle again.
//
//   soak_client --messenger PATH --seconds S [--seed N] [--width W --height H]
//
// Exits 0 when every command that asks for a reply got one within 10 s and frames arrived;
// otherwise 1, with the reason on standard error.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "platform/flutter/messenger_socket.h"
#include "platform/flutter/standard_codec.h"

namespace {

using flutter::FrameKind;
using flutter::MakeMap;
using flutter::MessengerSocketClient;
using flutter::Value;
using Clock = std::chrono::steady_clock;

constexpr double kReplyBound = 10.0;

struct Totals {
  long commands = 0, frames = 0, replies = 0, sessions = 0, abrupt = 0, missing = 0, refused = 0;
};

class Session {
 public:
  Session(std::unique_ptr<MessengerSocketClient> c, Totals& totals)
      : client_(std::move(c)), totals_(totals) {}

  bool send(const std::string& channel, const std::string& method, const Value& args,
            bool wantReply) {
    uint32_t id = wantReply ? nextId_++ : 0;
    ++totals_.commands;
    if (!client_->send(
            {FrameKind::kMessage, id, channel, flutter::EncodeMethodCall({method, args})}))
      return false;
    if (wantReply) pending_[id] = Clock::now();
    return true;
  }
  // Reads what arrives within `seconds`; false when the host closed the connection.
  bool pump(double seconds) {
    auto until = Clock::now() + std::chrono::duration<double>(seconds);
    do {
      auto frame = client_->receive(0.005);
      if (frame) {
        if (frame->kind == FrameKind::kMessage) {
          ++totals_.frames;
        } else if (pending_.erase(frame->id)) {
          ++totals_.replies;
        }
      }
      if (client_->closed()) return false;
    } while (Clock::now() < until);
    return true;
  }
  // Replies overdue by more than the bound.
  long overdue() const {
    long n = 0;
    for (const auto& [id, sent] : pending_) {
      if (std::chrono::duration<double>(Clock::now() - sent).count() > kReplyBound) ++n;
    }
    return n;
  }
  bool drainReplies() {
    auto until = Clock::now() + std::chrono::duration<double>(kReplyBound);
    while (!pending_.empty() && Clock::now() < until) {
      if (!pump(0.05)) break;
    }
    return pending_.empty();
  }
  size_t pendingCount() const { return pending_.size(); }

 private:
  std::unique_ptr<MessengerSocketClient> client_;
  Totals& totals_;
  uint32_t nextId_ = 1;
  std::map<uint32_t, Clock::time_point> pending_;
};

// Connects; a refusal (the host still finishing the previous client) is retried for 10 s.
std::unique_ptr<Session> Connect(const std::string& path, Totals& totals) {
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    std::string error;
    auto c = MessengerSocketClient::Connect(path, &error);
    if (c) {
      auto s = std::make_unique<Session>(std::move(c), totals);
      if (s->send("rc_capture", "getFPS", Value(), true) && s->drainReplies()) return s;
      ++totals.refused;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  double seconds = 60;
  unsigned seed = 1;
  int width = 1280, height = 720;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--messenger") path = argv[i + 1];
    if (a == "--seconds") seconds = std::atof(argv[i + 1]);
    if (a == "--seed") seed = unsigned(std::atoi(argv[i + 1]));
    if (a == "--width") width = std::atoi(argv[i + 1]);
    if (a == "--height") height = std::atoi(argv[i + 1]);
  }
  if (path.empty() || !(seconds > 0) || width < 16 || height < 16) {
    std::fputs(
        "usage: soak_client --messenger PATH --seconds S [--seed N] [--width W --height H]\n",
        stderr);
    return 2;
  }
  std::mt19937 random(seed);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  // The middle half of the screen: away from corners and edges that a desktop might react to.
  auto x = [&] { return pick(width / 4, 3 * width / 4); };
  auto y = [&] { return pick(height / 4, 3 * height / 4); };
  const char* keys[] = {"65", "66", "67", "68", "69", "70", "49", "50", "32"};  // A-F, 1, 2, space

  Totals totals;
  auto end = Clock::now() +
             std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  int status = 0;
  while (Clock::now() < end && status == 0) {
    auto session = Connect(path, totals);
    if (!session) {
      std::fprintf(stderr, "soak_client: cannot connect to %s for 10 s\n", path.c_str());
      return 1;
    }
    ++totals.sessions;
    session->send("rc_capture", "startCapture", MakeMap({{"fps", 60}}), true);
    auto sessionEnd = std::min(end, Clock::now() + std::chrono::milliseconds(pick(2000, 10000)));
    bool alive = true;
    while (alive && Clock::now() < sessionEnd) {
      int action = pick(0, 99);
      if (action < 3) {
        alive = session->send("rc_capture", "stopCapture", Value(), true);
      } else if (action < 8) {
        alive = session->send("rc_capture", "startCapture", MakeMap({{"fps", 60}}), true);
      } else if (action < 12) {
        alive = session->send("rc_capture", "setFPS", MakeMap({{"value", pick(1, 60)}}), true);
      } else if (action < 15) {
        alive = session->send("rc_capture", "setFPS", MakeMap({{"value", 60}}), true);
      } else if (action < 19) {
        alive = session->send("rc_capture", "setQuality", MakeMap({{"value", pick(0, 100)}}), true);
      } else if (action < 22) {
        alive = session->send("rc_capture", "setIFrame", Value(), true);
      } else if (action < 28) {
        alive = session->send("rc_capture", "getFPS", Value(), true);
      } else if (action < 31) {
        alive = session->send("rc_capture", "getQuality", Value(), true);
      } else if (action < 33) {
        alive = session->send("rc_capture", "getResolution", Value(), true);
      } else if (action < 70) {
        alive = session->send("rc_input", "mouseMove", MakeMap({{"x", x()}, {"y", y()}}), false);
      } else if (action < 80) {
        int px = x(), py = y();
        alive = session->send("rc_input", "leftDown", MakeMap({{"x", px}, {"y", py}}), false) &&
                session->send("rc_input", "leftUp", MakeMap({{"x", px}, {"y", py}}), false);
      } else if (action < 83) {
        int px = x(), py = y();
        alive = session->send("rc_input", "rightDown", MakeMap({{"x", px}, {"y", py}}), false) &&
                session->send("rc_input", "rightUp", MakeMap({{"x", px}, {"y", py}}), false);
      } else if (action < 88) {
        alive = session->send("rc_input", "wheel",
                              MakeMap({{"x", x()}, {"y", y()}, {"data", pick(-240, 240)}}), false);
      } else {
        int vKey = std::atoi(keys[pick(0, 8)]);
        // Mostly taps; now and then a key stays down until the session ends.
        alive = session->send(
            "rc_input", "sendKey",
            MakeMap({{"vKey", vKey}, {"isKeyDown", true}, {"isExtendedKey", false}}), false);
        if (alive && action < 98) {
          alive = session->send(
              "rc_input", "sendKey",
              MakeMap({{"vKey", vKey}, {"isKeyDown", false}, {"isExtendedKey", false}}), false);
        }
      }
      alive = alive && session->pump(pick(5, 40) / 1000.0);
      if (session->overdue() > 0) {
        std::fprintf(stderr, "soak_client: a reply took more than %.0f s\n", kReplyBound);
        status = 1;
        break;
      }
    }
    if (!alive) {
      std::fprintf(stderr, "soak_client: the host closed the connection\n");
      status = 1;
      break;
    }
    bool last = Clock::now() >= end;
    if (!last && pick(0, 2) == 0) {
      ++totals.abrupt;  // gone while capturing, replies and all
      continue;
    }
    session->send("rc_capture", "stopCapture", Value(), true);
    if (!session->drainReplies()) {
      totals.missing += long(session->pendingCount());
      status = 1;
    }
  }
  std::printf(
      "soak_client: %.0f s, %ld sessions (%ld left abruptly, %ld retried connects), %ld commands, "
      "%ld replies, %ld frames\n",
      seconds, totals.sessions, totals.abrupt, totals.refused, totals.commands, totals.replies,
      totals.frames);
  if (totals.missing > 0)
    std::fprintf(stderr, "soak_client: %ld replies missing\n", totals.missing);
  if (totals.frames == 0) {
    std::fputs("soak_client: no frames arrived\n", stderr);
    status = 1;
  }
  return status;
}
