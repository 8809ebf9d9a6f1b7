// Unit cases of the configuration decision that the end-to-end tests do not already run.
#include "daemon/config_pass.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

int DaemonConfigFuzzOne(const uint8_t* data, size_t size);

namespace tavrin {
namespace {

constexpr char kPath[] = "/Users/Shared/com.tavrin.desk/config.json";

TEST(ConfigIntegerTest, WholeNumbersInSigned64BitRangeOnly) {
  const std::pair<const char*, std::optional<int64_t>> cases[] = {
      {"1e0", 1},
      {"-0.0", 0},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", std::nullopt},  // unsigned, one too big
      {"9.3e18", std::nullopt},
      {"true", std::nullopt},
      {"null", std::nullopt},
  };
  for (const auto& [json, expected] : cases)
    EXPECT_EQ(ConfigIntegerFromJson(json), expected) << json;
}

TEST(DecideConfigPassTest, SyntaxErrorsAreOneParser1LineWithADescription) {
  const std::string parser1 = "Read Json : Error - Parser 1 ";
  for (const char* text : {"{", "{\"isStandByMode\": 1,", "\"x\"", "true", "null", "{} {}",
                           "{\"a\":\n", "{\"a\": \"\r\n\"}"}) {
    PassDecision d = DecideConfigPass(text, kPath, false);
    ASSERT_TRUE(d.line) << text;
    EXPECT_TRUE(d.line->starts_with(parser1) && d.line->size() > parser1.size()) << *d.line;
    EXPECT_EQ(d.line->find_first_of("\r\n"), std::string::npos) << *d.line;
    EXPECT_EQ(d.action, PassAction::kNothing) << text;
  }
}

TEST(DecideConfigPassTest, ShapesAndFlags) {
  const std::string invalid = "Read Json : Error - Invalid Column Name",
                    remove = "Try Uninstall Agent";
  const struct {
    const char* text;
    std::optional<std::string> line;
    PassAction action;
  } cases[] = {
      {"[]", "Read Json : Error - Parser 2", PassAction::kNothing},
      {R"({"isStandByMode":true,"isRunMode":1})", invalid, PassAction::kNothing},
      {R"({"isStandByMode":null})", invalid, PassAction::kNothing},
      // A run flag that is no integer leaves things as they are, whatever the other flag says.
      {R"({"isStandByMode":1,"isRunMode":"1"})", std::nullopt, PassAction::kNothing},
      {R"({"isStandByMode":0,"isRunMode":1.5})", std::nullopt, PassAction::kNothing},
      {R"({"isStandByMode":1.0,"isRunMode":1e0,"other":[1,2]})", std::nullopt,
       PassAction::kEnsureAgent},
      {R"({"isStandByMode":1,"isRunMode":0})", remove, PassAction::kRemoveAgentAndDaemon},
      {R"({"isStandByMode":2,"isRunMode":1})", remove, PassAction::kRemoveAgentAndDaemon},
      {R"({"isStandByMode":1.0,"isRunMode":-1})", remove, PassAction::kRemoveAgentAndDaemon},
  };
  for (const auto& c : cases) {
    PassDecision d = DecideConfigPass(c.text, kPath, false);
    EXPECT_EQ(d.line, c.line) << c.text;
    EXPECT_EQ(d.action, c.action) << c.text;
  }
}

TEST(DecideConfigPassTest, AMissingFileIsActedOnOnlyAtTheSecondPassInARow) {
  EXPECT_EQ(DecideConfigPass(std::nullopt, kPath, false).line, std::nullopt);
  EXPECT_EQ(DecideConfigPass(std::nullopt, kPath, false).action, PassAction::kNothing);
  PassDecision second = DecideConfigPass(std::nullopt, kPath, true);
  EXPECT_EQ(second.line, std::string("File is Empty Path: ") + kPath);
  EXPECT_EQ(second.action, PassAction::kRemoveAgentAndDaemon);
}

// Each text holds the marker where the parser's message would quote it (an unterminated string,
// a bad literal, an invalid escape, a number too large for a double).
TEST(DecideConfigPassTest, DescriptionsNeverQuoteTheFileAndAreCapped) {
  const std::string parser1 = "Read Json : Error - Parser 1 ";
  for (const std::string& text :
       {R"({"isStandByMode": "SECRET)" + std::string(5000, 'S'), std::string(R"({"a": SECRET})"),
        std::string(R"({"a": "\qSECRET"})"), std::string(R"({"a": 1e999999})"),
        std::string(R"({"a": [1, 2] SECRET})")}) {
    PassDecision d = DecideConfigPass(text, kPath, false);
    ASSERT_TRUE(d.line && d.line->starts_with(parser1)) << text.substr(0, 40);
    EXPECT_EQ(d.line->find("SECRET"), std::string::npos) << *d.line;
    EXPECT_EQ(d.line->find("999999"), std::string::npos) << *d.line;
    EXPECT_LE(d.line->size(), parser1.size() + kMaxDescriptionBytes) << *d.line;
  }
}

// Both limits, at the edge: the largest and deepest accepted file, and one byte or level more.
TEST(DecideConfigPassTest, SizeAndNestingLimits) {
  auto withPadding = [](size_t size) {
    std::string text = R"({"isStandByMode":1,"isRunMode":1,"p":")";
    text += std::string(size - text.size() - 2, 'x') + "\"}";
    return text;
  };
  auto nested = [](int levels) {  // the top-level object is the first level
    return R"({"isStandByMode":1,"isRunMode":1,"p":)" + std::string(levels - 1, '[') +
           std::string(levels - 1, ']') + "}";
  };
  const std::string parser1 = "Read Json : Error - Parser 1 ";
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {withPadding(kMaxConfigBytes), std::nullopt},
      {withPadding(kMaxConfigBytes + 1), parser1 + "the file holds more than 65536 bytes"},
      {nested(kMaxConfigDepth), std::nullopt},
      {nested(kMaxConfigDepth + 1), parser1 + "values nested deeper than 64 levels"},
      {std::string(100000, '['), parser1 + "the file holds more than 65536 bytes"},
      {std::string(65536, '['), parser1 + "values nested deeper than 64 levels"},
  };
  for (const auto& [text, line] : cases) {
    EXPECT_EQ(DecideConfigPass(text, kPath, false).line, line) << text.size();
  }
}

// The fuzz entry point aborts when a promise of DecideConfigPass breaks; the seeds must pass.
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
