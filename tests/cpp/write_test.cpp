// Writer output: float layout, string escaping, integers and container layout.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>

#include "json/write.hpp"

namespace quarn::json {
namespace {

std::string float_text(double d) {
  std::string out;
  write_float(d, out);
  return out;
}

struct FloatCase {
  std::uint64_t bits;
  std::string text;
};

class WriteFloatTest : public ::testing::TestWithParam<FloatCase> {};

TEST_P(WriteFloatTest, Layout) {
  EXPECT_EQ(float_text(std::bit_cast<double>(GetParam().bits)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    ExactBits, WriteFloatTest,
    ::testing::Values(FloatCase{0x0000000000000000, "0.0"}, FloatCase{0x8000000000000000, "-0.0"},
                      FloatCase{0x3FF0000000000000, "1.0"}, FloatCase{0xBFF8000000000000, "-1.5"},
                      FloatCase{0x4059000000000000, "100.0"},
                      FloatCase{0x4028AE147AE147AE, "12.34"},
                      FloatCase{0x3F5437C5692B3CC5, "0.001234"},
                      FloatCase{0x3EE4F8B588E368F1, "0.00001"},             // 1e-5
                      FloatCase{0x3EB0C6F7A0B5ED8D, "1e-6"},                // 1e-6
                      FloatCase{0x3E8421F5F40D8376, "1.5e-7"},              // 1.5e-7
                      FloatCase{0x430C6BF526340000, "1000000000000000.0"},  // 1e15
                      FloatCase{0x4341C37937E08000, "1e+16"},               // 1e16
                      FloatCase{0x437B69B4BA630F35, "1.2345678901234568e+17"},
                      FloatCase{0x43F0000000000000, "1.8446744073709552e+19"},  // 2^64
                      FloatCase{0xC3E0000000000000, "-9.223372036854776e+18"},  // -2^63
                      FloatCase{0x7FEFFFFFFFFFFFFF, "1.7976931348623157e+308"},
                      FloatCase{0x0000000000000001, "5e-324"},
                      FloatCase{0x0010000000000000, "2.2250738585072014e-308"},
                      FloatCase{0x3FB999999999999A, "0.1"},
                      FloatCase{0x432FFFFFFFFFFFFF,
                                "4503599627370495.5"}));  // 2^52 - 0.5: 17 digits, E = 15

std::string escaped(std::string_view s) {
  std::string out;
  write_string(s, out);
  return out;
}

TEST(WriteString, EscapesEveryControlByte) {
  static const char* const expected[32] = {
      "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
      "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
      "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
      "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f"};
  for (int c = 0; c < 32; ++c) {
    const char byte = static_cast<char>(c);
    // Built with append: GCC 12 at -O3 misreports -Wrestrict on const char* + std::string.
    EXPECT_EQ(escaped(std::string_view(&byte, 1)),
              std::string("\"").append(expected[c]).append("\""))
        << c;
    EXPECT_EQ(escaped(std::string("a").append(1, byte).append("b")),
              std::string("\"a").append(expected[c]).append("b\""))
        << c;
  }
}

TEST(WriteString, OnlyQuoteAndBackslashEscapedAboveControls) {
  EXPECT_EQ(escaped("\""), R"("\"")");
  EXPECT_EQ(escaped("\\"), R"("\\")");
  EXPECT_EQ(escaped("a/b"), R"("a/b")");
  EXPECT_EQ(escaped("\x7f"), "\"\x7f\"");
  EXPECT_EQ(escaped("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
  EXPECT_EQ(escaped("\xf0\x9f\x98\x80"), "\"\xf0\x9f\x98\x80\"");
  EXPECT_EQ(escaped(""), "\"\"");
  EXPECT_EQ(escaped("say \"hi\"\\\n"), R"("say \"hi\"\\\n")");
}

struct WriteCase {
  Value value;
  std::string text;
};

class WriteValueTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteValueTest, Compact) { EXPECT_EQ(write(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, WriteValueTest,
    ::testing::Values(
        WriteCase{Value(), "null"}, WriteCase{Value(true), "true"},
        WriteCase{Value(false), "false"}, WriteCase{Value::uint(0), "0"},
        WriteCase{Value::uint(UINT64_MAX), "18446744073709551615"},
        WriteCase{Value::negative(-1), "-1"},
        WriteCase{Value::negative(INT64_MIN), "-9223372036854775808"},
        WriteCase{Value::real(5.0), "5.0"},
        WriteCase{Value::real(std::numeric_limits<double>::quiet_NaN()), "null"},
        WriteCase{Value::real(-std::numeric_limits<double>::infinity()), "null"},
        WriteCase{Value("x"), "\"x\""}, WriteCase{Value(Array{}), "[]"},
        WriteCase{Value(Object{}), "{}"},
        WriteCase{Value(Array{Value::uint(1), Value(Array{Value()}), Value("s")}),
                  "[1,[null],\"s\"]"},
        WriteCase{
            Value(Object{{"b", Value::uint(1)}, {"a", Value::uint(2)}, {"B", Value::uint(3)}}),
            "{\"B\":3,\"a\":2,\"b\":1}"},
        WriteCase{Value(Object{{"ab", Value()},
                               {"b", Value()},
                               {"_", Value()},
                               {"Z", Value()},
                               {"\xc3\xa9", Value()},
                               {"a\n", Value(Object{})}}),
                  "{\"Z\":null,\"_\":null,\"a\\n\":{},\"ab\":null,\"b\":null,\"\xc3\xa9\":null}"}));

}  // namespace
}  // namespace quarn::json
