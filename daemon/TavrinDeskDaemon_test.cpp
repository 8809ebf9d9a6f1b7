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

#include "daemon/log_files.h"
#include "daemon/testing/PrivateRoot.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing::PrivateRoot;
using Lines = std::vector<std::string>;

// Only ends a broken run: a pass takes about a second on an idle machine.
constexpr milliseconds kBound{15000};

constexpr char kLog[] = "/tmp/tavrin/daemon.log";
constexpr char kErrorLog[] = "/tmp/tavrin/daemon_error.log";
const std::string kConfig = std::string("/Users/Shared/") + RC_BUNDLE_IDENTIFIER + "/config.json";
const std::string kAgent =
    std::string("/Library/LaunchAgents/") + RC_BUNDLE_IDENTIFIER + ".agent.plist";
const std::string kUnit = std::string("/etc/systemd/system/") + RC_DAEMON_UNIT;
const std::string kBothOn = R"({"isStandByMode": 1, "isRunMode": 1})";

const Lines kStart = {"Daemon Starting...", "JSON Path: " + kConfig};
const Lines kRemoval = {"File is Empty Path: " + kConfig, "uninstall_agent.sh - OK",
                        "uninstall_daemon.sh - OK"};

Lines Concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// An expected line ending in '*' matches any longer line that starts with the rest.
void ExpectLines(const Lines& actual, const Lines& expected) {
  EXPECT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < std::min(actual.size(), expected.size()); ++i) {
    const std::string& want = expected[i];
    const bool ok = want.ends_with('*') ? actual[i].size() >= want.size() &&
                                              actual[i].starts_with(want.substr(0, want.size() - 1))
                                        : actual[i] == want;
    EXPECT_TRUE(ok) << "line " << i << ": \"" << actual[i] << "\", expected \"" << want << "\"";
  }
}

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!PrivateRoot::Supported(&why)) GTEST_SKIP() << why;
    root_ = std::make_unique<PrivateRoot>();
    root_->SetUtmpConsoleUser("root");
  }

  // Under the sanitizer builds the daemon is instrumented too; its reports go to its standard
  // error, wherever that went.
  void TearDown() override {
    if (!root_) return;
    for (const std::string& text : {root_->ReadFile(kErrorLog), root_->InheritedStderr()}) {
      for (const char* report : {"Sanitizer", "runtime error:"}) {
        EXPECT_EQ(text.find(report), std::string::npos) << text.substr(0, 4000);
      }
    }
  }

  void WriteScript(const std::string& name, const std::string& body) {
    root_->WriteFile(std::string(PrivateRoot::kResources) + "/" + name, body);
  }

  // Starts the daemon and expects it to end by itself with status 0.
  void RunToExit() {
    root_->Start();
    std::optional<int> status = root_->WaitForExit(kBound);
    ASSERT_TRUE(status.has_value()) << "the daemon did not end";
    EXPECT_EQ(*status, 0);
  }

  // Starts the daemon, lets it run `passes` complete passes, then stops it.
  void RunPasses(int passes) {
    root_->Start();
    ASSERT_TRUE(root_->WaitForConfigOpens(passes + 1, kBound));
    EXPECT_TRUE(root_->Running());
    root_->Stop();
  }

  void ExpectLog(const Lines& afterStart) {
    ExpectLines(root_->Lines(kLog), Concat({kStart, afterStart}));
  }

  // The start-up lines, `perPass` for each of `passes` passes, and maybe part of one more.
  void ExpectRepeatedPasses(const Lines& perPass, size_t passes) {
    const Lines actual = root_->Lines(kLog);
    Lines expected = kStart;
    for (size_t i = 0; i <= passes; ++i)
      expected.insert(expected.end(), perPass.begin(), perPass.end());
    ASSERT_GE(actual.size(), kStart.size() + passes * perPass.size());
    ASSERT_LE(actual.size(), expected.size());
    expected.resize(actual.size());
    ExpectLines(actual, expected);
  }

  void ExpectNoErrorsAnywhere() {
    EXPECT_EQ(root_->Lines(kErrorLog), Lines{});
    EXPECT_EQ(root_->InheritedStdout(), "");
    EXPECT_EQ(root_->InheritedStderr(), "");
  }

  std::unique_ptr<PrivateRoot> root_;
};

// --- the configuration file missing -----------------------------------------------------------

// The scripts run as "/bin/bash <script>", so they need no execute bit.
TEST_F(DaemonTest, MissingConfigRemovesAgentThenDaemonAndExitsZeroWithoutExecuteBits) {
  for (const char* script : {"install_agent.sh", "uninstall_agent.sh", "uninstall_daemon.sh"}) {
    chmod(root_->Path(std::string(PrivateRoot::kResources) + "/" + script).c_str(), 0644);
  }
  root_->WriteFile(kAgent, "agent");
  root_->WriteFile(kUnit, "[Service]\n");
  RunToExit();
  ExpectLog(kRemoval);
  EXPECT_FALSE(root_->Exists(kAgent));
  EXPECT_FALSE(root_->Exists(kUnit));
  ExpectNoErrorsAnywhere();
}

TEST_F(DaemonTest, MissingDaemonRemovalScriptKeepsTheDaemonRepeating) {
  fs::remove(root_->Path(std::string(PrivateRoot::kResources) + "/uninstall_daemon.sh"));
  const Lines perPass = {kRemoval[0], kRemoval[1], "uninstall_daemon.sh is Not Found"};
  root_->Start();
  ASSERT_TRUE(root_->WaitForLines(kLog, kStart.size() + 2 * perPass.size(), kBound));
  EXPECT_TRUE(root_->Running());
  root_->Stop();
  ExpectRepeatedPasses(perPass, 2);
}

// --- configuration contents that leave everything as it is ----------------------------------

struct QuietCase {
  const char* name;
  std::string config;
  Lines perPass;
};

class QuietConfigTest : public DaemonTest, public ::testing::WithParamInterface<QuietCase> {};

TEST_P(QuietConfigTest, LogsEachPassAndTouchesNothing) {
  root_->WriteFile(kConfig, GetParam().config);
  root_->WriteFile(kAgent, "agent");
  RunPasses(2);
  ExpectRepeatedPasses(GetParam().perPass, 2);
  EXPECT_TRUE(root_->Exists(kAgent));
  ExpectNoErrorsAnywhere();
}

const char kInvalidColumn[] = "Read Json : Error - Invalid Column Name";
INSTANTIATE_TEST_SUITE_P(
    Daemon, QuietConfigTest,
    ::testing::Values(
        QuietCase{"ZeroBytes", "", {"Read Json : Error - Parser 1 [json.exception*"}},
        QuietCase{"Scalar",
                  "42",
                  {"Read Json : Error - Parser 1 syntax error: the top-level value is a number; "
                   "expected '{' or '['"}},
        QuietCase{"Array", "[" + kBothOn + "]", {"Read Json : Error - Parser 2"}},
        QuietCase{"EmptyObject", "{}", {kInvalidColumn}},
        QuietCase{"StringFlag", R"({"isStandByMode": "1", "isRunMode": 1})", {kInvalidColumn}},
        QuietCase{"OnePointFive", R"({"isStandByMode": 1.5, "isRunMode": 0})", {kInvalidColumn}},
        QuietCase{"RunModeAbsent", R"({"isStandByMode": 1})", {}},
        QuietCase{"BothOnAgentPresent", kBothOn, {}},
        // Fixed faults: a file of any size was read and parsed whole, nested without limit, and
        // the parser's description quoted the file (here, a root-only secret behind the last
        // quote) into the world-readable log. Each would have removed or leaked.
        QuietCase{
            "LargerThanTheCap",
            R"({"isStandByMode": 1, "isRunMode": 0, "pad": ")" + std::string(65536, 'x') + "\"}",
            {"Read Json : Error - Parser 1 the file holds more than 65536 bytes"}},
        QuietCase{"NestedTooDeep",
                  R"({"isStandByMode": 1, "isRunMode": 0, "x": )" + std::string(64, '[') +
                      std::string(64, ']') + "}",
                  {"Read Json : Error - Parser 1 values nested deeper than 64 levels"}},
        QuietCase{"UnterminatedStringIsNotQuoted",
                  R"({"isStandByMode": 1, "isRunMode": 0, "key": "top secret)",
                  {"Read Json : Error - Parser 1 [json.exception.parse_error.101] parse error at "
                   "line 1, column 56: syntax error while parsing value - invalid string: missing "
                   "closing quote"}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- flags that ask for the agent ------------------------------------------------------------

// 1.0 is the integer 1. The install script writes the agent, so the next passes are quiet.
TEST_F(DaemonTest, BothOnWithoutAgentInstallsItOnceThenStaysQuiet) {
  root_->WriteFile(kConfig, R"({"isStandByMode": 1.0, "isRunMode": 1})");
  RunPasses(2);
  ExpectLog({"Try Install Agent", "install_agent.sh - OK"});
  ExpectNoErrorsAnywhere();

  const std::string xml = root_->ReadFile(kAgent);
  plist_t agent = nullptr;
  plist_from_memory(xml.data(), static_cast<uint32_t>(xml.size()), &agent);
  ASSERT_NE(agent, nullptr) << xml;
  auto text = [](plist_t node) {
    char* s = nullptr;
    plist_get_string_val(node, &s);
    std::string value = s ? s : "(none)";
    free(s);
    return value;
  };
  EXPECT_EQ(text(plist_dict_get_item(agent, "Label")),
            std::string(RC_BUNDLE_IDENTIFIER) + ".agent");
  EXPECT_EQ(text(plist_array_get_item(plist_dict_get_item(agent, "ProgramArguments"), 0)),
            std::string(PrivateRoot::kBundle) + "/Contents/MacOS/TavrinDesk");
  plist_free(agent);
}

TEST_F(DaemonTest, FailingInstallScriptRunsAgainEveryPass) {
  root_->WriteFile(kConfig, kBothOn);
  WriteScript("install_agent.sh", "echo \"installing for $1\"\nexit 3\n");
  RunPasses(2);
  ExpectRepeatedPasses(
      {"Try Install Agent", "installing for root", "install_agent.sh - Error (Code: 3)"}, 2);
}

TEST_F(DaemonTest, HangingScriptIsWaitedForWithoutFurtherPasses) {
  ASSERT_EQ(mkfifo(root_->Path("/hang.fifo").c_str(), 0600), 0);
  root_->WriteFile(kConfig, kBothOn);
  WriteScript("install_agent.sh", "echo waiting\nread -r _ < /hang.fifo\n");
  root_->Start();
  ASSERT_TRUE(root_->WaitForLines(kLog, kStart.size() + 2, kBound));
  // Two pause lengths without a pass: the daemon is blocked in the script.
  EXPECT_FALSE(root_->WaitForConfigOpens(2, milliseconds(2000)));
  ExpectLog({"Try Install Agent", "waiting"});

  int fifo = open(root_->Path("/hang.fifo").c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(fifo, 0);
  ASSERT_EQ(write(fifo, "\n", 1), 1);
  close(fifo);
  ASSERT_TRUE(root_->WaitForLines(kLog, kStart.size() + 5, kBound));
  root_->Stop();
  ExpectLog(
      {"Try Install Agent", "waiting", "install_agent.sh - OK", "Try Install Agent", "waiting"});
}

// --- console user and script statuses --------------------------------------------------------

TEST_F(DaemonTest, NoConsoleUserSkipsAgentRemovalButRemovesTheDaemon) {
  root_->SetUtmpConsoleUser(std::nullopt);
  root_->WriteFile(kConfig, R"({"isStandByMode": 0, "isRunMode": 1})");
  root_->WriteFile(kAgent, "agent");
  RunToExit();
  ExpectLog({"Try Uninstall Agent", "uninstall_agent.sh - Error (Failed to get console user)",
             "uninstall_daemon.sh - OK"});
  EXPECT_TRUE(root_->Exists(kAgent));
}

// logind's active session on seat0 names the console user, ahead of utmp. Fixed fault: where
// logind named nobody (its directory there but no seat0 file, as in an image that ships
// /run/systemd/seats without a running logind, or a seat with no active session), there was no
// console user at all; utmp answers then.
TEST_F(DaemonTest, ConsoleUserIsLogindsActiveSeat0UserElseTheLatestUtmpLogin) {
  WriteScript("uninstall_agent.sh", "echo \"removing for $1\"\n");
  fs::create_directories(root_->Path("/run/systemd/seats"));
  root_->SetUtmpConsoleUser("alice");
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {"ACTIVE=c1\nACTIVE_UID=0\n", "root"}, {std::nullopt, "alice"}, {"ACTIVE=c1\n", "alice"}};
  Lines expected;
  for (const auto& [seat0, user] : cases) {
    fs::remove(root_->Path("/run/systemd/seats/seat0"));
    if (seat0) root_->WriteFile("/run/systemd/seats/seat0", *seat0);
    RunToExit();
    expected = Concat({expected,
                       expected.empty() ? Lines{} : kStart,
                       {kRemoval[0], "removing for " + user, kRemoval[1], kRemoval[2]}});
  }
  ExpectLog(expected);
}

TEST_F(DaemonTest, ScriptKilledBySignalIsReportedAsMinusTheSignal) {
  WriteScript("uninstall_agent.sh", "kill -KILL $$\n");
  RunToExit();
  ExpectLog({kRemoval[0], "uninstall_agent.sh - Error (Code: -9)", kRemoval[2]});
}

TEST_F(DaemonTest, BashThatCannotStartIsLoggedLikeAFailedScript) {
  fs::remove(root_->Path("/bin"));
  fs::create_directory(root_->Path("/bin"));
  RunToExit();
  ExpectLog({kRemoval[0], "uninstall_agent.sh - Error (Code: 127)",
             "uninstall_daemon.sh - Error (Code: 127)"});
  const std::string cannot = "TavrinDeskDaemon: cannot start /bin/bash: No such file or directory";
  ExpectLines(root_->Lines(kErrorLog), {cannot, cannot});
}

TEST_F(DaemonTest, BundleWithoutIdentifierEndsAtOnce) {
  root_->WriteFile(std::string(PrivateRoot::kBundle) + "/Contents/Info.plist",
                   "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleName</key>"
                   "<string>TavrinDesk</string></dict></plist>");
  RunToExit();
  ExpectLines(root_->Lines(kLog), {"Daemon Starting...", "Bundle is Empty."});
}

// A writer truncates and refills the file in place while the daemon reads it. A complete file is
// quiet (no "isRunMode"); a torn one is a Parser 1 line; none may count as missing and remove.
TEST_F(DaemonTest, ConfigRewrittenInPlaceDuringReadsIsNeverTakenAsMissing) {
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
  const bool torn = root_->WaitForLines(kLog, kStart.size() + 2, kBound);
  stop = true;
  writer.join();
  EXPECT_TRUE(torn) << "no pass met a torn file";
  EXPECT_TRUE(root_->Running());
  root_->Stop();
  const Lines log = root_->Lines(kLog);
  ExpectLines(Lines(log.begin(), log.begin() + std::min(log.size(), kStart.size())), kStart);
  for (size_t i = kStart.size(); i < log.size(); ++i) {
    EXPECT_TRUE(log[i].starts_with("Read Json : Error - Parser 1 ")) << log[i];
  }
  EXPECT_TRUE(root_->Exists(kAgent));
}

// Fixed faults: one pass that found the file missing (a writer replacing it by unlink + create)
// or unreadable removed the agent and the daemon for good; a symbolic link was followed (to a
// root-only file, whose text the parser then quoted into the log); a FIFO or a directory in the
// file's place was opened. Now only a regular file is opened, never through a link, and the
// removal waits for a second pass in a row that finds no readable file.
struct UnreadableConfig {
  const char* name;
  void (*plant)(PrivateRoot&, const std::string& configDir);
};

class UnreadableConfigTest : public DaemonTest,
                             public ::testing::WithParamInterface<UnreadableConfig> {};

TEST_P(UnreadableConfigTest, IsNeverOpenedAndActedOnOnlyWhenStillSoAtTheNextPass) {
  const std::string dir = kConfig.substr(0, kConfig.rfind('/'));
  root_->WriteFile("/secret", R"({"isStandByMode": 1, "isRunMode": 1, "x": "top secret)", 0600);
  root_->WriteFile(kConfig, kBothOn);
  root_->WriteFile(kAgent, "agent");
  auto plant = [&] {
    fs::remove_all(root_->Path(kConfig));
    GetParam().plant(*root_, dir);
  };
  auto opensOfPlanted = [&] {
    return root_->OpensInConfigDirectory("config.json") +
           root_->OpensInConfigDirectory("planted.fifo");
  };
  root_->Start();
  ASSERT_TRUE(root_->WaitForPasses(1, kBound));
  // One pass with nothing readable, then the file is back: nothing happens.
  ASSERT_TRUE(root_->PauseBetweenReads(kBound));
  plant();
  int opens = opensOfPlanted();
  root_->Resume();
  ASSERT_TRUE(root_->WaitForPasses(root_->Passes() + 1, kBound));
  ASSERT_TRUE(root_->PauseBetweenReads(kBound)) << "the daemon ended";
  EXPECT_EQ(opensOfPlanted(), opens);
  ExpectLog({});
  EXPECT_TRUE(root_->Exists(kAgent));
  fs::remove_all(root_->Path(kConfig));
  root_->WriteFile(kConfig, kBothOn);
  root_->Resume();
  ASSERT_TRUE(root_->WaitForPasses(root_->Passes() + 1, kBound));
  // Two passes in a row: the removal the missing file always meant.
  ASSERT_TRUE(root_->PauseBetweenReads(kBound)) << "the daemon ended";
  plant();
  opens = opensOfPlanted();
  root_->Resume();
  std::optional<int> status = root_->WaitForExit(kBound);
  ASSERT_TRUE(status.has_value()) << "the daemon did not end";
  EXPECT_EQ(*status, 0);
  EXPECT_EQ(opensOfPlanted(), opens);
  ExpectLog(kRemoval);
  EXPECT_FALSE(root_->Exists(kAgent));
}

INSTANTIATE_TEST_SUITE_P(
    Daemon, UnreadableConfigTest,
    ::testing::Values(UnreadableConfig{"Missing", [](PrivateRoot&, const std::string&) {}},
                      UnreadableConfig{"Directory",
                                       [](PrivateRoot& root, const std::string&) {
                                         fs::create_directory(root.Path(kConfig));
                                       }},
                      UnreadableConfig{"Fifo",
                                       [](PrivateRoot& root, const std::string&) {
                                         ASSERT_EQ(mkfifo(root.Path(kConfig).c_str(), 0644), 0);
                                       }},
                      UnreadableConfig{"SymlinkToAFifo",
                                       [](PrivateRoot& root, const std::string& dir) {
                                         const std::string fifo = root.Path(dir + "/planted.fifo");
                                         if (!fs::exists(fifo)) {
                                           ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
                                         }
                                         fs::create_symlink("planted.fifo", root.Path(kConfig));
                                       }},
                      UnreadableConfig{"SymlinkToARootOnlyFile",
                                       [](PrivateRoot& root, const std::string&) {
                                         fs::create_symlink("/secret", root.Path(kConfig));
                                       }}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the log files ----------------------------------------------------------------------------

TEST_F(DaemonTest, RestartAppendsToBothLogs) {
  fs::create_directories(root_->Path("/tmp/tavrin"));
  root_->WriteFile(kLog, "earlier line\n");
  root_->WriteFile(kErrorLog, "earlier error\n");
  WriteScript("uninstall_daemon.sh", "echo 'daemon removal' >&2\nexit 1\n");
  RunToExit();
  RunToExit();
  const Lines run =
      Concat({kStart, {kRemoval[0], kRemoval[1], "uninstall_daemon.sh - Error (Code: 1)"}});
  ExpectLines(root_->Lines(kLog), Concat({{"earlier line"}, run, run}));
  ExpectLines(root_->Lines(kErrorLog), {"earlier error", "daemon removal", "daemon removal"});
  EXPECT_EQ(root_->InheritedStdout(), "");
  EXPECT_EQ(root_->InheritedStderr(), "");
}

// Fixed fault: the logs grew without bound. Past the limit, the next pass renames each log to
// ".1" (replacing, never following, whatever is there) and starts a new one. Both logs start just
// under the limit: the start-up lines push daemon.log over, the script's first line the other.
TEST_F(DaemonTest, LogsPastTheLimitAreRotatedToOneGenerationReplacingPlantedLinks) {
  fs::create_directories(root_->Path("/tmp/tavrin"));
  const std::string filler = std::string(kLogRotateBytes - 4, '.') + "\n";
  root_->WriteFile(kLog, filler);
  root_->WriteFile(kErrorLog, filler);
  fs::create_directories(root_->Path("/victim"));
  root_->WriteFile("/victim/precious", "precious\n");
  fs::create_symlink("/victim/precious", root_->Path(std::string(kLog) + ".1"));
  fs::create_hard_link(root_->Path("/victim/precious"), root_->Path(std::string(kErrorLog) + ".1"));
  root_->WriteFile(kConfig, kBothOn);
  WriteScript("install_agent.sh", "echo refused >&2\nexit 3\n");
  RunPasses(3);

  EXPECT_EQ(root_->ReadFile("/victim/precious"), "precious\n");
  EXPECT_EQ(fs::hard_link_count(root_->Path("/victim/precious")), 1u);
  const Lines perPass = {"Try Install Agent", "install_agent.sh - Error (Code: 3)"};
  std::string startLines;
  for (const auto& line : kStart) startLines += line + "\n";
  EXPECT_TRUE(root_->ReadFile(std::string(kLog) + ".1") == filler + startLines);
  EXPECT_TRUE(root_->ReadFile(std::string(kErrorLog) + ".1") == filler + "refused\n");
  const Lines log = root_->Lines(kLog), errors = root_->Lines(kErrorLog);
  ASSERT_GE(log.size(), 3 * perPass.size());
  for (size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i], perPass[i % 2]) << i;
  }
  EXPECT_GE(errors.size(), 2u);
  for (const auto& line : errors) EXPECT_EQ(line, "refused");
  EXPECT_EQ(root_->InheritedStdout(), "");
  EXPECT_EQ(root_->InheritedStderr(), "");
}

// Where the log cannot be rotated (".1" is a directory), it is emptied instead and says why.
TEST_F(DaemonTest, LogThatCannotBeRotatedIsEmptiedInstead) {
  fs::create_directories(root_->Path(std::string(kLog) + ".1/inside"));
  root_->WriteFile(kLog, std::string(kLogRotateBytes, '.'));
  RunToExit();
  ExpectLines(root_->Lines(kLog),
              Concat({{"TavrinDeskDaemon: cannot rotate /tmp/tavrin/daemon.log (renaming to "
                       "/tmp/tavrin/daemon.log.1: Is a directory); emptied it instead"},
                      kRemoval}));
  EXPECT_TRUE(fs::is_directory(root_->Path(std::string(kLog) + ".1/inside")));
}

// Fixed fault: the daemon ran as root and appended through whatever it found at the log paths in
// the world-writable /tmp. Each case plants a trap that leads into `victim`, a directory holding
// one file; the daemon must leave it as it was and keep its inherited streams.
struct LogTrap {
  const char* name;
  const char* victim;
  void (*plant)(PrivateRoot&);
  std::string whyStdout, whyStderr;
};

class LogTrapTest : public DaemonTest, public ::testing::WithParamInterface<LogTrap> {};

TEST_P(LogTrapTest, IsRefusedAndTheInheritedStreamsAreKept) {
  const std::string victim = GetParam().victim;
  fs::create_directories(root_->Path(victim));
  root_->WriteFile(victim + "/precious", "precious\n");
  GetParam().plant(*root_);
  RunToExit();
  EXPECT_EQ(root_->ReadFile(victim + "/precious"), "precious\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_->Path(victim)), {}), 1);
  std::string log;
  for (const auto& line : Concat({kStart, kRemoval})) log += line + "\n";
  const std::string refused = "TavrinDeskDaemon: not logging to /tmp/tavrin/daemon";
  EXPECT_EQ(root_->InheritedStdout(),
            refused + ".log (" + GetParam().whyStdout + "); keeping standard output\n" + log);
  EXPECT_EQ(root_->InheritedStderr(),
            refused + "_error.log (" + GetParam().whyStderr + "); keeping standard error\n");
}

INSTANTIATE_TEST_SUITE_P(
    Daemon, LogTrapTest,
    ::testing::Values(LogTrap{"LogFilesAreSymlinks", "/victim",
                              [](PrivateRoot& root) {
                                fs::create_directories(root.Path("/tmp/tavrin"));
                                chmod(root.Path("/tmp/tavrin").c_str(), 0755);
                                fs::create_symlink("/victim/precious", root.Path(kLog));
                                fs::create_symlink("/victim/precious", root.Path(kErrorLog));
                              },
                              "/tmp/tavrin/daemon.log is a symbolic link",
                              "/tmp/tavrin/daemon_error.log is a symbolic link"},
                      LogTrap{"DirectoryOfAnotherUser", "/tmp/tavrin",
                              [](PrivateRoot& root) {
                                ASSERT_EQ(chown(root.Path("/tmp/tavrin").c_str(), 65534, 65534), 0);
                              },
                              "/tmp/tavrin is owned by another user",
                              "/tmp/tavrin is owned by another user"},
                      LogTrap{"DirectoryIsASymlink", "/victim",
                              [](PrivateRoot& root) {
                                fs::create_directory_symlink("/victim", root.Path("/tmp/tavrin"));
                              },
                              "/tmp/tavrin is a symbolic link or not a directory",
                              "/tmp/tavrin is a symbolic link or not a directory"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavrin
