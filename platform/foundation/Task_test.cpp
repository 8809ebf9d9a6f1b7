#include "platform/foundation/Task.h"
#include "platform/testing/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace foundation {
namespace {

int RunBash(const std::string& script, std::vector<std::string> extra = {}) {
  NSTask task;
  task.setLaunchPath("/bin/bash");
  std::vector<std::string> arguments = {"-c", script, "bash"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  task.setArguments(arguments);
  EXPECT_TRUE(task.launch());
  task.waitUntilExit();
  return task.terminationStatus();
}

TEST(TaskTest, ExitStatusAndArgumentsReachTheCaller) {
  EXPECT_EQ(RunBash("exit 0"), 0);
  EXPECT_EQ(RunBash("exit 3"), 3);
  EXPECT_EQ(RunBash("exit 255"), 255);
  EXPECT_EQ(RunBash("[ \"$1\" = 'a b' ] && [ \"$2\" = '' ] && exit $#", {"a b", ""}), 2);
}

TEST(TaskTest, SignalIsReportedAsItsNegatedNumber) {
  NSTask task;
  task.setLaunchPath("/bin/bash");
  task.setArguments({"-c", "kill -TERM $$"});
  ASSERT_TRUE(task.launch());
  task.waitUntilExit();
  EXPECT_EQ(task.terminationStatus(), -15);
  EXPECT_EQ(task.terminationReason(), NSTask::TerminationReason::kUncaughtSignal);
  EXPECT_EQ(RunBash("exit $((128 + 15))"), 143);  // an exit status never looks like a signal
}

TEST(TaskTest, MissingProgramIsALaunchFailureWithStatus127) {
  NSTask task;
  task.setLaunchPath("/nonexistent/bash");
  EXPECT_FALSE(task.launch());
  EXPECT_EQ(task.launchError(), ENOENT);
  task.waitUntilExit();
  EXPECT_EQ(task.terminationReason(), NSTask::TerminationReason::kLaunchFailed);
  EXPECT_EQ(task.terminationStatus(), 127);
}

TEST(TaskTest, ChildInheritsStreamsWorkingDirectoryAndEnvironment) {
  namespace fs = std::filesystem;
  const rctest::TempDir tmp("task_test");
  const std::string out = tmp / "out";
  int file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  setenv("TASK_TEST_VALUE", "inherited", 1);
  const std::string cwd = fs::current_path().string();
  std::fflush(stdout);
  std::fflush(stderr);
  int savedOut = dup(1), savedErr = dup(2);
  dup2(file, 1);
  dup2(file, 2);
  int status = RunBash("echo \"out $TASK_TEST_VALUE\"; echo \"err $PWD\" >&2");
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
  close(file);
  unsetenv("TASK_TEST_VALUE");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(rctest::ReadFile(out), "out inherited\nerr " + cwd + "\n");
}

}  // namespace
}  // namespace foundation
