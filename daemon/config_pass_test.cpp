#include "daemon/config_pass.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

int DaemonConfigFuzzOne(const uint8_t* data, size_t size);

namespace tavrin {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr char kPath[] = "/Users/Shared/com.tavrin.desk/config.json";

PassDecision Decide(const std::string& text) {
  return DecideConfigPass(text, kPath);
}

TEST(ConfigPathsTest, InsertTheIdentifierUnchanged) {
  EXPECT_EQ(ConfigPathFor("com.tavrin.desk"), "/Users/Shared/com.tavrin.desk/config.json");
  EXPECT_EQ(AgentPlistPathFor("com.tavrin.desk"),
            "/Library/LaunchAgents/com.tavrin.desk.agent.plist");
}

TEST(ConfigIntegerTest, WholeNumbersInSigned64BitRangeOnly) {
  EXPECT_EQ(ConfigIntegerFromJson("1"), 1);
  EXPECT_EQ(ConfigIntegerFromJson("1.0"), 1);
  EXPECT_EQ(ConfigIntegerFromJson("1e0"), 1);
  EXPECT_EQ(ConfigIntegerFromJson("-0.0"), 0);
  EXPECT_EQ(ConfigIntegerFromJson("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(ConfigIntegerFromJson("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(ConfigIntegerFromJson("1.5"), std::nullopt);
  EXPECT_EQ(ConfigIntegerFromJson("9223372036854775808"), std::nullopt);  // unsigned, too big
  EXPECT_EQ(ConfigIntegerFromJson("9.3e18"), std::nullopt);
  EXPECT_EQ(ConfigIntegerFromJson("true"), std::nullopt);
  EXPECT_EQ(ConfigIntegerFromJson("false"), std::nullopt);
  EXPECT_EQ(ConfigIntegerFromJson("\"1\""), std::nullopt);
  EXPECT_EQ(ConfigIntegerFromJson("null"), std::nullopt);
}

TEST(DecideConfigPassTest, UnreadableFileRemovesAgentAndDaemon) {
  PassDecision d = DecideConfigPass(std::nullopt, kPath);
  EXPECT_EQ(d.line, std::string("File is Empty Path: ") + kPath);
  EXPECT_EQ(d.action, PassAction::kRemoveAgentAndDaemon);
}

TEST(DecideConfigPassTest, SyntaxErrorsAndScalarsAreParser1WithADescription) {
  for (const char* text :
       {"", "{", "{\"isStandByMode\": 1,", "1", "\"x\"", "true", "null", "{} {}", "{\"a\":\n"}) {
    SCOPED_TRACE(text);
    PassDecision d = Decide(text);
    ASSERT_TRUE(d.line);
    EXPECT_THAT(*d.line, StartsWith("Read Json : Error - Parser 1 "));
    EXPECT_GT(d.line->size(), std::string("Read Json : Error - Parser 1 ").size());
    EXPECT_EQ(d.line->find('\n'), std::string::npos);
    EXPECT_EQ(d.action, PassAction::kNothing);
  }
  EXPECT_THAT(*Decide("").line, HasSubstr("unexpected end of input"));
  EXPECT_THAT(*Decide("7").line, HasSubstr("top-level value is a number"));
}

TEST(DecideConfigPassTest, WrongShapesAndFlags) {
  struct Case {
    const char* text;
    std::optional<std::string> line;
    PassAction action;
  } cases[] = {
      {"[]", "Read Json : Error - Parser 2", PassAction::kNothing},
      {"[{\"isStandByMode\":1,\"isRunMode\":1}]", "Read Json : Error - Parser 2",
       PassAction::kNothing},
      {"{}", "Read Json : Error - Invalid Column Name", PassAction::kNothing},
      {R"({"isStandByMode":"1","isRunMode":1})", "Read Json : Error - Invalid Column Name",
       PassAction::kNothing},
      {R"({"isStandByMode":true,"isRunMode":1})", "Read Json : Error - Invalid Column Name",
       PassAction::kNothing},
      {R"({"isStandByMode":1.5,"isRunMode":0})", "Read Json : Error - Invalid Column Name",
       PassAction::kNothing},
      {R"({"isStandByMode":null})", "Read Json : Error - Invalid Column Name",
       PassAction::kNothing},
      {R"({"isStandByMode":1})", std::nullopt, PassAction::kNothing},
      {R"({"isStandByMode":1,"isRunMode":"1"})", std::nullopt, PassAction::kNothing},
      {R"({"isStandByMode":0,"isRunMode":1.5})", std::nullopt, PassAction::kNothing},
      {R"({"isStandByMode":1,"isRunMode":1})", std::nullopt, PassAction::kEnsureAgent},
      {R"({"isStandByMode":1.0,"isRunMode":1e0,"other":[1,2]})", std::nullopt,
       PassAction::kEnsureAgent},
      {R"({"isStandByMode":1,"isRunMode":0})", "Try Uninstall Agent",
       PassAction::kRemoveAgentAndDaemon},
      {R"({"isStandByMode":0,"isRunMode":1})", "Try Uninstall Agent",
       PassAction::kRemoveAgentAndDaemon},
      {R"({"isStandByMode":2,"isRunMode":1})", "Try Uninstall Agent",
       PassAction::kRemoveAgentAndDaemon},
      {R"({"isStandByMode":1.0,"isRunMode":-1})", "Try Uninstall Agent",
       PassAction::kRemoveAgentAndDaemon},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    PassDecision d = Decide(c.text);
    EXPECT_EQ(d.line, c.line);
    EXPECT_EQ(d.action, c.action);
  }
}

// The fuzz entry point aborts when a promise of DecideConfigPass breaks; the seed corpus must pass.
TEST(ConfigFuzzTest, SeedCorpusKeepsThePromises) {
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(RC_DAEMON_FUZZ_CORPUS)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(DaemonConfigFuzzOne(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
    ++seeds;
  }
  EXPECT_GE(seeds, 8);
}

}  // namespace
}  // namespace tavrin
