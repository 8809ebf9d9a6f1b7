// rcweb's HTTPS and secure WebSocket server (Boost.Beast over OpenSSL), all on one I/O thread:
// the page's files, /login, /session and the viewers' WebSocket at /ws.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <string>

#include "viewer/auth.h"
#include "viewer/hub.h"
#include "viewer/web_files.h"

namespace rcweb {

class Server {
 public:
  struct Limits {
    size_t headerBytes = 8 * 1024;
    size_t bodyBytes = 4 * 1024;
    // A viewer whose unsent messages pass this is closed.
    size_t queuedBytes = 32u << 20;
  };

  Server(boost::asio::io_context& io, boost::asio::ssl::context& tls, Auth& auth, Hub& hub,
         WebFiles files);
  ~Server();

  bool listen(const boost::asio::ip::tcp::endpoint& endpoint, std::string* error);
  uint16_t port() const;
  void stop();

  struct State;

 private:
  void accept();
  std::shared_ptr<State> state_;
};

}  // namespace rcweb
