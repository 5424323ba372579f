// Parser behaviour: every error kind with its position, number kinds, string decoding, nesting.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <utility>

#include "json/parse.hpp"

namespace quarn::json {
namespace {

// The error text, or "accepted".
std::string outcome(std::string_view text) {
  ParseResult r = parse(text);
  return r.ok() ? "accepted" : r.error().message();
}

Value parsed(std::string_view text) {
  ParseResult r = parse(text);
  EXPECT_TRUE(r.ok()) << text << ": " << outcome(text);
  return r.ok() ? r.value() : Value();
}

const std::string kControl = "control character (\\u0000-\\u001F) found while parsing a string";

TEST(ParseError, EveryKindWithItsPosition) {
  const std::pair<std::string, std::string> cases[] = {
      // At the end of the text the column is the length of the last line.
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n ", "EOF while parsing a value at line 2 column 1"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"[1\n", "EOF while parsing a list at line 2 column 0"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\":1,", "EOF while parsing an object at line 1 column 7"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"[1}", "expected `,` or `]` at line 1 column 3"},
      {"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
      {"nul1", "expected ident at line 1 column 4"},
      {"NaN", "expected value at line 1 column 1"},
      {"+1", "expected value at line 1 column 1"},
      {"\f1", "expected value at line 1 column 1"},  // not whitespace
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"-Infinity", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"1e400", "number out of range at line 1 column 5"},
      {std::string(400, '9'), "number out of range at line 1 column 400"},
      {"\"a\nb\"", kControl + " at line 1 column 3"},
      {std::string("\"\0\"", 3), kControl + " at line 1 column 2"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
      {"[1,2,]", "trailing comma at line 1 column 6"},
      {"[1,\n ]", "trailing comma at line 2 column 2"},
      {"[1,2] x", "trailing characters at line 1 column 7"},
      {"{}\r\n\n  }", "trailing characters at line 3 column 3"},
      // The 128th level fails, and deep unclosed input is not read any further.
      {std::string(128, '['), "recursion limit exceeded at line 1 column 128"},
      {std::string(100000, '['), "recursion limit exceeded at line 1 column 128"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(outcome(text), message) << text;
}

TEST(ParseNumber, KindAndValueAtTheBoundaries) {
  const std::pair<std::string, Value> cases[] = {
      {"0", Value::uint(0)},
      {"-0", Value::real(-0.0)},
      {"5.0", Value::real(5.0)},
      {"1E+2", Value::real(100.0)},
      {"18446744073709551615", Value::uint(UINT64_MAX)},
      {"18446744073709551616", Value::real(18446744073709551616.0)},
      {"-9223372036854775808", Value::negative(INT64_MIN)},
      {"-9223372036854775809", Value::real(-9223372036854775808.0)},
      {"9007199254740993", Value::uint(9007199254740993u)},
      {"9007199254740993.0", Value::real(9007199254740992.0)},  // halfway: rounds to even
      {"1.7976931348623157e308", Value::real(1.7976931348623157e308)},
      {"4.9e-324", Value::real(std::bit_cast<double>(std::uint64_t{1}))},
      {"-1e-400", Value::real(-0.0)},
      {" \t\r\n7 \n", Value::uint(7)},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parsed(text), expected) << text;
}

TEST(ParseString, Escapes) {
  const std::pair<std::string, std::string> cases[] = {
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u0000")", std::string(1, '\0')},
      {R"("\u0041\u00e9\u00E9\u20ac")", "A\xc3\xa9\xc3\xa9\xe2\x82\xac"},
      {R"("\ud83d\ude00\uDBFF\uDFFF")", "\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"},
      {"\"caf\xc3\xa9 \x7f\"", "caf\xc3\xa9 \x7f"},
  };
  for (const auto& [text, decoded] : cases) EXPECT_EQ(parsed(text), Value(decoded)) << text;
}

TEST(ParseObject, LaterDuplicateNameWinsAlsoWhenEscaped) {
  EXPECT_EQ(parsed(R"({"b": 1, "a": [true, false, null], "\u0062": "x"})"),
            Value(Object{{"a", Value(Array{Value(true), Value(false), Value()})}, {"b", "x"}}));
}

TEST(ParseNesting, Level127IsAcceptedAndThe128thRefused) {
  for (const std::string_view open : {"[", "{\"k\":"}) {
    std::string levels;
    for (std::size_t i = 0; i < max_depth; ++i) levels += open;
    const std::string close(max_depth, open == "[" ? ']' : '}');
    const std::string refused =
        "recursion limit exceeded at line 1 column " + std::to_string(levels.size() + 1);
    EXPECT_EQ(outcome(levels + "0" + close), "accepted") << open;
    // Either container opens the next level, also when empty.
    EXPECT_EQ(outcome(levels + "[]" + close), refused) << open;
    EXPECT_EQ(outcome(levels + "{}" + close), refused) << open;
  }
}

}  // namespace
}  // namespace quarn::json
