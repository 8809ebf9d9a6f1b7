#include "daemon/console_user.h"
#include "platform/testing/TestSupport.h"

#include <gtest/gtest.h>
#include <utmp.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tavrin {
namespace {

utmp Record(short type, const char* user, const char* line, const char* host = "") {
  utmp u{};
  u.ut_type = type;
  u.ut_pid = 1;
  std::strncpy(u.ut_user, user, sizeof u.ut_user);
  std::strncpy(u.ut_line, line, sizeof u.ut_line);
  std::strncpy(u.ut_host, host, sizeof u.ut_host);
  return u;
}

TEST(ConsoleUserFromUtmpTest, LatestLocalLoginOnly) {
  utmp fullWidth = Record(USER_PROCESS, "", "console");
  std::memset(fullWidth.ut_user, 'u', sizeof fullWidth.ut_user);  // no terminating NUL
  const struct {
    std::vector<utmp> records;
    std::optional<std::string> user;
  } cases[] = {
      {{Record(USER_PROCESS, "alice", "tty1"), Record(USER_PROCESS, "bob", ":0", ":0"),
        Record(DEAD_PROCESS, "", "tty2")},
       "bob"},
      {{Record(USER_PROCESS, "remote", "pts/0", "203.0.113.5"),
        Record(USER_PROCESS, "serial", "ttyS0"), Record(LOGIN_PROCESS, "LOGIN", "tty3"),
        Record(BOOT_TIME, "reboot", "~"), Record(USER_PROCESS, "", "tty4")},
       std::nullopt},
      {{fullWidth}, std::string(sizeof fullWidth.ut_user, 'u')},
  };
  const rctest::TempDir tmp("console_user_test");
  const std::string path = tmp / "utmp";
  for (const auto& c : cases) {
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(c.records.data()),
                static_cast<std::streamsize>(c.records.size() * sizeof(utmp)));
    }
    EXPECT_EQ(ConsoleUserFromUtmp(path), c.user) << c.records.size() << " records";
  }
  std::filesystem::remove(path);
  EXPECT_EQ(ConsoleUserFromUtmp(path), std::nullopt);  // no file at all
}

}  // namespace
}  // namespace tavrin
