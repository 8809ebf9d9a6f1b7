// Sign-in for rcweb: one-time tokens, lasting passwords, session cookies with an idle timeout,
// the per-address lockout after repeated failures, and the WebSocket Origin rule. No network
// here: the server asks, this answers. Time comes from an injectable clock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "viewer/protocol.h"

namespace rcweb {

// Seconds on a monotonic clock.
using Clock = std::function<double()>;
double SteadySeconds();

// `bytes` random bytes from the system's CSPRNG, as lower-case hex.
std::string RandomHex(size_t bytes);

inline constexpr const char* kSessionCookie = "rcweb_session";

class Auth {
 public:
  struct Options {
    std::optional<std::string> controlPassword;
    std::optional<std::string> viewPassword;
    double idleTimeoutSeconds = 30 * 60;
    int maxFailures = 5;
    double lockoutSeconds = 10 * 60;
    // Addresses remembered for the lockout; the oldest entries go first beyond this.
    size_t maxTrackedAddresses = 4096;
  };

  Auth(Options options, Clock clock);

  // A new one-time token that signs in once with `role`.
  std::string issueToken(Role role);

  enum class LoginStatus { kOk, kDenied, kLocked };
  struct LoginResult {
    LoginStatus status = LoginStatus::kDenied;
    std::string sessionId;  // set for kOk
    Role role = Role::kView;
  };
  // A POST /login body (application/x-www-form-urlencoded) from `address`.
  LoginResult login(const std::string& address, std::string_view body);

  // True while `address` is refused after too many failures.
  bool locked(const std::string& address);

  // The role of the session named by a Cookie header, if it is valid and not idle too long.
  // A valid lookup counts as activity.
  std::optional<Role> sessionFromCookie(std::string_view cookieHeader);
  // The session id in a Cookie header (valid or not).
  static std::optional<std::string> CookieSessionId(std::string_view cookieHeader);
  // While a session has a connection attached it does not time out.
  void attach(const std::string& sessionId);
  void detach(const std::string& sessionId);
  // Ends a session (nothing happens to its connections).
  void end(const std::string& sessionId);

  static std::string SetCookieValue(const std::string& sessionId);

  // The WebSocket upgrade's Origin must be this page's own origin: https://<Host>.
  static bool OriginAllowed(std::string_view origin, std::string_view host);

  size_t sessions() const { return sessions_.size(); }

 private:
  struct Session {
    Role role;
    double lastSeen;
    int attached = 0;
  };
  struct Failures {
    int count = 0;
    double lockedUntil = 0;
    double last = 0;
  };
  std::optional<Role> checkSecret(std::string_view field, std::string_view value);
  std::string newSession(Role role);
  void prune();

  Options options_;
  Clock clock_;
  std::map<std::string, Role> tokens_;
  std::map<std::string, Session> sessions_;
  std::map<std::string, Failures> failures_;
};

// Decodes one application/x-www-form-urlencoded field (the first with that name).
std::optional<std::string> FormField(std::string_view body, std::string_view name);

}  // namespace rcweb
