// Helpers shared by the end-to-end tests: waiting for files, reading and
// decoding IVF recordings, and speaking the messenger protocol as a test client.
#pragma once

#include <sys/stat.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/flutter/messenger_socket.h"
#include "platform/flutter/standard_codec.h"
#include "platform/testing/TestSupport.h"
#include "tests/process.h"

namespace e2e {

using rctest::WaitUntil;

inline bool WaitForFile(const std::string& path, double seconds) {
  return WaitUntil(
      [&] {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
      },
      seconds);
}

// The host on `desktop`, its messenger socket at `socket` and its output in `dir`, once the
// socket exists; null (and a test failure) when it does not come up.
inline std::unique_ptr<Process> StartHost(const std::string& desktop, const std::string& dir,
                                          const std::string& socket) {
  auto host = std::make_unique<Process>(
      std::vector<std::string>{TAVRINDESK_BIN, "--desktop", desktop, "--messenger", socket},
      dir + "/host.out", dir + "/host.err");
  if (!host->started() || !WaitForFile(socket, 30)) {
    ADD_FAILURE() << "the host did not come up: " << host->err();
    return nullptr;
  }
  return host;
}

// Ends a started host with SIGTERM and expects exit status 0.
inline void StopHost(Process& host) {
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(30), 0) << host.err();
}

#ifdef RCCLIENT_BIN
// The real rcclient on the host's socket, run to its end; its output goes to files in `dir`.
inline RunResult RunClient(const std::string& socket, const std::string& dir,
                           std::vector<std::string> args) {
  args.insert(args.begin(), {RCCLIENT_BIN, "--messenger", socket});
  return Run(args, dir);
}
#endif

inline size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

struct IvfFile {
  std::string fourcc;
  int width = 0, height = 0;
  std::vector<std::vector<uint8_t>> frames;
};

inline IvfFile ReadIvf(const std::string& path) {
  IvfFile out;
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> header(32);
  if (!in.read(reinterpret_cast<char*>(header.data()), 32)) return out;
  out.fourcc.assign(header.begin() + 8, header.begin() + 12);
  out.width = header[12] | header[13] << 8;
  out.height = header[14] | header[15] << 8;
  for (;;) {
    uint8_t fh[12];
    if (!in.read(reinterpret_cast<char*>(fh), 12)) break;
    uint32_t size = fh[0] | fh[1] << 8 | fh[2] << 16 | uint32_t(fh[3]) << 24;
    std::vector<uint8_t> f(size);
    if (!in.read(reinterpret_cast<char*>(f.data()), size)) break;
    out.frames.push_back(std::move(f));
  }
  return out;
}

// A decoded picture in I420, tightly packed.
struct I420 {
  int width = 0, height = 0;
  std::vector<uint8_t> y, u, v;
};

// Decodes every frame of a VP9 recording. `decoded` counts the frames that came out; `last` is
// the last of them.
struct Decoded {
  bool ok = false;
  int decoded = 0;
  I420 last;
};

inline Decoded DecodeVp9(const IvfFile& ivf) {
  Decoded out;
  vpx_codec_ctx_t codec;
  if (vpx_codec_dec_init(&codec, vpx_codec_vp9_dx(), nullptr, 0) != VPX_CODEC_OK) return out;
  out.ok = true;
  for (const auto& f : ivf.frames) {
    if (vpx_codec_decode(&codec, f.data(), static_cast<unsigned>(f.size()), nullptr, 0) !=
        VPX_CODEC_OK) {
      out.ok = false;
      break;
    }
    vpx_codec_iter_t iter = nullptr;
    while (vpx_image_t* img = vpx_codec_get_frame(&codec, &iter)) {
      ++out.decoded;
      I420& p = out.last;
      p.width = int(img->d_w);
      p.height = int(img->d_h);
      int cw = (p.width + 1) / 2, ch = (p.height + 1) / 2;
      auto copy = [](const vpx_image_t* im, int plane, int w, int h, std::vector<uint8_t>& to) {
        to.resize(size_t(w) * h);
        for (int row = 0; row < h; ++row) {
          const uint8_t* src = im->planes[plane] + int64_t{row} * im->stride[plane];
          std::copy(src, src + w, to.begin() + int64_t{row} * w);
        }
      };
      copy(img, VPX_PLANE_Y, p.width, p.height, p.y);
      copy(img, VPX_PLANE_U, cw, ch, p.u);
      copy(img, VPX_PLANE_V, cw, ch, p.v);
    }
  }
  vpx_codec_destroy(&codec);
  return out;
}

// A test client of the host's messenger socket.
class Client {
 public:
  explicit Client(const std::string& socket) {
    std::string error;
    connection_ = flutter::MessengerSocketClient::Connect(socket, &error);
    error_ = error;
  }
  bool connected() const { return connection_ != nullptr; }
  const std::string& error() const { return error_; }
  flutter::MessengerSocketClient& raw() { return *connection_; }

  bool send(uint32_t id, const std::string& channel, const std::string& method,
            const flutter::Value& args = {}) {
    if (!connection_) return false;
    return connection_->send(
        {flutter::FrameKind::kMessage, id, channel, flutter::EncodeMethodCall({method, args})});
  }
  // The next reply with `id`, skipping (and counting) the messages the host sends meanwhile.
  std::optional<flutter::Frame> replyTo(uint32_t id, double seconds = 30) {
    std::optional<flutter::Frame> reply;
    WaitUntil([&] { return (reply = next(flutter::FrameKind::kReply, id)) || closed(); }, seconds);
    return reply;
  }
  // Calls and returns the decoded result; none without a reply or with an empty one.
  std::optional<flutter::Value> call(const std::string& channel, const std::string& method,
                                     const flutter::Value& args = {}, double seconds = 30) {
    uint32_t id = nextId_++;
    if (!send(id, channel, method, args)) return std::nullopt;
    auto reply = replyTo(id, seconds);
    if (!reply || reply->payload.empty()) return std::nullopt;
    auto env = flutter::DecodeEnvelope(reply->payload);
    if (!env || !env.value->success) return std::nullopt;
    return env.value->result;
  }
  // Waits for `count` messages (frames) from the host; true when they came in time.
  bool receiveMessages(int count, double seconds) {
    const int until = messages_ + count;
    WaitUntil(
        [&] {
          next(flutter::FrameKind::kMessage, 0);
          return messages_ >= until || closed();
        },
        seconds);
    return messages_ >= until;
  }
  int messages() const { return messages_; }

 private:
  bool closed() const { return connection_->closed(); }
  // The next frame (waiting half a second at most), counting messages; returned when it is of
  // `kind` (and, for a reply, answers `id`).
  std::optional<flutter::Frame> next(flutter::FrameKind kind, uint32_t id) {
    auto f = connection_->receive(0.5);
    if (f && f->kind == flutter::FrameKind::kMessage) ++messages_;
    if (!f || f->kind != kind || (kind == flutter::FrameKind::kReply && f->id != id)) return {};
    return f;
  }

  std::unique_ptr<flutter::MessengerSocketClient> connection_;
  std::string error_;
  uint32_t nextId_ = 100;
  int messages_ = 0;
};

}  // namespace e2e
