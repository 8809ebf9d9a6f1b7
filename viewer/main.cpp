// rcweb: the browser viewer's gateway. One more client of the host's messenger socket; serves
// the viewer page over HTTPS and streams the desktop to it (and its input back) over a secure
// WebSocket on the same port.
//
//   rcweb [--messenger PATH] [--listen HOST:PORT] [--cert FILE --key FILE]
//         [--password-file FILE] [--view-password-file FILE] [--fps N] [--quality Q]
//         [--web-root DIR]
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "viewer/auth.h"
#include "viewer/certificate.h"
#include "viewer/host_link.h"
#include "viewer/hub.h"
#include "viewer/server.h"
#include "viewer/web_files.h"

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

struct Options {
  std::string messenger = flutter::DefaultMessengerPath();
  std::string listenHost = "127.0.0.1";
  std::string listenPort = "8443";
  std::string cert, key;
  std::string passwordFile, viewPasswordFile;
  std::string webRoot;
  int fps = 30;
  int quality = 0;
};

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "rcweb: %s\n", problem);
  std::fputs(
      "usage: rcweb [--messenger PATH] [--listen HOST:PORT] [--cert FILE --key FILE]\n"
      "             [--password-file FILE] [--view-password-file FILE] [--fps N] [--quality Q]\n"
      "             [--web-root DIR]\n",
      stderr);
  return 2;
}

bool ParseInt(const std::string& s, int lo, int hi, int* out) {
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

// HOST:PORT, [V6]:PORT.
bool SplitListen(const std::string& s, std::string* host, std::string* port) {
  size_t colon = s.rfind(':');
  if (colon == std::string::npos || colon + 1 == s.size()) return false;
  *host = s.substr(0, colon);
  *port = s.substr(colon + 1);
  if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  return !host->empty();
}

// The first line of a file, without its line end. None when it cannot be read or is empty.
std::optional<std::string> ReadSecret(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  if (line.empty()) return std::nullopt;
  return line;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "localhost";
  return name;
}

std::string UrlHost(const std::string& host) {
  if (host == "0.0.0.0" || host == "::") return HostName();
  if (host.find(':') != std::string::npos) return "[" + host + "]";
  return host;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") return Usage(nullptr);
    if (i + 1 >= args.size()) return Usage(("missing value for " + a).c_str());
    const std::string& v = args[++i];
    if (a == "--messenger") {
      o.messenger = v;
    } else if (a == "--listen") {
      if (!SplitListen(v, &o.listenHost, &o.listenPort)) return Usage("--listen takes HOST:PORT");
    } else if (a == "--cert") {
      o.cert = v;
    } else if (a == "--key") {
      o.key = v;
    } else if (a == "--password-file") {
      o.passwordFile = v;
    } else if (a == "--view-password-file") {
      o.viewPasswordFile = v;
    } else if (a == "--web-root") {
      o.webRoot = v;
    } else if (a == "--fps") {
      if (!ParseInt(v, 1, 240, &o.fps)) return Usage("--fps takes 1 to 240");
    } else if (a == "--quality") {
      if (!ParseInt(v, -1000000, 1000000, &o.quality)) return Usage("--quality takes a number");
    } else {
      return Usage(("unknown option " + a).c_str());
    }
  }
  if (o.cert.empty() != o.key.empty()) return Usage("--cert and --key go together");

  rcweb::Auth::Options authOptions;
  if (!o.passwordFile.empty()) {
    authOptions.controlPassword = ReadSecret(o.passwordFile);
    if (!authOptions.controlPassword) {
      std::fprintf(stderr, "rcweb: cannot read a password from %s\n", o.passwordFile.c_str());
      return 1;
    }
  }
  if (!o.viewPasswordFile.empty()) {
    authOptions.viewPassword = ReadSecret(o.viewPasswordFile);
    if (!authOptions.viewPassword) {
      std::fprintf(stderr, "rcweb: cannot read a password from %s\n", o.viewPasswordFile.c_str());
      return 1;
    }
  }

  // The TLS context outlives the I/O context, whose destruction ends the last connections.
  asio::ssl::context tls(asio::ssl::context::tls_server);
  asio::io_context io(1);
  tcp::resolver resolver(io);
  boost::system::error_code ec;
  auto resolved = resolver.resolve(o.listenHost, o.listenPort,
                                   tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  if (ec || resolved.empty()) {
    std::fprintf(stderr, "rcweb: cannot listen on %s:%s: %s\n", o.listenHost.c_str(),
                 o.listenPort.c_str(), ec ? ec.message().c_str() : "no address");
    return 1;
  }
  tcp::endpoint endpoint = resolved.begin()->endpoint();

  std::string certFile = o.cert, keyFile = o.key;
  if (certFile.empty()) {
    rcweb::CertificateFiles files;
    std::string error;
    std::vector<std::string> names = {"localhost", HostName(), "127.0.0.1", "::1"};
    if (o.listenHost != "0.0.0.0" && o.listenHost != "::") names.push_back(o.listenHost);
    if (!rcweb::EnsureSelfSigned(rcweb::ConfigDir(), names, &files, &error)) {
      std::fprintf(stderr, "rcweb: %s\n", error.c_str());
      return 1;
    }
    certFile = files.cert;
    keyFile = files.key;
    std::printf("certificate: %s%s\n", certFile.c_str(), files.created ? " (made now)" : "");
  }
  std::string fingerprint = rcweb::CertificateFingerprint(certFile);
  if (fingerprint.empty()) {
    std::fprintf(stderr, "rcweb: cannot read the certificate %s\n", certFile.c_str());
    return 1;
  }
  std::printf("fingerprint: SHA-256 %s\n", fingerprint.c_str());

  tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                  asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                  asio::ssl::context::no_tlsv1_1);
  tls.use_certificate_chain_file(certFile, ec);
  if (!ec) tls.use_private_key_file(keyFile, asio::ssl::context::pem, ec);
  if (ec) {
    std::fprintf(stderr, "rcweb: cannot use the certificate or key: %s\n", ec.message().c_str());
    return 1;
  }

  rcweb::WebFiles web =
      o.webRoot.empty() ? rcweb::EmbeddedWebFiles() : rcweb::WebFilesFromDirectory(o.webRoot);
  if (!web.count("/")) {
    rcweb::AddWebFile(web, "index.html",
                      "<!doctype html><meta charset=utf-8><title>rcweb</title>"
                      "<p>The viewer page is not installed.</p>\n");
  }

  rcweb::Auth auth(authOptions, rcweb::SteadySeconds);
  std::string controlToken = auth.issueToken(rcweb::Role::kControl);
  std::string viewToken = auth.issueToken(rcweb::Role::kView);

  rcweb::Hub* hubPtr = nullptr;
  rcweb::HostLink link(o.messenger, {[&] { asio::post(io, [&] { hubPtr->hostConnected(); }); },
                                     [&] { asio::post(io, [&] { hubPtr->hostDisconnected(); }); },
                                     [&](rcweb::CaptureFrame f) {
                                       asio::post(io, [&, f = std::move(f)] { hubPtr->frame(f); });
                                     }});
  rcweb::Hub::Options hubOptions;
  hubOptions.fps = o.fps;
  hubOptions.quality = o.quality;
  hubOptions.later = [&io](double seconds, std::function<void()> run) {
    auto timer = std::make_shared<asio::steady_timer>(
        io, std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6)));
    timer->async_wait([timer, run = std::move(run)](boost::system::error_code ec) {
      if (!ec) run();
    });
  };
  rcweb::Hub hub(link, hubOptions);
  hubPtr = &hub;

  rcweb::Server server(io, tls, auth, hub, std::move(web));
  std::string error;
  if (!server.listen(endpoint, &error)) {
    std::fprintf(stderr, "rcweb: cannot listen on %s:%s: %s\n", o.listenHost.c_str(),
                 o.listenPort.c_str(), error.c_str());
    return 1;
  }
  std::string base = "https://" + UrlHost(o.listenHost) + ":" + std::to_string(server.port()) + "/";
  std::printf("open: %s#token=%s\n", base.c_str(), controlToken.c_str());
  std::printf("view: %s#token=%s\n", base.c_str(), viewToken.c_str());
  std::fflush(stdout);

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](boost::system::error_code, int) {
    hub.shutdown();
    server.stop();
    io.stop();
  });
  signal(SIGPIPE, SIG_IGN);
  link.start();
  io.run();
  link.stop();
  return 0;
}
