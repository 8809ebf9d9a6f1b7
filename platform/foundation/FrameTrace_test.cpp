#include "platform/foundation/FrameTrace.h"
#include "platform/testing/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace foundation {
namespace {

class FrameTraceTest : public testing::Test {
 protected:
  void TearDown() override { FrameTrace::enableForTesting(nullptr, nullptr, 0); }
  std::vector<std::vector<long long>> Lines() {
    std::vector<std::vector<long long>> out;
    std::ifstream in(trace_);
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::vector<long long> values;
      for (long long v; fields >> v;) values.push_back(v);
      out.push_back(values);
    }
    return out;
  }
  // One frame through every producer point.
  static void Produce(size_t bytes, const uint8_t* pixels = nullptr, int w = 0, int h = 0,
                      int stride = 0) {
    FrameTrace::mark(FrameTrace::kGrabStart);
    FrameTrace::mark(FrameTrace::kGrabEnd);
    FrameTrace::mark(FrameTrace::kCursorEnd);
    FrameTrace::mark(FrameTrace::kConvertEnd);
    FrameTrace::mark(FrameTrace::kEncodeEnd);
    FrameTrace::produced(bytes, pixels, w, h, stride);
  }

  rctest::TempDir tmp_{"frametrace"};
  std::filesystem::path dir_ = tmp_.path();
  std::string trace_ = tmp_ / "trace.txt";
};

TEST_F(FrameTraceTest, OffUntilEnabledAndOffAgainAfter) {
  EXPECT_FALSE(FrameTrace::enabled());  // the test runner has no RC_TRACE_FILE
  FrameTrace::enableForTesting(trace_.c_str(), nullptr, 0);
  EXPECT_TRUE(FrameTrace::enabled());
  FrameTrace::enableForTesting(nullptr, nullptr, 0);
  EXPECT_FALSE(FrameTrace::enabled());
}

TEST_F(FrameTraceTest, AFrameWrittenOnItsChannelGivesOneOrderedLine) {
  FrameTrace::enableForTesting(trace_.c_str(), nullptr, 0);
  Produce(1234);
  FrameTrace::handedOver("frames");
  FrameTrace::messageWritten("other");  // another channel's message is not the frame
  EXPECT_TRUE(Lines().empty());
  FrameTrace::messageWritten("frames");
  FrameTrace::messageWritten("frames");  // nothing in flight any more: no second line

  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  const auto& l = lines[0];
  ASSERT_EQ(l.size(), 9u);
  EXPECT_EQ(l[0], 0);  // seq
  for (int i = 1; i < 8; ++i) {
    EXPECT_GT(l[i], 0) << i;
    if (i > 1) {
      EXPECT_LE(l[i - 1], l[i]) << i;
    }
  }
  EXPECT_EQ(l[8], 1234);
}

TEST_F(FrameTraceTest, AFrameNeverWrittenIsEmittedUnfinishedWhenTheNextIsHandedOver) {
  FrameTrace::enableForTesting(trace_.c_str(), nullptr, 0);
  Produce(10);
  FrameTrace::handedOver("frames");  // no client: never written
  Produce(20);
  FrameTrace::handedOver("frames");
  FrameTrace::messageWritten("frames");
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0][0], 0);
  EXPECT_EQ(lines[0][7], 0);  // no socket end
  EXPECT_EQ(lines[1][0], 1);
  EXPECT_GT(lines[1][7], 0);
  EXPECT_EQ(lines[1][8], 20);
}

TEST_F(FrameTraceTest, EveryNthFrameIsDumpedWithoutTheRowPadding) {
  const std::string dumps = (dir_ / "dumps").string();
  std::filesystem::create_directories(dumps);
  FrameTrace::enableForTesting(trace_.c_str(), dumps.c_str(), 2);
  // 3 × 2 pixels in rows of 16 bytes (4 bytes of padding each).
  std::vector<uint8_t> pixels(32);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 3; ++i) Produce(1, pixels.data(), 3, 2, 16);

  EXPECT_TRUE(std::filesystem::exists(dumps + "/frame-0.bgra"));
  EXPECT_FALSE(std::filesystem::exists(dumps + "/frame-1.bgra"));
  const std::string file = rctest::ReadFile(dumps + "/frame-2.bgra");
  ASSERT_EQ(file.size(), 16u + 2 * 12);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 8), "RCBGRA01");
  EXPECT_EQ(file[8], 3);
  EXPECT_EQ(file[12], 2);
  EXPECT_EQ(file[16], 0);
  EXPECT_EQ(file[16 + 11], 11);
  EXPECT_EQ(file[16 + 12], 16);  // the second row starts at the source's next stride
}

}  // namespace
}  // namespace foundation
