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

using e2e::WaitForFile;
using flutter::FrameKind;

class HostEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    host = e2e::StartHost("sim", dir, socket);
    ASSERT_TRUE(host);
  }
  void TearDown() override {
    if (!host) return;
    e2e::StopHost(*host);
    EXPECT_NE(host->out().find("Screen sleep enabled"), std::string::npos) << host->out();
  }
  e2e::RunResult client(std::vector<std::string> args) { return e2e::RunClient(socket, dir, args); }

  rctest::TempDir tmp{"tavrindesk-e2e"};
  std::string dir = tmp.path(), socket = dir + "/sock/messenger.sock";
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
  e2e::Client first(socket);
  ASSERT_TRUE(first.send(1, "rc_capture", "getFPS"));
  ASSERT_TRUE(first.replyTo(1));  // the host has taken `first` as its client
  e2e::Client second(socket);
  ASSERT_TRUE(second.connected());
  EXPECT_FALSE(second.raw().receive(10).has_value());
  EXPECT_TRUE(second.raw().closed());
  EXPECT_EQ(first.call("rc_capture", "getQuality"), flutter::Value(int64_t{0}));
  EXPECT_NE(host->err().find("refused a second messenger client"), std::string::npos);
}

TEST_F(HostEndToEnd, AMalformedFrameClosesOnlyThatConnection) {
  {
    e2e::Client bad(socket);
    // A length over the 64 MiB bound.
    std::vector<uint8_t> frame = {0xff, 0xff, 0xff, 0x7f, 1, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(flutter::WriteAll(bad.raw().fd(), frame, 5));
    EXPECT_FALSE(bad.raw().receive(10).has_value());
    EXPECT_TRUE(bad.raw().closed());
  }
  {
    e2e::Client unknownKind(socket);
    auto frame = flutter::EncodeFrame({FrameKind::kMessage, 1, "rc_capture", {}});
    frame[4] = 9;
    ASSERT_TRUE(flutter::WriteAll(unknownKind.raw().fd(), frame, 5));
    EXPECT_FALSE(unknownKind.raw().receive(10).has_value());
  }
  EXPECT_TRUE(e2e::Client(socket).call("rc_capture", "getFPS"));
  EXPECT_NE(host->err().find("malformed frame"), std::string::npos) << host->err();
}

TEST_F(HostEndToEnd, AClientThatStopsReadingIsDroppedAndTheNextIsServed) {
  e2e::Client stuck(socket);
  ASSERT_TRUE(stuck.connected()) << stuck.error();
  ASSERT_TRUE(stuck.send(1, "rc_capture", "startCapture", flutter::MakeMap({{"fps", 30}})));
  // It never reads: the host's writes fill the socket buffers and time out after 5 s.
  ASSERT_TRUE(
      e2e::WaitUntil([&] { return host->err().find("stopped reading") != std::string::npos; }, 30))
      << "the stuck client was not dropped: " << host->err();
  // The next client meets a fresh host: capture stopped until it asks, then frames come.
  e2e::Client next(socket);
  ASSERT_TRUE(next.connected()) << next.error();
  EXPECT_TRUE(next.call("rc_capture", "startCapture", flutter::MakeMap({{"fps", 30}})));
  EXPECT_TRUE(next.receiveMessages(1, 50));
  EXPECT_TRUE(next.call("rc_capture", "stopCapture"));
}

}  // namespace
