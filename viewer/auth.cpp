#include "viewer/auth.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cctype>
#include <chrono>
#include <stdexcept>
#include <vector>

namespace rcweb {

namespace {

std::string Hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out(n * 2, '0');
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = digits[p[i] >> 4];
    out[2 * i + 1] = digits[p[i] & 15];
  }
  return out;
}

bool SameSecret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// Sessions are kept under a hash of their id, so a map lookup's timing says nothing useful
// about the ids themselves.
std::string Digest(std::string_view id) {
  uint8_t md[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const uint8_t*>(id.data()), id.size(), md);
  return std::string(reinterpret_cast<const char*>(md), sizeof md);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> UrlDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%') {
      if (i + 2 >= s.size()) return std::nullopt;
      int hi = HexDigit(s[i + 1]), lo = HexDigit(s[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out += static_cast<char>(hi << 4 | lo);
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

bool IsSessionId(std::string_view id) {
  if (id.size() != 64) return false;
  for (char c : id) {
    if (HexDigit(c) < 0 || (c >= 'A' && c <= 'F')) return false;
  }
  return true;
}

}  // namespace

double SteadySeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string RandomHex(size_t bytes) {
  std::vector<uint8_t> buf(bytes);
  if (RAND_bytes(buf.data(), static_cast<int>(buf.size())) != 1) {
    throw std::runtime_error("no random bytes");
  }
  return Hex(buf.data(), buf.size());
}

std::optional<std::string> FormField(std::string_view body, std::string_view name) {
  while (!body.empty()) {
    size_t amp = body.find('&');
    std::string_view pair = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    size_t eq = pair.find('=');
    if (eq == std::string_view::npos) continue;
    auto key = UrlDecode(pair.substr(0, eq));
    if (key && *key == name) return UrlDecode(pair.substr(eq + 1));
  }
  return std::nullopt;
}

Auth::Auth(Options options, Clock clock) : options_(std::move(options)), clock_(std::move(clock)) {}

std::string Auth::issueToken(Role role) {
  std::string token = RandomHex(32);
  tokens_[token] = role;
  return token;
}

bool Auth::locked(const std::string& address) {
  auto it = failures_.find(address);
  return it != failures_.end() && it->second.lockedUntil > clock_();
}

std::optional<Role> Auth::checkSecret(std::string_view field, std::string_view value) {
  if (value.empty()) return std::nullopt;
  if (field == "token") {
    // Every token is compared, in constant time each; a match is used up.
    std::optional<std::string> hit;
    for (const auto& [token, role] : tokens_) {
      if (SameSecret(token, value)) hit = token;
    }
    if (!hit) return std::nullopt;
    Role role = tokens_[*hit];
    tokens_.erase(*hit);
    return role;
  }
  bool control = options_.controlPassword && SameSecret(*options_.controlPassword, value);
  bool view = options_.viewPassword && SameSecret(*options_.viewPassword, value);
  if (control) return Role::kControl;
  if (view) return Role::kView;
  return std::nullopt;
}

Auth::LoginResult Auth::login(const std::string& address, std::string_view body) {
  prune();
  double now = clock_();
  if (locked(address)) return {LoginStatus::kLocked, {}, Role::kView};
  std::optional<Role> role;
  if (auto token = FormField(body, "token")) {
    role = checkSecret("token", *token);
  } else if (auto password = FormField(body, "password")) {
    role = checkSecret("password", *password);
  }
  if (!role) {
    Failures& f = failures_[address];
    f.last = now;
    if (++f.count >= options_.maxFailures) {
      f.count = 0;
      f.lockedUntil = now + options_.lockoutSeconds;
    }
    return {LoginStatus::kDenied, {}, Role::kView};
  }
  failures_.erase(address);
  return {LoginStatus::kOk, newSession(*role), *role};
}

std::string Auth::newSession(Role role) {
  std::string id = RandomHex(32);
  sessions_[Digest(id)] = Session{role, clock_()};
  return id;
}

void Auth::prune() {
  double now = clock_();
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    bool idle = it->second.attached == 0 && now - it->second.lastSeen > options_.idleTimeoutSeconds;
    it = idle ? sessions_.erase(it) : std::next(it);
  }
  for (auto it = failures_.begin(); it != failures_.end();) {
    bool stale = it->second.lockedUntil <= now && now - it->second.last > options_.lockoutSeconds;
    it = stale ? failures_.erase(it) : std::next(it);
  }
  while (failures_.size() > options_.maxTrackedAddresses) {
    auto oldest = failures_.begin();
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
      if (it->second.last < oldest->second.last) oldest = it;
    }
    failures_.erase(oldest);
  }
}

std::optional<std::string> Auth::CookieSessionId(std::string_view header) {
  while (!header.empty()) {
    size_t semi = header.find(';');
    std::string_view part = header.substr(0, semi);
    header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    size_t eq = part.find('=');
    if (eq == std::string_view::npos || part.substr(0, eq) != kSessionCookie) continue;
    std::string_view value = part.substr(eq + 1);
    while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
    if (IsSessionId(value)) return std::string(value);
  }
  return std::nullopt;
}

std::optional<Role> Auth::sessionFromCookie(std::string_view cookieHeader) {
  prune();
  auto id = CookieSessionId(cookieHeader);
  if (!id) return std::nullopt;
  auto it = sessions_.find(Digest(*id));
  if (it == sessions_.end()) return std::nullopt;
  it->second.lastSeen = clock_();
  return it->second.role;
}

void Auth::attach(const std::string& sessionId) {
  auto it = sessions_.find(Digest(sessionId));
  if (it != sessions_.end()) ++it->second.attached;
}

void Auth::detach(const std::string& sessionId) {
  auto it = sessions_.find(Digest(sessionId));
  if (it != sessions_.end() && it->second.attached > 0) {
    --it->second.attached;
    it->second.lastSeen = clock_();
  }
}

void Auth::end(const std::string& sessionId) {
  sessions_.erase(Digest(sessionId));
}

std::string Auth::SetCookieValue(const std::string& sessionId) {
  return std::string(kSessionCookie) + "=" + sessionId +
         "; Path=/; HttpOnly; Secure; SameSite=Strict";
}

bool Auth::OriginAllowed(std::string_view origin, std::string_view host) {
  if (host.empty() || origin.size() != host.size() + 8 || origin.substr(0, 8) != "https://") {
    return false;
  }
  // Host names compare without regard to case.
  for (size_t i = 0; i < host.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(origin[8 + i])) !=
        std::tolower(static_cast<unsigned char>(host[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace rcweb
