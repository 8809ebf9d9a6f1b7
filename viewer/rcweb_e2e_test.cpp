// rcweb on loopback against the real TavrinDesk on its simulated desktop, driven by a small
// Beast client standing in for the page: sign-in, refusals, video, input, host restarts.
#include <gtest/gtest.h>

#include <openssl/x509.h>
#include <sys/stat.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <cstdlib>
#include <optional>
#include <regex>
#include <string>

#include "tests/e2e_support.h"
#include "tests/process.h"
#include "viewer/protocol.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Stream = beast::ssl_stream<beast::tcp_stream>;

constexpr auto kWait = std::chrono::seconds(20);

// Runs one asynchronous operation to its end, or for at most kWait.
template <class Start>
beast::error_code Await(asio::io_context& io, Start start) {
  std::optional<beast::error_code> result;
  start([&](beast::error_code ec, auto&&...) { result = ec; });
  io.restart();
  while (!result && io.run_one_for(kWait) > 0) {
  }
  return result.value_or(asio::error::timed_out);
}

struct Response {
  int status = 0;
  std::string cookie;  // the Set-Cookie header
  std::string body;
};

// The page's side of rcweb: HTTPS requests and one WebSocket.
class PageClient {
 public:
  explicit PageClient(uint16_t port) : port_(port) { tls_.set_verify_mode(ssl::verify_none); }

  Response request(http::verb verb, const std::string& target, const std::string& body = {},
                   const std::string& cookie = {}) {
    Stream stream(io_, tls_);
    if (!connect(stream)) return {};
    http::request<http::string_body> req{verb, target, 11};
    req.set(http::field::host, host());
    if (!cookie.empty()) req.set(http::field::cookie, cookie);
    if (!body.empty()) req.set(http::field::content_type, "application/x-www-form-urlencoded");
    req.body() = body;
    req.prepare_payload();
    http::response<http::string_body> res;
    beast::flat_buffer buffer;
    if (Await(io_, [&](auto h) { http::async_write(stream, req, h); }) ||
        Await(io_, [&](auto h) { http::async_read(stream, buffer, res, h); })) {
      return {};
    }
    return {static_cast<int>(res.result_int()), std::string(res[http::field::set_cookie]),
            res.body()};
  }

  // Opens the WebSocket; the HTTP status of a refusal in *status (101 on success).
  bool openSocket(const std::string& cookie, const std::string& origin, int* status) {
    ws_.emplace(io_, tls_);
    if (!connect(ws_->next_layer())) return false;
    websocket::response_type res;
    auto ec = Await(io_, [&](auto h) {
      ws_->set_option(websocket::stream_base::decorator([&](websocket::request_type& req) {
        if (!cookie.empty()) req.set(http::field::cookie, cookie);
        req.set(http::field::origin, origin);
      }));
      ws_->async_handshake(res, host(), "/ws", h);
    });
    *status = static_cast<int>(res.result_int());
    return !ec;
  }

  struct Message {
    bool binary = false;
    std::string data;
  };
  // The next message; video frames are acknowledged as a page does once it has decoded them.
  std::optional<Message> receive() {
    beast::flat_buffer buffer;
    if (Await(io_, [&](auto h) { ws_->async_read(buffer, h); })) return std::nullopt;
    Message m{ws_->got_binary(), beast::buffers_to_string(buffer.data())};
    if (m.binary && m.data.size() >= rcweb::kVideoHeaderSize && m.data[0] == rcweb::kVideoType) {
      const auto* p = reinterpret_cast<const uint8_t*>(m.data.data());
      send({rcweb::kAckType, 0, 0, 0, p[4], p[5], p[6], p[7]});
    }
    return m;
  }
  // The next message that satisfies `want`, skipping others (at most `limit` of them).
  std::optional<Message> receiveUntil(const std::function<bool(const Message&)>& want,
                                      int limit = 2000) {
    for (int i = 0; i < limit; ++i) {
      auto m = receive();
      if (!m || want(*m)) return m;
    }
    return std::nullopt;
  }
  bool send(const std::vector<uint8_t>& bytes) {
    ws_->binary(true);
    return !Await(io_, [&](auto h) { ws_->async_write(asio::buffer(bytes), h); });
  }
  bool sendText(const std::string& text) {
    ws_->text(true);
    return !Await(io_, [&](auto h) { ws_->async_write(asio::buffer(text), h); });
  }
  void close() {
    Await(io_, [&](auto h) { ws_->async_close(websocket::close_code::normal, h); });
  }
  uint16_t closeCode() const { return ws_->reason().code; }
  // The SHA-256 fingerprint of the certificate the server presents, as AA:BB:...
  std::string peerFingerprint() {
    Stream stream(io_, tls_);
    if (!connect(stream)) return {};
    X509* cert = SSL_get1_peer_certificate(stream.native_handle());
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    std::string out;
    if (cert && X509_digest(cert, EVP_sha256(), md, &n) == 1) {
      char part[4];
      for (unsigned int i = 0; i < n; ++i) {
        std::snprintf(part, sizeof part, i ? ":%02X" : "%02X", md[i]);
        out += part;
      }
    }
    X509_free(cert);
    return out;
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  bool connect(Stream& stream) {
    tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), port_);
    return !Await(io_, [&](auto h) { beast::get_lowest_layer(stream).async_connect(ep, h); }) &&
           !Await(io_, [&](auto h) { stream.async_handshake(ssl::stream_base::client, h); });
  }

  asio::io_context io_;
  ssl::context tls_{ssl::context::tls_client};
  uint16_t port_;
  std::optional<websocket::stream<Stream>> ws_;
};

std::vector<uint8_t> KeyMessage(bool down, uint16_t vk) {
  return {rcweb::kKeyType, static_cast<uint8_t>(down), 0, static_cast<uint8_t>(vk),
          static_cast<uint8_t>(vk >> 8)};
}

bool IsKeyFrame(const PageClient::Message& m) {
  return m.binary && m.data.size() > rcweb::kVideoHeaderSize && m.data[0] == rcweb::kVideoType &&
         (m.data[1] & rcweb::kVideoKeyFrame);
}

uint32_t FrameNumber(const PageClient::Message& m) {
  const auto* p = reinterpret_cast<const uint8_t*>(m.data.data());
  return p[4] | p[5] << 8 | p[6] << 16 | uint32_t(p[7]) << 24;
}

class RcwebEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    startHost();
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    web = std::make_unique<e2e::Process>(
        std::vector<std::string>{RCWEB_BIN, "--messenger", socket, "--listen", "127.0.0.1:0"},
        dir + "/web.out", dir + "/web.err");
    ASSERT_TRUE(web->started());
    std::smatch m;
    static const std::regex open(R"(open: https://127\.0\.0\.1:(\d+)/#token=([0-9a-f]{64})\n)");
    static const std::regex view(R"(view: https://[^#]+#token=([0-9a-f]{64})\n)");
    ASSERT_TRUE(e2e::WaitUntil(
        [&] {
          out = web->out();
          return std::regex_search(out, view);
        },
        30))
        << web->err();
    ASSERT_TRUE(std::regex_search(out, m, open)) << out;
    port = static_cast<uint16_t>(std::stoi(m[1]));
    token = m[2];
    ASSERT_TRUE(std::regex_search(out, m, view));
    viewToken = m[1];
  }
  void TearDown() override {
    if (HasFailure()) {
      std::fprintf(stderr, "rcweb:\n%s%s\nhost:\n%s\n", web ? web->out().c_str() : "",
                   web ? web->err().c_str() : "", host ? host->err().c_str() : "");
    }
    if (web) {
      web->signal(SIGTERM);
      EXPECT_EQ(web->wait(30), 0) << web->err();
      // Secrets never reach a log line.
      EXPECT_EQ(web->err().find(token), std::string::npos);
      EXPECT_EQ(web->err().find(viewToken), std::string::npos);
    }
    if (host) {
      host->signal(SIGTERM);
      host->wait(30);
    }
  }
  void startHost() {
    host = e2e::StartHost("sim", dir, socket);
    ASSERT_TRUE(host);
  }
  // Signs in and returns the cookie to send ("rcweb_session=...").
  std::string signIn(PageClient& page, const std::string& secret) {
    auto r = page.request(http::verb::post, "/login", "token=" + secret);
    EXPECT_EQ(r.status, 204);
    EXPECT_NE(r.cookie.find("HttpOnly; Secure; SameSite=Strict"), std::string::npos) << r.cookie;
    return r.cookie.substr(0, r.cookie.find(';'));
  }
  size_t untranslatedKeys() { return e2e::CountOf(host->out(), "vkey is Null\n"); }

  rctest::TempDir tmp{"tavrindesk-e2e"};
  std::string dir = tmp.path(), socket = dir + "/sock/messenger.sock", out, token, viewToken;
  uint16_t port = 0;
  std::unique_ptr<e2e::Process> host, web;
};

TEST_F(RcwebEndToEnd, SignInVideoInputAndRefusals) {
  PageClient page(port);
  // The certificate made on first start is the one served, with the fingerprint printed.
  std::string fingerprint = page.peerFingerprint();
  ASSERT_EQ(fingerprint.size(), 95u);
  EXPECT_NE(out.find("fingerprint: SHA-256 " + fingerprint + "\n"), std::string::npos) << out;
  struct stat st;
  ASSERT_EQ(stat((dir + "/config/tavrindesk/rcweb-key.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(page.request(http::verb::get, "/").status, 200);
  EXPECT_EQ(page.request(http::verb::get, "/nothing-here").status, 404);
  // Requests past the header or body bound are refused.
  EXPECT_EQ(page.request(http::verb::post, "/login", "token=" + std::string(5000, 'a')).status,
            413);
  EXPECT_EQ(page.request(http::verb::get, "/", "", "c=" + std::string(9000, 'a')).status, 431);
  EXPECT_EQ(page.request(http::verb::get, "/session").status, 401);
  EXPECT_EQ(page.request(http::verb::post, "/login", "token=" + std::string(64, '0')).status, 401);
  std::string cookie = signIn(page, token);
  // The token was for one use only.
  EXPECT_EQ(page.request(http::verb::post, "/login", "token=" + token).status, 401);
  auto session = page.request(http::verb::get, "/session", "", cookie);
  EXPECT_EQ(session.status, 200);
  EXPECT_EQ(session.body, R"({"role":"control"})");

  int status = 0;
  std::string origin = "https://" + page.host();
  EXPECT_FALSE(page.openSocket("", origin, &status));
  EXPECT_EQ(status, 401);
  EXPECT_FALSE(page.openSocket("rcweb_session=" + std::string(64, 'a'), origin, &status));
  EXPECT_EQ(status, 401);
  EXPECT_FALSE(page.openSocket(cookie, "https://elsewhere.example", &status));
  EXPECT_EQ(status, 403);

  ASSERT_TRUE(page.openSocket(cookie, origin, &status));
  auto hello = page.receive();
  ASSERT_TRUE(hello);
  EXPECT_FALSE(hello->binary);
  EXPECT_NE(hello->data.find(R"("type":"hello","role":"control")"), std::string::npos)
      << hello->data;
  auto key = page.receiveUntil(IsKeyFrame);
  ASSERT_TRUE(key);
  EXPECT_EQ(FrameNumber(*key), 1u);
  const auto* h = reinterpret_cast<const uint8_t*>(key->data.data());
  EXPECT_EQ(h[8] | h[9] << 8, 1280);
  EXPECT_EQ(h[10] | h[11] << 8, 720);
  e2e::IvfFile ivf;
  ivf.frames.emplace_back(key->data.begin() + rcweb::kVideoHeaderSize, key->data.end());
  auto decoded = e2e::DecodeVp9(ivf);
  EXPECT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.last.width, 1280);

  // A second viewer with the view-only token watches; its input goes nowhere.
  PageClient second(port);
  std::string viewCookie = signIn(second, viewToken);
  ASSERT_TRUE(second.openSocket(viewCookie, origin, &status));
  auto secondHello = second.receive();
  ASSERT_TRUE(secondHello);
  EXPECT_NE(secondHello->data.find(R"("role":"view")"), std::string::npos);
  ASSERT_TRUE(second.receiveUntil(IsKeyFrame));
  // VK 16 (the side-neutral Shift) is one the host does not translate: it says so on its output,
  // which shows that the key reached it.
  ASSERT_TRUE(second.send(KeyMessage(true, 16)));
  ASSERT_TRUE(page.send(KeyMessage(true, 16)));
  EXPECT_TRUE(e2e::WaitUntil([&] { return untranslatedKeys() >= 1; }, 30)) << host->out();
  // The controller leaves holding the key: rcweb releases it.
  page.close();
  EXPECT_TRUE(e2e::WaitUntil([&] { return untranslatedKeys() >= 2; }, 30)) << host->out();
  // A malformed message closes only its own viewer.
  ASSERT_TRUE(second.send({rcweb::kKeyType, 1}));
  EXPECT_FALSE(second.receiveUntil([](const auto&) { return false; }));
  EXPECT_EQ(second.closeCode(), rcweb::kCloseUnsupported);
  EXPECT_EQ(untranslatedKeys(), 2u) << host->out();
}

TEST_F(RcwebEndToEnd, FiveFailuresLockTheAddressOut) {
  PageClient page(port);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(page.request(http::verb::post, "/login", "token=wrong").status, 401);
  }
  EXPECT_EQ(page.request(http::verb::post, "/login", "token=" + token).status, 403);
  EXPECT_EQ(page.request(http::verb::get, "/").status, 403);
}

TEST_F(RcwebEndToEnd, VideoComesBackAfterTheHostRestarts) {
  PageClient page(port);
  std::string cookie = signIn(page, token);
  int status = 0;
  ASSERT_TRUE(page.openSocket(cookie, "https://" + page.host(), &status));
  ASSERT_TRUE(page.receiveUntil(IsKeyFrame));
  host->signal(SIGKILL);
  host->wait(30);
  ASSERT_TRUE(page.receiveUntil(
      [](const auto& m) { return !m.binary && m.data == R"({"type":"host","connected":false})"; }));
  startHost();
  ASSERT_TRUE(page.receiveUntil(
      [](const auto& m) { return !m.binary && m.data == R"({"type":"host","connected":true})"; }));
  EXPECT_TRUE(page.receiveUntil(IsKeyFrame));
}

}  // namespace
