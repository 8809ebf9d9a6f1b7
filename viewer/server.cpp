#include "viewer/server.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cstdio>
#include <deque>

namespace rcweb {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Stream = beast::ssl_stream<beast::tcp_stream>;

struct Server::State {
  asio::io_context& io;
  ssl::context& tls;
  Auth& auth;
  Hub& hub;
  WebFiles files;
  Limits limits;
  tcp::acceptor acceptor;
  bool stopped = false;

  State(asio::io_context& io, ssl::context& tls, Auth& auth, Hub& hub, WebFiles files)
      : io(io), tls(tls), auth(auth), hub(hub), files(std::move(files)), acceptor(io) {}
};

namespace {

constexpr auto kHandshakeTimeout = std::chrono::seconds(10);
constexpr auto kRequestTimeout = std::chrono::seconds(30);

std::string_view Sv(beast::string_view s) {
  return std::string_view(s.data(), s.size());
}

template <class Body>
void CommonHeaders(http::response<Body>& res) {
  res.set(http::field::cache_control, "no-store");
  res.set("X-Content-Type-Options", "nosniff");
  res.set("Content-Security-Policy",
          "default-src 'self'; img-src 'self' blob: data:; connect-src 'self'");
  res.set("Referrer-Policy", "no-referrer");
}

http::response<http::string_body> Respond(http::status status, unsigned version, bool keepAlive,
                                          std::string body = {}, std::string type = {}) {
  http::response<http::string_body> res{status, version};
  CommonHeaders(res);
  if (!type.empty()) res.set(http::field::content_type, type);
  res.body() = std::move(body);
  res.keep_alive(keepAlive);
  res.prepare_payload();
  return res;
}

// One viewer's WebSocket.
class ViewerSession : public ViewerPort, public std::enable_shared_from_this<ViewerSession> {
 public:
  ViewerSession(std::shared_ptr<Server::State> state, Stream&& stream, Role role,
                std::string sessionId)
      : state_(std::move(state)),
        ws_(std::move(stream)),
        role_(role),
        sessionId_(std::move(sessionId)) {}

  void accept(http::request<http::string_body> req) {
    beast::get_lowest_layer(ws_).expires_never();
    auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
    timeouts.idle_timeout = std::chrono::seconds(60);
    timeouts.keep_alive_pings = true;
    ws_.set_option(timeouts);
    ws_.read_message_max(kMaxPageMessage);
    ws_.auto_fragment(false);
    ws_.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->joined();
    });
  }

  void sendText(std::string text) override {
    Out out;
    out.binary = false;
    out.head.assign(text.begin(), text.end());
    push(std::move(out));
  }

  void sendBinary(std::vector<uint8_t> head, Bytes body) override {
    Out out;
    out.binary = true;
    out.head = std::move(head);
    out.body = std::move(body);
    push(std::move(out));
  }

 private:
  struct Out {
    bool binary = true;
    std::vector<uint8_t> head;
    Bytes body;
    size_t size() const { return head.size() + (body ? body->size() : 0); }
  };

  void joined() {
    state_->auth.attach(sessionId_);
    inHub_ = true;  // the hub sends the hello from inside join()
    id_ = state_->hub.join(this, role_);
    read();
  }

  void read() {
    ws_.async_read(buffer_,
                   [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
  }

  void onRead(beast::error_code ec) {
    if (ec) {
      leave();
      return;
    }
    if (closing_) {
      // Draining until the close handshake ends the read.
      buffer_.consume(buffer_.size());
      read();
      return;
    }
    auto data = buffer_.data();
    std::span<const uint8_t> bytes(static_cast<const uint8_t*>(data.data()), data.size());
    auto code = state_->hub.message(id_, ws_.got_binary(), bytes);
    buffer_.consume(buffer_.size());
    if (code) {
      close(*code);
      // Keep reading: the read completes when the close handshake is done.
    }
    read();
  }

  void leave() {
    if (!inHub_) return;
    inHub_ = false;
    state_->hub.leave(id_);
    state_->auth.detach(sessionId_);
    queue_.clear();
  }

  void push(Out out) {
    if (closing_ || !inHub_) return;
    queued_ += out.size();
    if (queued_ > state_->limits.queuedBytes) {
      close(websocket::close_code::policy_error);
      return;
    }
    queue_.push_back(std::move(out));
    if (!writing_) write();
  }

  void write() {
    if (queue_.empty()) {
      writing_ = false;
      if (closeCode_) doClose();
      return;
    }
    writing_ = true;
    Out& out = queue_.front();
    ws_.binary(out.binary);
    std::array<asio::const_buffer, 2> buffers = {
        asio::buffer(out.head), out.body ? asio::buffer(*out.body) : asio::const_buffer()};
    ws_.async_write(buffers, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) {
        self->writing_ = false;
        self->queue_.clear();
        return;  // the pending read fails too and ends the viewer
      }
      self->queued_ -= self->queue_.front().size();
      self->queue_.pop_front();
      self->write();
    });
  }

  void close(uint16_t code) {
    if (closing_) return;
    closing_ = true;
    closeCode_ = code;
    // Nothing more is sent; a write in progress finishes first.
    while (queue_.size() > (writing_ ? 1u : 0u)) queue_.pop_back();
    if (!writing_) doClose();
  }

  void doClose() {
    uint16_t code = *closeCode_;
    closeCode_.reset();
    ws_.async_close(websocket::close_reason(code),
                    [self = shared_from_this()](beast::error_code) { self->leave(); });
  }

  std::shared_ptr<Server::State> state_;
  websocket::stream<Stream> ws_;
  Role role_;
  std::string sessionId_;
  uint64_t id_ = 0;
  bool inHub_ = false;
  beast::flat_buffer buffer_;
  std::deque<Out> queue_;
  size_t queued_ = 0;
  bool writing_ = false;
  bool closing_ = false;
  std::optional<uint16_t> closeCode_;
};

// One HTTPS connection: requests until it closes or becomes a WebSocket.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(std::shared_ptr<Server::State> state, tcp::socket&& socket)
      : state_(std::move(state)), stream_(std::move(socket), state_->tls) {
    beast::error_code ec;
    auto remote = beast::get_lowest_layer(stream_).socket().remote_endpoint(ec);
    address_ = ec ? "?" : remote.address().to_string();
  }

  void run() {
    beast::get_lowest_layer(stream_).expires_after(kHandshakeTimeout);
    stream_.async_handshake(ssl::stream_base::server,
                            [self = shared_from_this()](beast::error_code ec) {
                              if (!ec) self->read();
                            });
  }

 private:
  void read() {
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(state_->limits.headerBytes));
    parser_->body_limit(state_->limits.bodyBytes);
    beast::get_lowest_layer(stream_).expires_after(kRequestTimeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
  }

  void onRead(beast::error_code ec) {
    if (ec == http::error::header_limit || ec == http::error::body_limit ||
        ec == http::error::buffer_overflow) {
      bool header = ec != http::error::body_limit;
      send(Respond(
          header ? http::status::request_header_fields_too_large : http::status::payload_too_large,
          11, false));
      return;
    }
    if (ec) {
      shutdown();
      return;
    }
    auto req = parser_->release();
    if (state_->auth.locked(address_)) {
      send(Respond(http::status::forbidden, req.version(), false));
      return;
    }
    std::string target(req.target());
    if (auto q = target.find('?'); q != std::string::npos) target.resize(q);
    if (target == "/ws" && websocket::is_upgrade(req)) {
      upgrade(std::move(req));
      return;
    }
    send(handle(req, target));
  }

  void upgrade(http::request<http::string_body> req) {
    auto cookie = Sv(req[http::field::cookie]);
    auto role = state_->auth.sessionFromCookie(cookie);
    if (!role) {
      send(Respond(http::status::unauthorized, req.version(), false));
      return;
    }
    if (!Auth::OriginAllowed(Sv(req[http::field::origin]), Sv(req[http::field::host]))) {
      send(Respond(http::status::forbidden, req.version(), false));
      return;
    }
    auto id = Auth::CookieSessionId(cookie);
    std::make_shared<ViewerSession>(state_, std::move(stream_), *role, *id)->accept(std::move(req));
  }

  http::response<http::string_body> handle(const http::request<http::string_body>& req,
                                           const std::string& target) {
    unsigned v = req.version();
    bool keep = req.keep_alive();
    if (target == "/login") {
      if (req.method() != http::verb::post) return Respond(http::status::not_found, v, keep);
      auto result = state_->auth.login(address_, req.body());
      switch (result.status) {
        case Auth::LoginStatus::kOk: {
          auto res = Respond(http::status::no_content, v, keep);
          res.set(http::field::set_cookie, Auth::SetCookieValue(result.sessionId));
          std::fprintf(stderr, "rcweb: %s signed in (%s)\n", address_.c_str(),
                       RoleName(result.role));
          return res;
        }
        case Auth::LoginStatus::kLocked:
          return Respond(http::status::forbidden, v, false);
        case Auth::LoginStatus::kDenied:
          std::fprintf(stderr, "rcweb: %s failed to sign in\n", address_.c_str());
          return Respond(http::status::unauthorized, v, keep);
      }
    }
    if (req.method() != http::verb::get && req.method() != http::verb::head) {
      return Respond(http::status::not_found, v, keep);
    }
    if (target == "/session") {
      auto role = state_->auth.sessionFromCookie(Sv(req[http::field::cookie]));
      if (!role) return Respond(http::status::unauthorized, v, keep);
      return Respond(http::status::ok, v, keep,
                     std::string(R"({"role":")") + RoleName(*role) + "\"}", "application/json");
    }
    auto file = state_->files.find(target);
    if (file == state_->files.end()) return Respond(http::status::not_found, v, keep);
    auto res = Respond(http::status::ok, v, keep, file->second.body, file->second.contentType);
    if (req.method() == http::verb::head) res.body().clear();
    return res;
  }

  void send(http::response<http::string_body> res) {
    auto msg = std::make_shared<http::response<http::string_body>>(std::move(res));
    bool close = !msg->keep_alive();
    http::async_write(stream_, *msg,
                      [self = shared_from_this(), msg, close](beast::error_code ec, size_t) {
                        if (ec) return;
                        if (close) {
                          self->shutdown();
                        } else {
                          self->read();
                        }
                      });
  }

  void shutdown() {
    beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(5));
    stream_.async_shutdown([self = shared_from_this()](beast::error_code) {
      beast::error_code ignored;
      beast::get_lowest_layer(self->stream_).socket().close(ignored);
    });
  }

  std::shared_ptr<Server::State> state_;
  Stream stream_;
  std::string address_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

Server::Server(asio::io_context& io, ssl::context& tls, Auth& auth, Hub& hub, WebFiles files)
    : state_(std::make_shared<State>(io, tls, auth, hub, std::move(files))) {}

Server::~Server() {
  stop();
}

bool Server::listen(const tcp::endpoint& endpoint, std::string* error) {
  beast::error_code ec;
  auto& a = state_->acceptor;
  a.open(endpoint.protocol(), ec);
  if (!ec) a.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) a.bind(endpoint, ec);
  if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = ec.message();
    return false;
  }
  accept();
  return true;
}

uint16_t Server::port() const {
  beast::error_code ec;
  return state_->acceptor.local_endpoint(ec).port();
}

void Server::stop() {
  state_->stopped = true;
  beast::error_code ec;
  state_->acceptor.close(ec);
}

void Server::accept() {
  auto state = state_;
  state->acceptor.async_accept([state, this](beast::error_code ec, tcp::socket socket) {
    if (state->stopped) return;
    if (!ec) std::make_shared<HttpSession>(state, std::move(socket))->run();
    accept();
  });
}

}  // namespace rcweb
