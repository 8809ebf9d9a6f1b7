// End-to-end tests of the built daemon in its bundle, run inside a private root (see
// testing/PrivateRoot.h). Log files are compared line by line with the expected text.
#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon/testing/PrivateRoot.h"

namespace tavrin {
namespace {

using std::chrono::milliseconds;
using testing::PrivateRoot;

// Generous bounds: a pass takes about a second on an idle machine; these only end a broken run.
constexpr milliseconds kExitBound{10000};
constexpr milliseconds kPassesBound{15000};

constexpr char kLog[] = "/tmp/tavrin/daemon.log";
constexpr char kErrorLog[] = "/tmp/tavrin/daemon_error.log";
const std::string kConfig = std::string("/Users/Shared/") + RC_BUNDLE_IDENTIFIER + "/config.json";
const std::string kAgent =
    std::string("/Library/LaunchAgents/") + RC_BUNDLE_IDENTIFIER + ".agent.plist";
const std::string kUnit = std::string("/etc/systemd/system/") + RC_DAEMON_UNIT;
const std::string kScripts = PrivateRoot::kResources;

// An expected log line: the exact text, or (prefix) any line that starts with it and goes on.
struct Line {
  std::string text;
  bool prefix = false;
  Line(const char* t) : text(t) {}
  Line(std::string t, bool p = false) : text(std::move(t)), prefix(p) {}
};

const std::vector<Line> kStart = {"Daemon Starting...", "JSON Path: " + kConfig};

bool Matches(const std::string& actual, const Line& expected) {
  if (!expected.prefix) return actual == expected.text;
  return actual.size() > expected.text.size() && actual.starts_with(expected.text);
}

std::vector<Line> Concat(std::initializer_list<std::vector<Line>> parts) {
  std::vector<Line> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

void ExpectLines(const std::vector<std::string>& actual, const std::vector<Line>& expected) {
  EXPECT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < std::min(actual.size(), expected.size()); ++i) {
    EXPECT_TRUE(Matches(actual[i], expected[i]))
        << "line " << i << ": \"" << actual[i] << "\", expected \"" << expected[i].text << "\""
        << (expected[i].prefix ? " and more" : "");
  }
}

// The log of a daemon stopped after at least `passes` passes: the start-up lines, `perPass`
// repeated, and possibly part of the pass that was running when it was stopped.
void ExpectRepeatedPasses(const std::vector<std::string>& actual, const std::vector<Line>& perPass,
                          size_t passes) {
  std::vector<Line> expected = kStart;
  for (size_t i = 0; i <= passes; ++i)
    expected.insert(expected.end(), perPass.begin(), perPass.end());
  const size_t least = kStart.size() + passes * perPass.size();
  ASSERT_GE(actual.size(), least);
  ASSERT_LE(actual.size(), expected.size());
  expected.resize(actual.size(), "");
  ExpectLines(actual, expected);
}

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!PrivateRoot::Supported(&why)) GTEST_SKIP() << why;
    root_ = std::make_unique<PrivateRoot>();
    root_->SetUtmpConsoleUser("root");
  }

  std::vector<std::string> Log() const { return root_->Lines(kLog); }
  std::vector<std::string> ErrorLog() const { return root_->Lines(kErrorLog); }

  void ExpectExitZero() {
    std::optional<int> status = root_->WaitForExit(kExitBound);
    ASSERT_TRUE(status.has_value()) << "the daemon did not end";
    EXPECT_EQ(*status, 0);
  }

  // Lets the daemon run `passes` complete passes, then stops it.
  void RunPasses(int passes) {
    ASSERT_TRUE(root_->WaitForConfigOpens(passes + 1, kPassesBound));
    EXPECT_TRUE(root_->Running());
    root_->Stop();
  }

  void ExpectNothingInherited() {
    EXPECT_EQ(root_->InheritedStdout(), "");
    EXPECT_EQ(root_->InheritedStderr(), "");
  }

  std::unique_ptr<PrivateRoot> root_;
};

// --- configuration file missing: removal of the agent and of the daemon ---------------------

TEST_F(DaemonTest, MissingConfigRemovesAgentThenDaemonAndExitsZero) {
  root_->WriteFile(kAgent, "agent");
  root_->WriteFile(kUnit, "[Service]\n");
  root_->Start();
  ExpectExitZero();
  ExpectLines(Log(), Concat({kStart,
                             {"File is Empty Path: " + kConfig, "uninstall_agent.sh - OK",
                              "uninstall_daemon.sh - OK"}}));
  EXPECT_FALSE(root_->Exists(kAgent));
  EXPECT_FALSE(root_->Exists(kUnit));
  EXPECT_EQ(ErrorLog(), std::vector<std::string>{});
  ExpectNothingInherited();
}

TEST_F(DaemonTest, MissingDaemonRemovalScriptKeepsTheDaemonRepeating) {
  std::filesystem::remove(root_->Path(kScripts + "/uninstall_daemon.sh"));
  root_->Start();
  const std::vector<Line> perPass = {"File is Empty Path: " + kConfig, "uninstall_agent.sh - OK",
                                     "uninstall_daemon.sh is Not Found"};
  ASSERT_TRUE(root_->WaitForLines(kLog, kStart.size() + 2 * perPass.size(), kPassesBound));
  EXPECT_TRUE(root_->Running());
  root_->Stop();
  ExpectRepeatedPasses(Log(), perPass, 2);
}

// --- configuration contents that leave everything as it is ----------------------------------

struct QuietCase {
  const char* name;
  const char* config;
  std::vector<Line> perPass;
};

class ConfigContentsTest : public DaemonTest, public ::testing::WithParamInterface<QuietCase> {};

TEST_P(ConfigContentsTest, LogsEachPassAndTouchesNothing) {
  root_->WriteFile(kConfig, GetParam().config);
  root_->WriteFile(kAgent, "agent");
  root_->Start();
  RunPasses(2);
  ExpectRepeatedPasses(Log(), GetParam().perPass, 2);
  EXPECT_TRUE(root_->Exists(kAgent));
  EXPECT_EQ(ErrorLog(), std::vector<std::string>{});
  ExpectNothingInherited();
}

INSTANTIATE_TEST_SUITE_P(
    Daemon, ConfigContentsTest,
    ::testing::Values(
        QuietCase{"ZeroBytes", "", {Line("Read Json : Error - Parser 1 [json.exception", true)}},
        QuietCase{"Scalar",
                  "42",
                  {"Read Json : Error - Parser 1 syntax error: the top-level value is a number; "
                   "expected '{' or '['"}},
        QuietCase{"Array",
                  "[{\"isStandByMode\": 1, \"isRunMode\": 1}]",
                  {"Read Json : Error - Parser 2"}},
        QuietCase{"EmptyObject", "{}", {"Read Json : Error - Invalid Column Name"}},
        QuietCase{"StringFlag",
                  R"({"isStandByMode": "1", "isRunMode": 1})",
                  {"Read Json : Error - Invalid Column Name"}},
        QuietCase{"FractionalFlag",
                  R"({"isStandByMode": 1.5, "isRunMode": 0})",
                  {"Read Json : Error - Invalid Column Name"}},
        QuietCase{"RunModeAbsent", R"({"isStandByMode": 1})", {}},
        QuietCase{"BothOnAgentPresent", R"({"isStandByMode": 1, "isRunMode": 1})", {}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- flags that ask for the agent ------------------------------------------------------------

class InstallTest : public DaemonTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(InstallTest, InstallsTheAgentOnceThenStaysQuiet) {
  root_->WriteFile(kConfig, GetParam());
  root_->Start();
  RunPasses(2);
  ExpectLines(Log(), Concat({kStart, {"Try Install Agent", "install_agent.sh - OK"}}));

  plist_t raw = nullptr;
  std::string xml = root_->ReadFile(kAgent);
  plist_from_memory(xml.data(), static_cast<uint32_t>(xml.size()), &raw);
  std::unique_ptr<void, void (*)(plist_t)> agent(raw, plist_free);
  ASSERT_NE(agent, nullptr) << xml;
  char* label = nullptr;
  plist_get_string_val(plist_dict_get_item(agent.get(), "Label"), &label);
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(std::string(label), std::string(RC_BUNDLE_IDENTIFIER) + ".agent");
  free(label);
  char* program = nullptr;
  plist_get_string_val(
      plist_array_get_item(plist_dict_get_item(agent.get(), "ProgramArguments"), 0), &program);
  ASSERT_NE(program, nullptr);
  EXPECT_EQ(std::string(program), std::string(PrivateRoot::kBundle) + "/Contents/MacOS/TavrinDesk");
  free(program);
  ExpectNothingInherited();
}

INSTANTIATE_TEST_SUITE_P(Daemon, InstallTest,
                         ::testing::Values(R"({"isStandByMode": 1, "isRunMode": 1})",
                                           R"({"isStandByMode": 1.0, "isRunMode": 1.0})"));

TEST_F(DaemonTest, FailingInstallScriptRunsAgainEveryPass) {
  root_->WriteFile(kConfig, R"({"isStandByMode": 1, "isRunMode": 1})");
  root_->WriteFile(kScripts + "/install_agent.sh", "echo \"installing for $1\"\nexit 3\n");
  root_->Start();
  RunPasses(2);
  ExpectRepeatedPasses(
      Log(), {"Try Install Agent", "installing for root", "install_agent.sh - Error (Code: 3)"}, 2);
}

// --- flags that ask for removal ---------------------------------------------------------------

TEST_F(DaemonTest, OneDotZeroIsAnIntegerAndAnotherFlagValueRemoves) {
  root_->WriteFile(kConfig, R"({"isStandByMode": 1.0, "isRunMode": 2})");
  root_->WriteFile(kAgent, "agent");
  root_->Start();
  ExpectExitZero();
  ExpectLines(
      Log(),
      Concat({kStart,
              {"Try Uninstall Agent", "uninstall_agent.sh - OK", "uninstall_daemon.sh - OK"}}));
  EXPECT_FALSE(root_->Exists(kAgent));
}

TEST_F(DaemonTest, NoConsoleUserSkipsAgentRemovalButRemovesTheDaemon) {
  root_->SetUtmpConsoleUser(std::nullopt);
  root_->WriteFile(kConfig, R"({"isStandByMode": 0, "isRunMode": 1})");
  root_->WriteFile(kAgent, "agent");
  root_->Start();
  ExpectExitZero();
  ExpectLines(Log(), Concat({kStart,
                             {"Try Uninstall Agent",
                              "uninstall_agent.sh - Error (Failed to get console user)",
                              "uninstall_daemon.sh - OK"}}));
  EXPECT_TRUE(root_->Exists(kAgent));
}

TEST_F(DaemonTest, LogindActiveSeatUserIsTheConsoleUserAndUtmpIsThenIgnored) {
  root_->WriteFile(kScripts + "/uninstall_agent.sh", "echo \"removing for $1\"\n");
  std::filesystem::create_directories(root_->Path("/run/systemd/seats"));
  root_->WriteFile("/run/systemd/seats/seat0", "ACTIVE=c1\nACTIVE_UID=0\n");
  root_->SetUtmpConsoleUser(std::nullopt);
  root_->Start();
  ExpectExitZero();
  // With logind present but no active session on seat0, utmp is not consulted.
  std::filesystem::remove(root_->Path("/run/systemd/seats/seat0"));
  root_->SetUtmpConsoleUser("root");
  root_->Start();
  ExpectExitZero();
  const std::vector<Line> removal = {"File is Empty Path: " + kConfig};
  ExpectLines(Log(),
              Concat({kStart,
                      removal,
                      {"removing for root", "uninstall_agent.sh - OK", "uninstall_daemon.sh - OK"},
                      kStart,
                      removal,
                      {"uninstall_agent.sh - Error (Failed to get console user)",
                       "uninstall_daemon.sh - OK"}}));
}

// --- scripts and their statuses ---------------------------------------------------------------

TEST_F(DaemonTest, ScriptsWithoutExecutePermissionStillRun) {
  for (const char* script : {"install_agent.sh", "uninstall_agent.sh", "uninstall_daemon.sh"}) {
    chmod(root_->Path(kScripts + "/" + script).c_str(), 0644);
  }
  root_->WriteFile(kAgent, "agent");
  root_->Start();
  ExpectExitZero();
  ExpectLines(Log(), Concat({kStart,
                             {"File is Empty Path: " + kConfig, "uninstall_agent.sh - OK",
                              "uninstall_daemon.sh - OK"}}));
  EXPECT_FALSE(root_->Exists(kAgent));
}

TEST_F(DaemonTest, ScriptKilledBySignalIsReportedAsMinusTheSignal) {
  root_->WriteFile(kScripts + "/uninstall_agent.sh", "kill -KILL $$\n");
  root_->Start();
  ExpectExitZero();
  ExpectLines(Log(),
              Concat({kStart,
                      {"File is Empty Path: " + kConfig, "uninstall_agent.sh - Error (Code: -9)",
                       "uninstall_daemon.sh - OK"}}));
}

TEST_F(DaemonTest, BashThatCannotStartIsLoggedLikeAFailedScript) {
  std::filesystem::remove(root_->Path("/bin"));
  std::filesystem::create_directory(root_->Path("/bin"));
  root_->Start();
  ExpectExitZero();
  ExpectLines(Log(),
              Concat({kStart,
                      {"File is Empty Path: " + kConfig, "uninstall_agent.sh - Error (Code: 127)",
                       "uninstall_daemon.sh - Error (Code: 127)"}}));
  ExpectLines(ErrorLog(), {"TavrinDeskDaemon: cannot start /bin/bash: No such file or directory",
                           "TavrinDeskDaemon: cannot start /bin/bash: No such file or directory"});
}

TEST_F(DaemonTest, BundleWithoutIdentifierEndsAtOnce) {
  root_->WriteFile(std::string(PrivateRoot::kBundle) + "/Contents/Info.plist",
                   "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleName</key>"
                   "<string>TavrinDesk</string></dict></plist>");
  root_->Start();
  ExpectExitZero();
  ExpectLines(Log(), {"Daemon Starting...", "Bundle is Empty."});
}

TEST_F(DaemonTest, HangingScriptIsWaitedForWithoutFurtherPasses) {
  ASSERT_EQ(mkfifo(root_->Path("/hang.fifo").c_str(), 0600), 0);
  root_->WriteFile(kConfig, R"({"isStandByMode": 1, "isRunMode": 1})");
  root_->WriteFile(kScripts + "/install_agent.sh", "echo waiting\nread -r _ < /hang.fifo\n");
  root_->Start();
  ASSERT_TRUE(root_->WaitForLines(kLog, kStart.size() + 2, kPassesBound));
  // Three pause lengths without a pass: the daemon is blocked in the script, as specified.
  EXPECT_FALSE(root_->WaitForConfigOpens(2, milliseconds(3000)));
  ExpectLines(Log(), Concat({kStart, {"Try Install Agent", "waiting"}}));

  int fifo = open(root_->Path("/hang.fifo").c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(fifo, 0);
  ASSERT_EQ(write(fifo, "\n", 1), 1);
  close(fifo);
  ASSERT_TRUE(root_->WaitForLines(kLog, kStart.size() + 5, kPassesBound));
  root_->Stop();
  ExpectLines(Log(), Concat({kStart,
                             {"Try Install Agent", "waiting", "install_agent.sh - OK",
                              "Try Install Agent", "waiting"}}));
}

// --- configuration changing under the daemon --------------------------------------------------

TEST_F(DaemonTest, HalfWrittenConfigIsReadAgainNextPass) {
  root_->WriteFile(kConfig, R"({"isStandByMode": 1, "isRun)");
  root_->Start();
  ASSERT_TRUE(root_->WaitForLines(kLog, kStart.size() + 1, kPassesBound));
  // The writer finishes by renaming a complete file into place.
  root_->WriteFile(kConfig + ".new", R"({"isStandByMode": 1, "isRunMode": 0})");
  std::filesystem::rename(root_->Path(kConfig + ".new"), root_->Path(kConfig));
  ExpectExitZero();
  std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), kStart.size() + 4);
  const std::vector<std::string> tail(log.end() - 3, log.end());
  ExpectLines(tail, {"Try Uninstall Agent", "uninstall_agent.sh - OK", "uninstall_daemon.sh - OK"});
  for (size_t i = kStart.size(); i + 3 < log.size(); ++i) {
    EXPECT_TRUE(log[i].starts_with("Read Json : Error - Parser 1 ")) << log[i];
  }
}

TEST_F(DaemonTest, ConfigRewrittenInPlaceDuringReadsIsNeverTakenAsMissing) {
  // A complete file leaves the daemon quiet (no "isRunMode"); a torn one is a Parser 1 message.
  const std::string full = R"({"isStandByMode": 1, "padding": ")" + std::string(32768, 'x') + "\"}";
  root_->WriteFile(kConfig, full);
  root_->WriteFile(kAgent, "agent");
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    const std::string path = root_->Path(kConfig);
    while (!stop) {
      int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
      if (fd < 0) continue;
      for (size_t at = 0; at < full.size() && !stop; at += 1024) {
        ssize_t ignored = write(fd, full.data() + at, std::min<size_t>(1024, full.size() - at));
        (void)ignored;
        std::this_thread::sleep_for(milliseconds(1));
      }
      close(fd);
    }
  });
  root_->Start();
  bool torn = root_->WaitForLines(kLog, kStart.size() + 2, kPassesBound);
  stop = true;
  writer.join();
  EXPECT_TRUE(torn) << "no pass met a torn file";
  EXPECT_TRUE(root_->Running());
  root_->Stop();
  std::vector<std::string> log = Log();
  for (size_t i = kStart.size(); i < log.size(); ++i) {
    EXPECT_TRUE(log[i].starts_with("Read Json : Error - Parser 1 ")) << log[i];
  }
  EXPECT_TRUE(root_->Exists(kAgent));
}

// --- the log files ----------------------------------------------------------------------------

TEST_F(DaemonTest, RestartAppendsToBothLogs) {
  std::filesystem::create_directories(root_->Path("/tmp/tavrin"));
  root_->WriteFile(kLog, "earlier line\n");
  root_->WriteFile(kErrorLog, "earlier error\n");
  root_->WriteFile(kScripts + "/uninstall_daemon.sh", "echo 'daemon removal' >&2\nexit 1\n");
  const std::vector<Line> run =
      Concat({kStart,
              {"File is Empty Path: " + kConfig, "uninstall_agent.sh - OK",
               "uninstall_daemon.sh - Error (Code: 1)"}});
  root_->Start();
  ExpectExitZero();
  root_->Start();
  ExpectExitZero();
  ExpectLines(Log(), Concat({{"earlier line"}, run, run}));
  ExpectLines(ErrorLog(), {"earlier error", "daemon removal", "daemon removal"});
  ExpectNothingInherited();
}

// Fixed fault: the daemon ran as root and appended through whatever it found at the log paths
// under the world-writable /tmp. Reproduce by planting links there before it starts.
TEST_F(DaemonTest, PlantedLogSymlinksAreNotFollowed) {
  std::filesystem::create_directories(root_->Path("/tmp/tavrin"));
  chmod(root_->Path("/tmp/tavrin").c_str(), 0755);
  root_->WriteFile("/victim_out", "precious\n");
  root_->WriteFile("/victim_err", "precious\n");
  std::filesystem::create_symlink("/victim_out", root_->Path(kLog));
  std::filesystem::create_symlink("/victim_err", root_->Path(kErrorLog));
  root_->Start();
  ExpectExitZero();
  EXPECT_EQ(root_->ReadFile("/victim_out"), "precious\n");
  EXPECT_EQ(root_->ReadFile("/victim_err"), "precious\n");
  EXPECT_TRUE(std::filesystem::is_symlink(root_->Path(kLog)));
  EXPECT_EQ(root_->InheritedStdout(),
            "TavrinDeskDaemon: not logging to /tmp/tavrin/daemon.log (/tmp/tavrin/daemon.log is a "
            "symbolic link); keeping standard output\n"
            "Daemon Starting...\nJSON Path: " +
                kConfig + "\nFile is Empty Path: " + kConfig +
                "\nuninstall_agent.sh - OK\nuninstall_daemon.sh - OK\n");
  EXPECT_EQ(root_->InheritedStderr(),
            "TavrinDeskDaemon: not logging to /tmp/tavrin/daemon_error.log "
            "(/tmp/tavrin/daemon_error.log is a symbolic link); keeping standard error\n");
}

TEST_F(DaemonTest, LogDirectoryOfAnotherUserIsNotWrittenInto) {
  std::filesystem::create_directories(root_->Path("/tmp/tavrin"));
  ASSERT_EQ(chown(root_->Path("/tmp/tavrin").c_str(), 65534, 65534), 0);
  root_->Start();
  ExpectExitZero();
  EXPECT_TRUE(std::filesystem::is_empty(root_->Path("/tmp/tavrin")));
  EXPECT_TRUE(root_->InheritedStdout().starts_with(
      "TavrinDeskDaemon: not logging to /tmp/tavrin/daemon.log (/tmp/tavrin is owned by another "
      "user); keeping standard output\nDaemon Starting...\n"));
  EXPECT_EQ(root_->InheritedStderr(),
            "TavrinDeskDaemon: not logging to /tmp/tavrin/daemon_error.log (/tmp/tavrin is owned "
            "by another user); keeping standard error\n");
}

TEST_F(DaemonTest, LogDirectoryThatIsASymlinkIsNotFollowed) {
  std::filesystem::create_directories(root_->Path("/var/elsewhere"));
  std::filesystem::create_directory_symlink("/var/elsewhere", root_->Path("/tmp/tavrin"));
  root_->Start();
  ExpectExitZero();
  EXPECT_TRUE(std::filesystem::is_empty(root_->Path("/var/elsewhere")));
  EXPECT_TRUE(root_->InheritedStdout().starts_with(
      "TavrinDeskDaemon: not logging to /tmp/tavrin/daemon.log (/tmp/tavrin is a symbolic link "
      "or not a directory); keeping standard output\nDaemon Starting...\n"));
  EXPECT_TRUE(root_->InheritedStdout().ends_with("uninstall_daemon.sh - OK\n"));
}

}  // namespace
}  // namespace tavrin
