// Writer output: float layout, string escaping, integers and container layout.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>

#include "json/write.hpp"

namespace quarn::json {
namespace {

TEST(WriteFloat, LayoutByDecimalExponent) {
  const std::pair<double, std::string> cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {100.0, "100.0"},
      {12.34, "12.34"},
      {0.001234, "0.001234"},
      {1e-5, "0.00001"},
      {1e-6, "1e-6"},
      {1e15, "1000000000000000.0"},
      {4503599627370495.5, "4503599627370495.5"},  // 17 digits with E = 15
      {1e16, "1e+16"},
      {1.2345678901234568e17, "1.2345678901234568e+17"},
      {18446744073709551616.0, "1.8446744073709552e+19"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
  };
  for (const auto& [d, text] : cases) {
    std::string out;
    write_float(d, out);
    EXPECT_EQ(out, text);
  }
}

TEST(WriteString, EscapesEveryControlByte) {
  static const char* const expected[32] = {
      "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
      "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
      "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
      "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f"};
  for (int c = 0; c < 32; ++c) {
    std::string out;
    write_string(std::string("a").append(1, static_cast<char>(c)).append("b"), out);
    // Built with append: GCC 12 at -O3 misreports -Wrestrict on const char* + std::string.
    EXPECT_EQ(out, std::string("\"a").append(expected[c]).append("b\"")) << c;
  }
}

TEST(WriteValue, CompactText) {
  const std::pair<Value, std::string> cases[] = {
      {Value(), "null"},
      {Value(true), "true"},
      {Value::uint(0), "0"},
      {Value::uint(UINT64_MAX), "18446744073709551615"},
      {Value::negative(INT64_MIN), "-9223372036854775808"},
      {Value::real(5.0), "5.0"},
      // Only the quote and the backslash are escaped above the control bytes.
      {Value("\"\\/\x7f caf\xc3\xa9 \xf0\x9f\x98\x80"),
       "\"\\\"\\\\/\x7f caf\xc3\xa9 \xf0\x9f\x98\x80\""},
      {Value(Array{}), "[]"},
      {Value(Object{}), "{}"},
      {Value(Array{Value::uint(1), Value(Array{Value()}), Value("s")}), "[1,[null],\"s\"]"},
      // Names in UTF-8 byte order, whatever the order of insertion.
      {Value(Object{{"b", Value::uint(1)}, {"a", Value::uint(2)}, {"B", Value::uint(3)}}),
       "{\"B\":3,\"a\":2,\"b\":1}"},
      {Value(Object{
           {"ab", {}}, {"b", {}}, {"_", {}}, {"Z", {}}, {"\xc3\xa9", {}}, {"a\n", Object{}}}),
       "{\"Z\":null,\"_\":null,\"a\\n\":{},\"ab\":null,\"b\":null,\"\xc3\xa9\":null}"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(write(value), text);
}

}  // namespace
}  // namespace quarn::json
