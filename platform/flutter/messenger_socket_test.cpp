#include "platform/flutter/messenger_socket.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <random>
#include <thread>

namespace flutter {
namespace {

// Polls `condition` every 10 ms for up to 20 s.
bool WaitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 2000 && !condition(); ++i) usleep(10000);
  return condition();
}

TEST(FrameReader, ReassemblesFramesSplitAnywhere) {
  Frame a{FrameKind::kMessage, 7, "rc_capture", {1, 2, 3}};
  Frame b{FrameKind::kReply, 0xdeadbeef, "", {}};
  ByteBuffer stream = EncodeFrame(a);
  auto eb = EncodeFrame(b);
  stream.insert(stream.end(), eb.begin(), eb.end());
  // Exact bytes of the first frame: length 3+... little-endian, kind, id, name length, name.
  EXPECT_EQ(stream[0], 1 + 4 + 2 + 10 + 3);
  EXPECT_EQ(stream[4], 1);
  EXPECT_EQ(stream[5], 7);
  EXPECT_EQ(stream[9], 10);
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    FrameReader r;
    r.Feed(std::span(stream).first(cut));
    std::vector<Frame> got;
    while (auto f = r.Next()) got.push_back(*f);
    r.Feed(std::span(stream).subspan(cut));
    while (auto f = r.Next()) got.push_back(*f);
    ASSERT_EQ(got.size(), 2u) << "cut at " << cut;
    EXPECT_EQ(got[0].channel, "rc_capture");
    EXPECT_EQ(got[0].payload, (ByteBuffer{1, 2, 3}));
    EXPECT_EQ(got[1].kind, FrameKind::kReply);
    EXPECT_EQ(got[1].id, 0xdeadbeefu);
    EXPECT_TRUE(r.error().empty());
    EXPECT_EQ(r.buffered(), 0u);
  }
}

TEST(FrameReader, RejectsMalformedFramesWithoutWaitingForTheirBody) {
  auto rejects = [](ByteBuffer bytes) {
    FrameReader r;
    r.Feed(bytes);
    EXPECT_FALSE(r.Next().has_value());
    return !r.error().empty();
  };
  EXPECT_TRUE(rejects({0x01, 0x00, 0x00, 0x04}));  // 64 MiB + 1: over the bound, no body needed
  EXPECT_TRUE(rejects({0x03, 0, 0, 0, 1, 0, 0}));  // too short for kind, id and name length
  auto frame = EncodeFrame({FrameKind::kMessage, 1, "x", {}});
  frame[4] = 3;
  EXPECT_TRUE(rejects(frame));  // unknown kind
  frame = EncodeFrame({FrameKind::kMessage, 1, "x", {}});
  frame[9] = 200;
  EXPECT_TRUE(rejects(frame));  // name longer than the frame
  frame = EncodeFrame({FrameKind::kMessage, 1, "\xc3\x28", {}});
  EXPECT_TRUE(rejects(frame));  // name not UTF-8
  // Exactly at the bound is only a frame still arriving.
  FrameReader r;
  r.Feed(ByteBuffer{0x00, 0x00, 0x00, 0x04, 1});
  EXPECT_FALSE(r.Next().has_value());
  EXPECT_TRUE(r.error().empty());
}

TEST(MessengerSocket, RefusesALinkOrAnOpenDirectoryAndChangesNoExistingMode) {
  char tmpl[] = "/tmp/rc-sock-test-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  FlutterEngine engine;
  std::string error;
  ASSERT_EQ(symlink("/tmp", (dir + "/link").c_str()), 0);
  EXPECT_FALSE(MessengerSocketServer::Listen(dir + "/link/m.sock", engine.messenger(), &error));
  EXPECT_NE(error.find("not a directory"), std::string::npos) << error;

  // An existing directory others may write to is refused and keeps its mode (as /tmp would).
  ASSERT_EQ(mkdir((dir + "/open").c_str(), 0777), 0);
  ASSERT_EQ(chmod((dir + "/open").c_str(), 01777), 0);
  EXPECT_FALSE(MessengerSocketServer::Listen(dir + "/open/m.sock", engine.messenger(), &error));
  EXPECT_NE(error.find("writable by other users"), std::string::npos) << error;
  struct stat st;
  ASSERT_EQ(stat((dir + "/open").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01777u);

  // A directory the host makes is private; a second host on the same path is refused.
  auto server = MessengerSocketServer::Listen(dir + "/own/m.sock", engine.messenger(), &error);
  ASSERT_TRUE(server) << error;
  ASSERT_EQ(stat((dir + "/own").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(MessengerSocketServer::Listen(dir + "/own/m.sock", engine.messenger(), &error));
  EXPECT_NE(error.find("already listening"), std::string::npos) << error;
  server->close();
  // Once the first is gone, the path can be used again.
  EXPECT_TRUE(MessengerSocketServer::Listen(dir + "/own/m.sock", engine.messenger(), &error))
      << error;
  std::string cmd = "rm -rf '" + dir + "'";
  (void)!system(cmd.c_str());
}

// A program that closes its connection and connects again at once must be served, not refused
// as a second client while its old connection is still being torn down.
TEST(MessengerSocket, AReconnectRightAfterAHangUpIsServed) {
  char tmpl[] = "/tmp/rc-sock-test-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  FlutterEngine engine;
  engine.startPlatformThread();
  std::string error;
  auto server = MessengerSocketServer::Listen(dir + "/s/m.sock", engine.messenger(), &error);
  ASSERT_TRUE(server) << error;
  engine.messenger()->setPeer(server);
  for (uint32_t round = 1; round <= 20; ++round) {
    auto client = MessengerSocketClient::Connect(dir + "/s/m.sock", &error);
    ASSERT_TRUE(client) << error;
    ASSERT_TRUE(client->send({FrameKind::kMessage, round, "nobody", {0x07, 0x01, 'x', 0x00}}));
    auto reply = client->receive(20);
    ASSERT_TRUE(reply.has_value()) << "round " << round << " was refused";
    EXPECT_EQ(reply->id, round);
  }
  server->close();
  engine.messenger()->setPeer(nullptr);
  std::string cmd = "rm -rf '" + dir + "'";
  (void)!system(cmd.c_str());
}

// A message too large for a frame is dropped before it is written: a client must reject such a
// frame and hang up, so sending it would cost the connection.
TEST(MessengerSocket, AMessageTooLargeForAFrameIsNotSentAndTheClientStays) {
  char tmpl[] = "/tmp/rc-sock-test-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  FlutterEngine engine;
  std::string error;
  auto server = MessengerSocketServer::Listen(dir + "/s/m.sock", engine.messenger(), &error);
  ASSERT_TRUE(server) << error;
  engine.messenger()->setPeer(server);
  auto client = MessengerSocketClient::Connect(dir + "/s/m.sock", &error);
  ASSERT_TRUE(client) << error;
  ASSERT_TRUE(WaitFor([&] { return server->hasClient(); }));
  bool answered = false, empty = false;
  std::thread big([&] {
    engine.messenger()->sendOnChannel("big", ByteBuffer(kMaxFrameLength), [&](const ByteBuffer& r) {
      answered = true;
      empty = r.empty();
    });
  });
  std::vector<Frame> got;
  while (auto f = client->receive(2)) got.push_back(*f);  // reads while the host writes
  big.join();
  EXPECT_TRUE(answered && empty);
  engine.messenger()->sendOnChannel("small", ByteBuffer{1});
  while (auto f = client->receive(2)) got.push_back(*f);
  ASSERT_FALSE(client->closed());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].channel, "small");
  // Nor does the client send one.
  EXPECT_FALSE(client->send({FrameKind::kMessage, 0, "big", ByteBuffer(kMaxFrameLength)}));
  EXPECT_FALSE(client->closed());
  server->close();
  engine.messenger()->setPeer(nullptr);
  std::string cmd = "rm -rf '" + dir + "'";
  (void)!system(cmd.c_str());
}

// While the platform thread is behind, the host stops reading the client instead of queueing
// without limit; once it catches up, reading resumes and nothing is lost.
TEST(MessengerSocket, ReadingPausesWhileThePlatformThreadIsBehind) {
  char tmpl[] = "/tmp/rc-sock-test-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  FlutterEngine engine;  // its platform thread not started yet: nothing is handled
  std::atomic<int> handled{0};
  engine.messenger()->setMessageHandlerOnChannel(
      "sink", [&](const ByteBuffer&, const FlutterBinaryReply&) { ++handled; });
  std::string error;
  auto server = MessengerSocketServer::Listen(dir + "/s/m.sock", engine.messenger(), &error);
  ASSERT_TRUE(server) << error;
  engine.messenger()->setPeer(server);
  auto client = MessengerSocketClient::Connect(dir + "/s/m.sock", &error);
  ASSERT_TRUE(client) << error;
  const auto frame = EncodeFrame({FrameKind::kMessage, 0, "sink", ByteBuffer(1 << 20)});
  constexpr int kFrames = 128;  // 128 MiB, eight times the budget
  const size_t total = kFrames * frame.size();
  size_t done = 0;
  // Writes the frames one after another until all are written or the host takes nothing for
  // `seconds`.
  auto push = [&](int seconds) {
    while (done < total) {
      const size_t at = done % frame.size();
      ssize_t n =
          send(client->fd(), frame.data() + at, frame.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      pollfd p{client->fd(), POLLOUT, 0};
      if (n < 0 && errno == EAGAIN && poll(&p, 1, seconds * 1000) == 1) continue;
      return;
    }
  };
  push(2);
  // The budget, plus what the socket buffers and the frame reader hold.
  EXPECT_LT(done, kReadQueueBudget + (16u << 20));
  engine.startPlatformThread();
  push(30);
  EXPECT_EQ(done, total);
  EXPECT_TRUE(WaitFor([&] { return handled == kFrames; })) << handled;
  server->close();
  engine.stopPlatformThread();
  engine.messenger()->setPeer(nullptr);
  std::string cmd = "rm -rf '" + dir + "'";
  (void)!system(cmd.c_str());
}

// A frame begun and not finished in time costs the connection (it would hold the only client
// slot); a connection idle between frames stays.
TEST(MessengerSocket, AFrameLeftUnfinishedClosesTheConnectionAnIdleOneStays) {
  char tmpl[] = "/tmp/rc-sock-test-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  FlutterEngine engine;
  engine.startPlatformThread();
  std::string error;
  auto server = MessengerSocketServer::Listen(dir + "/s/m.sock", engine.messenger(), &error);
  ASSERT_TRUE(server) << error;
  server->setFrameDeadlineForTesting(0.5);
  engine.messenger()->setPeer(server);
  const ByteBuffer call{0x07, 0x01, 'x', 0x00};
  {
    auto idle = MessengerSocketClient::Connect(dir + "/s/m.sock", &error);
    ASSERT_TRUE(idle) << error;
    ASSERT_TRUE(idle->send({FrameKind::kMessage, 1, "nobody", call}));
    ASSERT_TRUE(idle->receive(20).has_value());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // three deadlines, idle
    ASSERT_TRUE(idle->send({FrameKind::kMessage, 2, "nobody", call}));
    auto reply = idle->receive(20);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->id, 2u);
  }
  ASSERT_TRUE(WaitFor([&] { return !server->hasClient(); }));
  auto slow = MessengerSocketClient::Connect(dir + "/s/m.sock", &error);
  ASSERT_TRUE(slow) << error;
  const auto frame = EncodeFrame({FrameKind::kMessage, 3, "nobody", call});
  ASSERT_TRUE(WriteAll(slow->fd(), std::span(frame).first(5), 1.0));  // then nothing more
  EXPECT_FALSE(slow->receive(20).has_value());
  EXPECT_TRUE(slow->closed());
  server->close();
  engine.messenger()->setPeer(nullptr);
  std::string cmd = "rm -rf '" + dir + "'";
  (void)!system(cmd.c_str());
}

// A socket someone else put where the host's should be is not trusted: neither one served by
// another user nor one in another user's directory.
TEST(MessengerSocket, TheClientRefusesAHostOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kNobody = 65534;
  char tmpl[] = "/tmp/rc-sock-test-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
  const std::string theirs = dir + "/theirs", shared = dir + "/shared";
  ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
  ASSERT_EQ(chown(theirs.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  const std::string paths[] = {theirs + "/m.sock", shared + "/m.sock"};
  sockaddr_un addrs[2];
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(FillSocketAddress(paths[i], addrs[i], nullptr));
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {  // the squatter: only system calls from here
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(1);
    for (auto& addr : addrs) {
      int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) {
        _exit(2);
      }
    }
    close(ready[0]);
    (void)!write(ready[1], "x", 1);
    pause();  // until the parent kills it
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the squatter could not listen";
  std::string error;
  EXPECT_FALSE(MessengerSocketClient::Connect(paths[0], &error));
  EXPECT_NE(error.find("refusing the host"), std::string::npos) << error;
  EXPECT_FALSE(MessengerSocketClient::Connect(paths[1], &error));
  EXPECT_NE(error.find("served by user 65534"), std::string::npos) << error;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  std::string cmd = "rm -rf '" + dir + "'";
  (void)!system(cmd.c_str());
}

TEST(MessengerSocket, WriteAllGivesUpOnAPeerThatDoesNotRead) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ByteBuffer big(8 << 20);
  // Nobody reads fds[1]: the buffers fill and the bounded wait ends the write.
  EXPECT_FALSE(WriteAll(fds[0], big, 0.2));
  close(fds[1]);
  EXPECT_FALSE(WriteAll(fds[0], ByteBuffer(10), 0.2));  // peer gone
  close(fds[0]);
}

}  // namespace
}  // namespace flutter
