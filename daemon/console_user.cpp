#include "daemon/console_user.h"

#include <pwd.h>
#include <systemd/sd-login.h>
#include <unistd.h>
#include <utmp.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace tavrin {
namespace {

constexpr char kLogindSeatsDirectory[] = "/run/systemd/seats/";

template <size_t N>
std::string_view Field(const char (&field)[N]) {
  return std::string_view(field, strnlen(field, N));
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool IsLocalLine(std::string_view line) {
  if (line == "console") return true;
  if (line.starts_with("tty")) return AllDigits(line.substr(3));
  if (line.starts_with(":")) return AllDigits(line.substr(1));
  return false;
}

std::optional<std::string> UserNameForUid(uid_t uid) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result) != 0 || !result) {
    return std::nullopt;
  }
  return std::string(result->pw_name);
}

}  // namespace

std::optional<std::string> ConsoleUserFromUtmp(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rbe"), &std::fclose);
  if (!file) return std::nullopt;
  std::optional<std::string> user;
  utmp record{};
  while (std::fread(&record, sizeof record, 1, file.get()) == 1) {
    if (record.ut_type != USER_PROCESS) continue;
    std::string_view name = Field(record.ut_user);
    std::string_view host = Field(record.ut_host);
    if (name.empty() || !IsLocalLine(Field(record.ut_line))) continue;
    if (!host.empty() && !host.starts_with(":")) continue;
    user = std::string(name);
  }
  return user;
}

std::optional<std::string> CopyConsoleUser() {
  // The directory alone does not mean that logind runs (an image may ship it without one), and a
  // seat may have no active session while utmp records a console login: utmp answers whenever
  // logind names nobody.
  if (access(kLogindSeatsDirectory, F_OK) == 0) {
    uid_t uid = 0;
    if (sd_seat_get_active("seat0", nullptr, &uid) >= 0) {
      if (std::optional<std::string> name = UserNameForUid(uid)) return name;
    }
  }
  return ConsoleUserFromUtmp(_PATH_UTMP);
}

}  // namespace tavrin
