#include "daemon/console_user.h"

#include <gtest/gtest.h>
#include <utmp.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
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

class UtmpFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (std::filesystem::temp_directory_path() /
             ("console_user_test." + std::to_string(getpid()) + ".utmp"))
                .string();
  }
  void TearDown() override { std::filesystem::remove(path_); }

  void Write(const std::vector<utmp>& records) {
    FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (const utmp& r : records) std::fwrite(&r, sizeof r, 1, f);
    std::fclose(f);
  }

  std::string path_;
};

TEST_F(UtmpFileTest, LatestLocalLoginWins) {
  Write({Record(USER_PROCESS, "alice", "tty1"), Record(USER_PROCESS, "bob", ":0", ":0"),
         Record(DEAD_PROCESS, "", "tty2")});
  EXPECT_EQ(ConsoleUserFromUtmp(path_), "bob");
}

TEST_F(UtmpFileTest, RemoteAndNonUserRecordsAreNotTheConsole) {
  Write({Record(USER_PROCESS, "remote", "pts/0", "203.0.113.5"),
         Record(USER_PROCESS, "serial", "ttyS0"), Record(LOGIN_PROCESS, "LOGIN", "tty3"),
         Record(BOOT_TIME, "reboot", "~"), Record(USER_PROCESS, "", "tty4")});
  EXPECT_EQ(ConsoleUserFromUtmp(path_), std::nullopt);
}

TEST_F(UtmpFileTest, FullWidthNameIsNotReadPastItsField) {
  utmp r = Record(USER_PROCESS, "", "console");
  std::memset(r.ut_user, 'u', sizeof r.ut_user);  // no terminating NUL
  Write({r});
  EXPECT_EQ(ConsoleUserFromUtmp(path_), std::string(sizeof r.ut_user, 'u'));
}

TEST_F(UtmpFileTest, MissingFileIsNobody) {
  EXPECT_EQ(ConsoleUserFromUtmp(path_ + ".absent"), std::nullopt);
}

}  // namespace
}  // namespace tavrin
