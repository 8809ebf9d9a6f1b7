// The real TavrinDesk on the simulated desktop, driven through its messenger socket by the
// real rcclient and by test clients speaking the socket protocol.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "platform/flutter/messenger_socket.h"
#include "platform/flutter/standard_codec.h"
#include "tests/e2e_support.h"
#include "tests/process.h"

namespace {

using e2e::MakeTempDir;
using e2e::WaitForFile;
using flutter::Frame;
using flutter::FrameKind;
using flutter::MessengerSocketClient;

class HostEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = MakeTempDir();
    socket = dir + "/sock/messenger.sock";
    host = std::make_unique<e2e::Process>(
        std::vector<std::string>{TAVRINDESK_BIN, "--desktop", "sim", "--messenger", socket},
        dir + "/host.out", dir + "/host.err");
    ASSERT_TRUE(host->started());
    ASSERT_TRUE(WaitForFile(socket, 30)) << host->err();
  }
  void TearDown() override {
    if (host) {
      host->signal(SIGTERM);
      auto status = host->wait(30);
      EXPECT_EQ(status, 0) << host->err();
      EXPECT_NE(host->out().find("Screen sleep enabled"), std::string::npos) << host->out();
    }
    e2e::RemoveTree(dir);
  }
  e2e::RunResult client(std::vector<std::string> args) {
    args.insert(args.begin(), {RCCLIENT_BIN, "--messenger", socket});
    return e2e::Run(args, dir);
  }
  std::unique_ptr<MessengerSocketClient> connect() {
    std::string error;
    auto c = MessengerSocketClient::Connect(socket, &error);
    EXPECT_TRUE(c) << error;
    return c;
  }
  static bool Call(MessengerSocketClient& c, uint32_t id, const std::string& channel,
                   const std::string& method, const flutter::Value& args = {}) {
    return c.send({FrameKind::kMessage, id, channel, flutter::EncodeMethodCall({method, args})});
  }
  // The next reply with `id`, skipping frames the host sends meanwhile.
  static std::optional<Frame> ReplyTo(MessengerSocketClient& c, uint32_t id, double seconds = 30) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      auto f = c.receive(1.0);
      if (f && f->kind == FrameKind::kReply && f->id == id) return f;
      if (c.closed()) return std::nullopt;
    }
    return std::nullopt;
  }

  std::string dir, socket;
  std::unique_ptr<e2e::Process> host;
};

TEST_F(HostEndToEnd, LaunchLinesCallsAndARecordingThatDecodes) {
  auto fps = client({"call", "rc_capture", "getFPS"});
  EXPECT_EQ(fps.status, 0) << fps.err;
  EXPECT_EQ(fps.out, "30\n");
  EXPECT_EQ(client({"call", "rc_capture", "getResolution"}).out,
            "[{\"x\":0,\"y\":0,\"width\":1280,\"height\":720}]\n");
  EXPECT_EQ(client({"call", "rc_core", "anything"}).out, "null\n");

  auto rec = client({"record", "--fps", "15", "--seconds", "2", "--out", dir + "/out.ivf"});
  ASSERT_EQ(rec.status, 0) << rec.err << rec.out;
  EXPECT_NE(rec.out.find("recorded"), std::string::npos);
  auto ivf = e2e::ReadIvf(dir + "/out.ivf");
  EXPECT_EQ(ivf.fourcc, "VP90");
  EXPECT_EQ(ivf.width, 1280);
  EXPECT_EQ(ivf.height, 720);
  // A key frame and at least one frame predicted from it; how many more come in two seconds
  // depends on how busy the machine is.
  ASSERT_GE(ivf.frames.size(), 2u);
  auto decoded = e2e::DecodeVp9(ivf);
  EXPECT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.decoded, static_cast<int>(ivf.frames.size()));
  EXPECT_EQ(decoded.last.width, 1280);
  EXPECT_EQ(decoded.last.height, 720);
  EXPECT_TRUE(WaitForFile(dir + "/out-cursor-1.png", 1));

  // Input commands never answer; the permission queries do.
  EXPECT_EQ(client({"call", "rc_input", "mouseMove", R"({"x": 10, "y": 20})"}).out,
            "no reply (mouseMove does not answer)\n");
  EXPECT_EQ(client({"call", "rc_input", "sendKey",
                    R"({"vKey": 65, "isKeyDown": true, "isExtendedKey": false})"})
                .out,
            "no reply (sendKey does not answer)\n");
  EXPECT_EQ(client({"call", "rc_input", "checkInputPermit"}).out, "true\n");
  EXPECT_EQ(client({"call", "rc_input", "unknownThing", R"({"x": 1, "y": 1})"}).out, "true\n");
  EXPECT_NE(host->out().find("Screen sleep disabled\nApp Nap disabled\nsleep Disabled: true\n"),
            std::string::npos)
      << host->out();
}

TEST_F(HostEndToEnd, ASecondClientIsRefusedAndTheFirstGoesOn) {
  auto first = connect();
  ASSERT_TRUE(Call(*first, 1, "rc_capture", "getFPS"));
  ASSERT_TRUE(ReplyTo(*first, 1));  // the host has taken `first` as its client
  auto second = connect();
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->receive(10).has_value());
  EXPECT_TRUE(second->closed());
  ASSERT_TRUE(Call(*first, 2, "rc_capture", "getQuality"));
  auto reply = ReplyTo(*first, 2);
  ASSERT_TRUE(reply);
  EXPECT_EQ(flutter::DecodeEnvelope(reply->payload).value->result, flutter::Value(int64_t{0}));
  EXPECT_NE(host->err().find("refused a second messenger client"), std::string::npos);
}

TEST_F(HostEndToEnd, AMalformedFrameClosesOnlyThatConnection) {
  {
    auto bad = connect();
    // A length over the 64 MiB bound.
    std::vector<uint8_t> frame = {0xff, 0xff, 0xff, 0x7f, 1, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(flutter::WriteAll(bad->fd(), frame, 5));
    EXPECT_FALSE(bad->receive(10).has_value());
    EXPECT_TRUE(bad->closed());
  }
  {
    auto unknownKind = connect();
    auto frame = flutter::EncodeFrame({FrameKind::kMessage, 1, "rc_capture", {}});
    frame[4] = 9;
    ASSERT_TRUE(flutter::WriteAll(unknownKind->fd(), frame, 5));
    EXPECT_FALSE(unknownKind->receive(10).has_value());
  }
  auto good = connect();
  ASSERT_TRUE(Call(*good, 7, "rc_capture", "getFPS"));
  EXPECT_TRUE(ReplyTo(*good, 7));
  EXPECT_NE(host->err().find("malformed frame"), std::string::npos) << host->err();
}

TEST_F(HostEndToEnd, AClientThatStopsReadingIsDroppedAndTheNextIsServed) {
  auto stuck = connect();
  ASSERT_TRUE(Call(*stuck, 1, "rc_capture", "startCapture", flutter::MakeMap({{"fps", 30}})));
  // It never reads: the host's writes fill the socket buffers and time out after 5 s.
  std::unique_ptr<MessengerSocketClient> next;
  for (int i = 0; i < 60 && !next; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (host->err().find("stopped reading") != std::string::npos) next = connect();
  }
  ASSERT_TRUE(next) << "the stuck client was not dropped: " << host->err();
  // The next client meets a fresh host: capture stopped until it asks, then frames come.
  ASSERT_TRUE(Call(*next, 3, "rc_capture", "startCapture", flutter::MakeMap({{"fps", 30}})));
  bool gotFrame = false;
  for (int i = 0; i < 50 && !gotFrame; ++i) {
    auto f = next->receive(1.0);
    gotFrame = f && f->kind == FrameKind::kMessage;
  }
  EXPECT_TRUE(gotFrame);
  ASSERT_TRUE(Call(*next, 2, "rc_capture", "stopCapture"));
  EXPECT_TRUE(ReplyTo(*next, 2));
}

}  // namespace
