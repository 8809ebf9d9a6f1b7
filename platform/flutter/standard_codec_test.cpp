#include "platform/flutter/standard_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <sstream>

namespace flutter {
namespace {

ByteBuffer Hex(std::string_view text) {
  ByteBuffer out;
  std::istringstream in{std::string(text)};
  std::string byte;
  while (in >> byte) out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

ByteBuffer Concat(ByteBuffer a, const ByteBuffer& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string ToHex(const ByteBuffer& bytes) {
  std::string out;
  char buf[4];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02x ", b);
    out += buf;
  }
  return out;
}

constexpr double kPi = 3.141592653589793;

struct Golden {
  const char* id;
  Value value;
  ByteBuffer bytes;
};

std::vector<Golden> MessageVectors() {
  ValueMap nonStringKeys{{Value(), "null"},  {true, "bool"},      {int32_t{42}, "int"},
                         {kPi, "float"},     {"hello", "string"}, {ValueList{}, "list"},
                         {ValueMap{}, "map"}};
  ValueMap sorted{{Value(), Value()}, {3.14, ValueList{"nested"}}, {"a", 3.14}, {"b", int32_t{47}}};
  ValueMap insertion{sorted[2], sorted[3], sorted[0], sorted[1]};
  return {
      {"V1", Value(), Hex("00")},
      {"V2", true, Hex("01")},
      {"V3", false, Hex("02")},
      {"V4", int32_t{0}, Hex("03 00 00 00 00")},
      {"V5", int32_t{0x12345678}, Hex("03 78 56 34 12")},
      {"D19", int32_t{-1}, Hex("03 ff ff ff ff")},
      {"V7", std::numeric_limits<int32_t>::min(), Hex("03 00 00 00 80")},
      {"V8", std::numeric_limits<int32_t>::max(), Hex("03 ff ff ff 7f")},
      {"V9", int64_t{2147483648}, Hex("04 00 00 00 80 00 00 00 00")},
      {"V10", int64_t{-2147483649}, Hex("04 ff ff ff 7f ff ff ff ff")},
      {"V11", int64_t{0x1234567890abcdef}, Hex("04 ef cd ab 90 78 56 34 12")},
      {"V12", std::numeric_limits<int64_t>::min(), Hex("04 00 00 00 00 00 00 00 80")},
      {"V13", std::numeric_limits<int64_t>::max(), Hex("04 ff ff ff ff ff ff ff 7f")},
      {"V14", 1.0, Hex("06 00 00 00 00 00 00 00 00 00 00 00 00 00 f0 3f")},
      {"V15", kPi, Hex("06 00 00 00 00 00 00 00 18 2d 44 54 fb 21 09 40")},
      {"V16", std::numeric_limits<double>::quiet_NaN(),
       Hex("06 00 00 00 00 00 00 00 00 00 00 00 00 00 f8 7f")},
      {"V17", -0.0, Hex("06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 80")},
      {"V18", "", Hex("07 00")},
      {"V19", "hello world", Hex("07 0b 68 65 6c 6c 6f 20 77 6f 72 6c 64")},
      {"V20",
       "h\xe2\x98\xba"
       "w",
       Hex("07 05 68 e2 98 ba 77")},
      {"V21", "h\xf0\x9f\x98\x82w", Hex("07 06 68 f0 9f 98 82 77")},
      {"V22", static_cast<double>(3.1415927f),
       Hex("06 00 00 00 00 00 00 00 00 00 00 60 fb 21 09 40")},
      {"V23", int64_t{0xfedcba09}, Hex("04 09 ba dc fe 00 00 00 00")},
      {"V24", std::vector<uint8_t>(253), Concat(Hex("08 fd"), ByteBuffer(253))},
      {"V25", std::vector<uint8_t>(254), Concat(Hex("08 fe fe 00"), ByteBuffer(254))},
      {"V26", std::vector<uint8_t>(65535), Concat(Hex("08 fe ff ff"), ByteBuffer(65535))},
      {"V27", std::vector<uint8_t>(65536), Concat(Hex("08 ff 00 00 01 00"), ByteBuffer(65536))},
      {"D8", std::string(253, 'a'), Concat(Hex("07 fd"), ByteBuffer(253, 0x61))},
      {"D9", std::string(254, 'a'), Concat(Hex("07 fe fe 00"), ByteBuffer(254, 0x61))},
      {"D10", std::string(65535, 'a'), Concat(Hex("07 fe ff ff"), ByteBuffer(65535, 0x61))},
      {"D11", std::string(65536, 'a'), Concat(Hex("07 ff 00 00 01 00"), ByteBuffer(65536, 0x61))},
      {"D18", ValueList(254), Concat(Hex("0c fe fe 00"), ByteBuffer(254))},
      {"V28", std::vector<uint8_t>{0xba, 0x5e, 0xba, 0x11}, Hex("08 04 ba 5e ba 11")},
      {"V29", std::vector<uint8_t>{}, Hex("08 00")},
      {"V30", std::vector<int32_t>{0x12345678, -1, 0},
       Hex("09 03 00 00 78 56 34 12 ff ff ff ff 00 00 00 00")},
      {"V31", std::vector<int32_t>{}, Hex("09 00 00 00")},
      {"V32", std::vector<int32_t>{0, -1, 2, -3, 4},
       Hex("09 05 00 00 00 00 00 00 ff ff ff ff 02 00 00 00 fd ff ff ff 04 00 00 00")},
      {"V33", std::vector<int64_t>{0x1234567890abcdef, -1},
       Hex("0a 02 00 00 00 00 00 00 ef cd ab 90 78 56 34 12 ff ff ff ff ff ff ff ff")},
      {"V34", std::vector<float>{3.1415920257568359375f, 1000.0f},
       Hex("0e 02 00 00 d8 0f 49 40 00 00 7a 44")},
      {"V35", std::vector<float>{0.0f, -0.5f, 0.25f, -0.125f, 0.00625f},
       Hex("0e 05 00 00 00 00 00 00 00 00 00 bf 00 00 80 3e 00 00 00 be cd cc cc 3b")},
      {"V36", std::vector<double>{kPi, 1000.0},
       Hex("0b 02 00 00 00 00 00 00 18 2d 44 54 fb 21 09 40 00 00 00 00 00 40 8f 40")},
      {"V37", std::vector<double>{}, Hex("0b 00 00 00 00 00 00 00")},
      {"D14", ValueList{true, std::vector<int32_t>{1}}, Hex("0c 02 01 09 01 00 00 00 01 00 00 00")},
      {"V38", ValueList{}, Hex("0c 00")},
      {"V39", ValueMap{}, Hex("0d 00")},
      {"V40", ValueList{Value(), "hello", 3.14, int32_t{47}, ValueList{int32_t{42}, "nested"}},
       Hex("0c 05 00 07 05 68 65 6c 6c 6f 06 00 00 00 00 00 1f 85 eb 51 b8 1e 09 40 03 2f 00 00 "
           "00 0c 02 03 2a 00 00 00 07 06 6e 65 73 74 65 64")},
      {"V41", ValueList{Value(), true, int32_t{42}, kPi, "hello", ValueList{}, ValueMap{}},
       Hex("0c 07 00 01 03 2a 00 00 00 06 00 00 00 00 00 00 18 2d 44 54 fb 21 09 40 07 05 68 65 "
           "6c 6c 6f 0c 00 0d 00")},
      {"V42",
       ValueList{ValueList{int32_t{0}, int32_t{2}, int32_t{4}, int32_t{6}, int32_t{8}},
                 ValueList{int32_t{1}, int32_t{3}, int32_t{5}, int32_t{7}, int32_t{9}}},
       Hex("0c 02 0c 05 03 00 00 00 00 03 02 00 00 00 03 04 00 00 00 03 06 00 00 00 03 08 00 00 "
           "00 0c 05 03 01 00 00 00 03 03 00 00 00 03 05 00 00 00 03 07 00 00 00 03 09 00 00 00")},
      {"V43",
       MakeMap({{"null", Value()},
                {"bool", true},
                {"int", int32_t{42}},
                {"float", kPi},
                {"string", "hello"},
                {"list", ValueList{}},
                {"map", ValueMap{}}}),
       Hex("0d 07 07 04 6e 75 6c 6c 00 07 04 62 6f 6f 6c 01 07 03 69 6e 74 03 2a 00 00 00 07 05 "
           "66 6c 6f 61 74 06 00 00 00 00 00 00 18 2d 44 54 fb 21 09 40 07 06 73 74 72 69 6e 67 "
           "07 05 68 65 6c 6c 6f 07 04 6c 69 73 74 0c 00 07 03 6d 61 70 0d 00")},
      {"V44", nonStringKeys,
       Hex("0d 07 00 07 04 6e 75 6c 6c 01 07 04 62 6f 6f 6c 03 2a 00 00 00 07 03 69 6e 74 06 00 "
           "00 00 00 00 18 2d 44 54 fb 21 09 40 07 05 66 6c 6f 61 74 07 05 68 65 6c 6c 6f 07 06 "
           "73 74 72 69 6e 67 0c 00 07 04 6c 69 73 74 0d 00 07 03 6d 61 70")},
      {"D13", ValueList{true, 2.5}, Hex("0c 02 01 06 00 00 00 00 00 00 00 00 00 00 04 40")},
      {"D15", MakeMap({{"fps", int32_t{15}}, {"quality", 0.8}}),
       Hex("0d 02 07 03 66 70 73 03 0f 00 00 00 07 07 71 75 61 6c 69 74 79 06 00 00 9a 99 99 99 "
           "99 99 e9 3f")},
      {"D20a", sorted,
       Hex("0d 04 00 00 06 00 00 00 1f 85 eb 51 b8 1e 09 40 0c 01 07 06 6e 65 73 74 65 64 07 01 "
           "61 06 00 00 1f 85 eb 51 b8 1e 09 40 07 01 62 03 2f 00 00 00")},
      {"D20b", insertion,
       Hex("0d 04 07 01 61 06 00 00 1f 85 eb 51 b8 1e 09 40 07 01 62 03 2f 00 00 00 00 00 06 00 "
           "00 00 00 00 1f 85 eb 51 b8 1e 09 40 0c 01 07 06 6e 65 73 74 65 64")},
  };
}

bool SameValue(const Value& a, const Value& b) {
  // NaN never equals itself; compare such values by their encoding.
  return a == b || EncodeMessage(a) == EncodeMessage(b);
}

TEST(StandardCodec, GoldenMessagesEncodeAndDecodeByteForByte) {
  for (const auto& g : MessageVectors()) {
    SCOPED_TRACE(g.id);
    EXPECT_EQ(ToHex(EncodeMessage(g.value)), ToHex(g.bytes));
    auto decoded = DecodeMessage(g.bytes);
    ASSERT_TRUE(decoded) << decoded.error;
    EXPECT_TRUE(SameValue(*decoded.value, g.value)) << ToDebugString(*decoded.value);
  }
}

TEST(StandardCodec, GoldenMethodCallsRoundTrip) {
  struct Call {
    const char* id;
    FlutterMethodCall call;
    ByteBuffer bytes;
  };
  std::vector<Call> calls = {
      {"V45", {"hello", Value()}, Hex("07 05 68 65 6c 6c 6f 00")},
      {"V46", {"hello", "world"}, Hex("07 05 68 65 6c 6c 6f 07 05 77 6f 72 6c 64")},
      {"V47",
       {"hello", ValueList{"count", int32_t{42}}},
       Hex("07 05 68 65 6c 6c 6f 0c 02 07 05 63 6f 75 6e 74 03 2a 00 00 00")},
      {"D1",
       {"startCapture", MakeMap({{"fps", int32_t{15}}})},
       Hex("07 0c 73 74 61 72 74 43 61 70 74 75 72 65 0d 01 07 03 66 70 73 03 0f 00 00 00")},
      {"D2",
       {"startCapture", MakeMap({{"fps", 15.0}})},
       Hex("07 0c 73 74 61 72 74 43 61 70 74 75 72 65 0d 01 07 03 66 70 73 06 00 00 00 00 00 00 "
           "00 00 2e 40")},
      {"D12",
       {"setScale", 1.5},
       Hex("07 08 73 65 74 53 63 61 6c 65 06 00 00 00 00 00 00 00 00 00 00 00 f8 3f")},
      {"D16",
       {"setRegion", MakeMap({{"x", 0.25}, {"y", 0.75}})},
       Hex("07 09 73 65 74 52 65 67 69 6f 6e 0d 02 07 01 78 06 00 00 00 00 00 00 00 00 00 00 00 "
           "00 00 d0 3f 07 01 79 06 00 00 00 00 00 00 00 00 00 00 e8 3f")},
      {"D21", {"ping", Value()}, Hex("07 04 70 69 6e 67 00")},
  };
  for (const auto& c : calls) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(ToHex(EncodeMethodCall(c.call)), ToHex(c.bytes));
    auto decoded = DecodeMethodCall(c.bytes);
    ASSERT_TRUE(decoded) << decoded.error;
    EXPECT_EQ(decoded.value->method, c.call.method);
    EXPECT_EQ(decoded.value->arguments, c.call.arguments);
  }
}

TEST(StandardCodec, GoldenEnvelopesRoundTrip) {
  auto success = [](const char* id, const Value& v, const char* hex) {
    SCOPED_TRACE(id);
    EXPECT_EQ(ToHex(EncodeSuccessEnvelope(v)), ToHex(Hex(hex)));
    auto env = DecodeEnvelope(Hex(hex));
    ASSERT_TRUE(env) << env.error;
    EXPECT_TRUE(env.value->success);
    EXPECT_EQ(env.value->result, v);
  };
  success("V48", Value(), "00 00");
  success("V49", int32_t{42}, "00 03 2a 00 00 00");
  success("V50", "hello", "00 07 05 68 65 6c 6c 6f");
  success("D3", true, "00 01");
  success("D4", 0.5, "00 06 00 00 00 00 00 00 00 00 00 00 00 00 e0 3f");
  success("D17", std::vector<double>{0.5}, "00 0b 01 00 00 00 00 00 00 00 00 00 00 00 e0 3f");

  auto error = [](const char* id, const std::string& code, std::optional<std::string> message,
                  const Value& details, const char* hex) {
    SCOPED_TRACE(id);
    EXPECT_EQ(ToHex(EncodeErrorEnvelope(code, message, details)), ToHex(Hex(hex)));
    auto env = DecodeEnvelope(Hex(hex));
    ASSERT_TRUE(env) << env.error;
    EXPECT_FALSE(env.value->success);
    EXPECT_EQ(env.value->code, code);
    EXPECT_EQ(env.value->message, message);
    EXPECT_EQ(env.value->details, details);
  };
  error("V51", "errorCode", std::nullopt, Value(), "01 07 09 65 72 72 6f 72 43 6f 64 65 00 00");
  error("V52", "errorCode", "something failed", ValueList{"a", int32_t{42}},
        "01 07 09 65 72 72 6f 72 43 6f 64 65 07 10 73 6f 6d 65 74 68 69 6e 67 20 66 61 69 6c 65 "
        "64 0c 02 07 01 61 03 2a 00 00 00");
  error("V53", "", std::nullopt, Value(), "01 07 00 00 00");
  error("V54", "error", "message", ValueList{"count", int32_t{42}},
        "01 07 05 65 72 72 6f 72 07 07 6d 65 73 73 61 67 65 0c 02 07 05 63 6f 75 6e 74 03 2a 00 "
        "00 00");
  error("D5", "bad_args", "fps must be > 0", Value(),
        "01 07 08 62 61 64 5f 61 72 67 73 07 0f 66 70 73 20 6d 75 73 74 20 62 65 20 3e 20 30 00");
  error("D7", "E", std::nullopt, MakeMap({{"fps", int32_t{0}}}),
        "01 07 01 45 00 0d 01 07 03 66 70 73 03 00 00 00 00");

  auto withTrace = DecodeEnvelope(
      Hex("01 07 05 65 72 72 6f 72 07 04 62 6f 6f 6d 00 07 07 61 74 20 6d 61 69 6e"));
  ASSERT_TRUE(withTrace) << withTrace.error;
  EXPECT_EQ(withTrace.value->stackTrace, "at main");
  auto nullTrace = DecodeEnvelope(Hex("01 07 05 65 72 72 6f 72 00 00 00"));
  ASSERT_TRUE(nullTrace) << nullTrace.error;
  EXPECT_FALSE(nullTrace.value->stackTrace.has_value());
}

TEST(StandardCodec, AcceptsWhatPeersProduce) {
  auto wideFive = DecodeMessage(Hex("04 05 00 00 00 00 00 00 00"));
  ASSERT_TRUE(wideFive);
  EXPECT_EQ(wideFive.value->AsInt64(), 5);
  EXPECT_EQ(DecodeMessage(Hex("05 02 31 66")).value, Value("1f"));
  EXPECT_EQ(DecodeMessage(Hex("07 fe 02 00 68 69")).value, Value("hi"));
  EXPECT_EQ(DecodeMessage(Hex("06 ff ff ff ff ff ff ff 00 00 00 00 00 00 f0 3f")).value,
            Value(1.0));
}

TEST(StandardCodec, DuplicateMapKeysKeepFirstPositionAndLastValue) {
  // {"a": 1, "b": 2, "a": 3}
  auto decoded =
      DecodeMessage(Hex("0d 03 07 01 61 03 01 00 00 00 07 01 62 03 02 00 00 00 07 01 61 03 03 00 "
                        "00 00"));
  ASSERT_TRUE(decoded) << decoded.error;
  EXPECT_EQ(*decoded.value, Value(MakeMap({{"a", int32_t{3}}, {"b", int32_t{2}}})));
  // The integer key 1 and the string key "1" are different keys.
  auto mixed = DecodeMessage(Hex("0d 02 03 01 00 00 00 01 07 01 31 02"));
  ASSERT_TRUE(mixed);
  EXPECT_EQ(mixed.value->GetIf<ValueMap>()->size(), 2u);
}

// Keys are compared by value: the integer width on the wire is the sender's storage choice.
TEST(StandardCodec, MapKeysOfEqualValueAreOneKeyWhateverTheirWidth) {
  const std::string int32Five = "03 05 00 00 00", int64Five = "04 05 00 00 00 00 00 00 00";
  struct Case {
    const char* name;
    std::string first, second;
    size_t entries;
  } cases[] = {
      {"int32 5 and int64 5", int32Five, int64Five, 1},
      {"int64 5 and int32 5", int64Five, int32Five, 1},
      {"[int32 5] and [int64 5]", "0c 01 " + int32Five, "0c 01 " + int64Five, 1},
      {"{5: null} and {5L: null}", "0d 01 " + int32Five + " 00", "0d 01 " + int64Five + " 00", 1},
      {"int 5 and string \"5\"", int32Five, "07 01 35", 2},
      {"int32 5 and int32 6", int32Five, "03 06 00 00 00", 2},
      {"[5] and [5, 5]", "0c 01 " + int32Five, "0c 02 " + int32Five + " " + int64Five, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // {first: true, second: false}
    auto decoded = DecodeMessage(Hex("0d 02 " + c.first + " 01 " + c.second + " 02"));
    ASSERT_TRUE(decoded) << decoded.error;
    const auto& map = *decoded.value->GetIf<ValueMap>();
    ASSERT_EQ(map.size(), c.entries);
    EXPECT_EQ(map[0].first, *DecodeMessage(Hex(c.first)).value);  // the first key stays
    EXPECT_EQ(map[0].second, Value(c.entries == 1 ? false : true));
  }
  // 1 and 1.0 are different keys.
  auto mixed = DecodeMessage(
      Hex("0d 02 03 01 00 00 00 01 06 00 00 00 00 00 00 00 00 00 00 00 00 00 f0 3f 02"));
  ASSERT_TRUE(mixed) << mixed.error;
  EXPECT_EQ(mixed.value->GetIf<ValueMap>()->size(), 2u);
}

TEST(StandardCodec, RejectsMalformedMessages) {
  ByteBuffer deep;
  for (int i = 0; i < 200; ++i) deep.insert(deep.end(), {0x0c, 0x01});
  deep.push_back(0x00);
  std::vector<ByteBuffer> bad = {
      Hex("03"), Hex("03 67"), Hex("03 67 45 23"), Hex("04"), Hex("04 ef"),
      Hex("04 ef cd ab 89 67 45 23"), Hex("06 00 00 00 00 00 00 00 00"), Hex("06 00 00"), Hex("07"),
      Hex("07 05"), Hex("07 05 68"), Hex("07 05 68 65 6c 6c"), Hex("07 fe 00"),
      Hex("07 ff 00 00 01"), Hex("08 05 00 01 02 03"), Hex("09 05 00 00"), Hex("09 05 00 00 00"),
      Hex("09 05 00"), Hex("0c 07"), Hex("0c 07 00"), Hex("0d 07 07"), Hex("0f"), Hex("80"),
      Hex("ff"), Hex("00 00"), Hex("07 02 c3 28"), Hex("0c ff ff ff ff ff"), deep, ByteBuffer{},
      // overlong encoding and a UTF-16 surrogate are not UTF-8
      Hex("07 02 c0 80"), Hex("07 03 ed a0 80"),
      // a typed list whose count times width overflows 32 bits
      Hex("0a ff ff ff ff ff 00 00 00")};
  for (const auto& b : bad) {
    auto r = DecodeMessage(b);
    EXPECT_FALSE(r) << ToHex(b);
    EXPECT_FALSE(r.error.empty()) << ToHex(b);
  }
  // Nesting up to the limit is fine.
  ByteBuffer ok;
  for (int i = 0; i < kMaxDepth; ++i) ok.insert(ok.end(), {0x0c, 0x01});
  ok.push_back(0x00);
  EXPECT_TRUE(DecodeMessage(ok));
}

TEST(StandardCodec, RejectsMalformedMethodCallsAndEnvelopes) {
  for (const char* hex : {"", "07 05 68 65 6c 6c 6f", "00 00 00", "07 05 68 65 6c 6c 6f 00 00",
                          "03 01 00 00 00 00"}) {
    EXPECT_FALSE(DecodeMethodCall(Hex(hex))) << hex;
  }
  for (const char* hex :
       {"", "00", "00 00 00", "01", "01 07 05 65 72 72 6f 72", "01 07 05 65 72 72 6f 72 00", "02",
        "01 03 2a 00 00 00 00 00", "01 07 01 45 03 01 00 00 00 00",
        "01 07 01 45 00 00 03 01 00 00 00", "01 07 01 45 00 00 00 00"}) {
    EXPECT_FALSE(DecodeEnvelope(Hex(hex))) << hex;
  }
}

// Every prefix of every golden vector, and random bytes, either decode or fail cleanly (the
// sanitizer builds turn any out-of-bounds read into a failure).
// Decoding cost is bounded by the message's length: a cheap message that would decode into far
// more memory (or work) than it is long is malformed; large typed data is not.
TEST(StandardCodec, RefusesMessagesThatDecodeFarLargerThanTheyAre) {
  auto list = [](uint32_t n, uint8_t tag, size_t elementBytes) {
    ByteBuffer b{0x0c, 0xff};
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(n >> (8 * i)));
    for (uint32_t i = 0; i < n; ++i) {
      b.push_back(tag);
      b.insert(b.end(), elementBytes, 0);
    }
    return b;
  };
  auto nulls = DecodeMessage(list(1 << 20, 0x00, 0));  // 1 MiB: 32 MiB of values
  EXPECT_FALSE(nulls);
  EXPECT_NE(nulls.error.find("decoded size"), std::string::npos) << nulls.error;
  EXPECT_TRUE(DecodeMessage(list(1 << 14, 0x00, 0)));               // within the slack
  EXPECT_TRUE(DecodeMessage(list(1 << 20, 0x03, 4)));               // int32 elements: 6.4x
  EXPECT_TRUE(DecodeMessage(EncodeMessage(ByteBuffer(16 << 20))));  // a picture: 1x

  // A chain of maps, each the key of the next, around one 1 MiB string: every level encodes
  // its key again (64 MiB of work for 1 MiB of input).
  Value chain = std::string(1 << 20, 'k');
  for (int level = 0; level < 60; ++level) chain = ValueMap{{chain, Value()}};
  auto chained = DecodeMessage(EncodeMessage(chain));
  EXPECT_FALSE(chained);
  EXPECT_NE(chained.error.find("decoded size"), std::string::npos) << chained.error;
}

TEST(StandardCodec, TruncationsAndNoiseNeverCrash) {
  for (const auto& g : MessageVectors()) {
    if (g.bytes.size() > 600) continue;
    for (size_t n = 0; n < g.bytes.size(); ++n) {
      ByteBuffer prefix(g.bytes.begin(), g.bytes.begin() + n);
      EXPECT_FALSE(DecodeMessage(prefix)) << g.id << " cut at " << n;
    }
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    ByteBuffer noise(rng() % 48);
    for (auto& b : noise) b = static_cast<uint8_t>(rng() % 16 == 0 ? rng() : rng() % 16);
    auto m = DecodeMessage(noise);
    if (m) {
      // What decodes re-encodes, and never to something far larger than the input.
      EXPECT_LE(EncodeMessage(*m.value).size(), noise.size() + 8);
    }
    (void)DecodeMethodCall(noise);
    (void)DecodeEnvelope(noise);
  }
}

}  // namespace
}  // namespace flutter
