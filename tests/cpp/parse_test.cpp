// Parser behaviour: accepted documents, number kinds, string decoding and every error report.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <set>
#include <string>

#include "json/parse.hpp"

namespace quarn::json {
namespace {

Value parsed(std::string_view text) {
  ParseResult r = parse(text);
  EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error().message());
  return r.ok() ? r.value() : Value();
}

std::string error_message(std::string_view text) {
  ParseResult r = parse(text);
  return r.ok() ? "<accepted>" : r.error().message();
}

struct ErrorCase {
  std::string text;
  std::string message;
};

class ParseErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrorTest, ReportsKindAndPosition) {
  EXPECT_EQ(error_message(GetParam().text), GetParam().message) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, ParseErrorTest,
    ::testing::Values(
        ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{"  \n ", "EOF while parsing a value at line 2 column 1"},
        ErrorCase{"[1,", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        ErrorCase{"tru", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"-", "EOF while parsing a value at line 1 column 1"},
        ErrorCase{"1.", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"1e", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"1E-", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"[1", "EOF while parsing a list at line 1 column 2"},
        ErrorCase{"[", "EOF while parsing a list at line 1 column 1"},
        ErrorCase{"[1\n", "EOF while parsing a list at line 2 column 0"},
        ErrorCase{"{", "EOF while parsing an object at line 1 column 1"},
        ErrorCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        ErrorCase{"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        ErrorCase{"{\"a\":1,", "EOF while parsing an object at line 1 column 7"},
        ErrorCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
        ErrorCase{"\"\\", "EOF while parsing a string at line 1 column 2"},
        ErrorCase{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        ErrorCase{"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
        ErrorCase{"\"\\ud800\\", "EOF while parsing a string at line 1 column 8"},
        ErrorCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        ErrorCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        ErrorCase{"[1}", "expected `,` or `]` at line 1 column 3"},
        ErrorCase{"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
        ErrorCase{"nul1", "expected ident at line 1 column 4"},
        ErrorCase{"[truE]", "expected ident at line 1 column 5"},
        ErrorCase{"fals", "EOF while parsing a value at line 1 column 4"},
        ErrorCase{"NaN", "expected value at line 1 column 1"},
        ErrorCase{"[Infinity]", "expected value at line 1 column 2"},
        ErrorCase{"+1", "expected value at line 1 column 1"},
        ErrorCase{"'a'", "expected value at line 1 column 1"},
        ErrorCase{"]", "expected value at line 1 column 1"},
        ErrorCase{"[,1]", "expected value at line 1 column 2"},
        ErrorCase{"\"\\x\"", "invalid escape at line 1 column 3"},
        ErrorCase{"\"\\u12g4\"", "invalid escape at line 1 column 6"},
        ErrorCase{"\"\\U0041\"", "invalid escape at line 1 column 3"},
        ErrorCase{"-Infinity", "invalid number at line 1 column 2"},
        ErrorCase{"01", "invalid number at line 1 column 2"},
        ErrorCase{"-01", "invalid number at line 1 column 3"},
        ErrorCase{"1.e5", "invalid number at line 1 column 3"},
        ErrorCase{"1ex", "invalid number at line 1 column 3"},
        ErrorCase{"[- 1]", "invalid number at line 1 column 3"},
        ErrorCase{"1e400", "number out of range at line 1 column 5"},
        ErrorCase{"[-1.5e999]", "number out of range at line 1 column 9"},
        ErrorCase{std::string(400, '9'), "number out of range at line 1 column 400"},
        ErrorCase{
            "\"a\tb\"",
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        ErrorCase{
            "\"a\nb\"",
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        ErrorCase{
            std::string("\"\0\"", 3),
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        ErrorCase{"{1:2}", "key must be a string at line 1 column 2"},
        ErrorCase{"{\"a\":1,2}", "key must be a string at line 1 column 8"},
        ErrorCase{"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        ErrorCase{"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        ErrorCase{"\"\\ud800\\ud800\"", "lone leading surrogate in hex escape at line 1 column 13"},
        ErrorCase{"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
        ErrorCase{"\"\\ud800x\"", "unexpected end of hex escape at line 1 column 8"},
        ErrorCase{"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        ErrorCase{"[1,2,]", "trailing comma at line 1 column 6"},
        ErrorCase{"[1,\n ]", "trailing comma at line 2 column 2"},
        ErrorCase{"{\"a\":1,}", "trailing comma at line 1 column 8"},
        ErrorCase{"[1,2] x", "trailing characters at line 1 column 7"},
        ErrorCase{"1 2", "trailing characters at line 1 column 3"},
        ErrorCase{"{}\r\n\n  }", "trailing characters at line 3 column 3"},
        ErrorCase{"truex", "trailing characters at line 1 column 5"},
        ErrorCase{"\f1", "expected value at line 1 column 1"},
        ErrorCase{std::string(128, '['), "recursion limit exceeded at line 1 column 128"}));

TEST(ParseErrorText, EveryKindHasDistinctText) {
  std::set<std::string_view> seen;
  for (int k = 0; k <= static_cast<int>(ErrorKind::RecursionLimitExceeded); ++k) {
    const std::string_view text = error_text(static_cast<ErrorKind>(k));
    EXPECT_NE(text, "unknown error") << k;
    EXPECT_TRUE(seen.insert(text).second) << text;
  }
}

struct NumberCase {
  std::string text;
  Value expected;
};

class ParseNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ParseNumberTest, ClassifiesKindAndValue) {
  EXPECT_EQ(parsed(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ParseNumberTest,
    ::testing::Values(NumberCase{"0", Value::uint(0)}, NumberCase{"-0", Value::real(-0.0)},
                      NumberCase{"-0.0", Value::real(-0.0)}, NumberCase{"0.0", Value::real(0.0)},
                      NumberCase{"18446744073709551615", Value::uint(UINT64_MAX)},
                      NumberCase{"18446744073709551616", Value::real(18446744073709551616.0)},
                      NumberCase{"-9223372036854775808", Value::negative(INT64_MIN)},
                      NumberCase{"-9223372036854775809", Value::real(-9223372036854775808.0)},
                      NumberCase{"-1", Value::negative(-1)}, NumberCase{"5", Value::uint(5)},
                      NumberCase{"5.0", Value::real(5.0)}, NumberCase{"5e0", Value::real(5.0)},
                      NumberCase{"1E+2", Value::real(100.0)},
                      NumberCase{"-2.5e-3", Value::real(-0.0025)},
                      NumberCase{"1e-400", Value::real(0.0)},
                      NumberCase{"-1e-400", Value::real(-0.0)}, NumberCase{"0.1", Value::real(0.1)},
                      // Halfway between two doubles: needs a correctly rounded conversion.
                      NumberCase{"9007199254740993", Value::uint(9007199254740993u)},
                      NumberCase{"9007199254740993.0", Value::real(9007199254740992.0)},
                      NumberCase{"1.7976931348623157e308", Value::real(1.7976931348623157e308)},
                      NumberCase{"4.9e-324", Value::real(std::bit_cast<double>(std::uint64_t{1}))},
                      NumberCase{" \t\r\n7 \n", Value::uint(7)}));

struct StringCase {
  std::string text;
  std::string decoded;
};

class ParseStringTest : public ::testing::TestWithParam<StringCase> {};

TEST_P(ParseStringTest, Decodes) {
  const Value v = parsed(GetParam().text);
  ASSERT_EQ(v.kind(), Value::Kind::String);
  EXPECT_EQ(v.as_string(), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(Escapes, ParseStringTest,
                         ::testing::Values(StringCase{R"("")", ""},
                                           StringCase{R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
                                           StringCase{R"("\u0000")", std::string(1, '\0')},
                                           StringCase{R"("\u0041\u00e9\u00E9")",
                                                      "A\xc3\xa9\xc3\xa9"},
                                           StringCase{R"("\u20ac")", "\xe2\x82\xac"},
                                           StringCase{R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
                                           StringCase{R"("\uDBFF\uDFFF")", "\xf4\x8f\xbf\xbf"},
                                           StringCase{"\"caf\xc3\xa9 \x7f\"", "caf\xc3\xa9 \x7f"}));

TEST(ParseStructure, ObjectMembersLaterDuplicateWins) {
  const Value v = parsed(R"({"b": 1, "a": [true, false, null], "b": "x"})");
  EXPECT_EQ(
      v, Value(Object{{"a", Value(Array{Value(true), Value(false), Value()})}, {"b", Value("x")}}));
}

TEST(ParseStructure, EscapedNamesAreDecoded) {
  const Value v = parsed(R"({"\u0061": 1, "a": 2})");
  ASSERT_EQ(v.as_object().size(), 1u);
  EXPECT_EQ(v.as_object().at("a"), Value::uint(2));
}

std::string nested(std::size_t depth, bool objects) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += objects ? "{\"k\":" : "[";
  text += "0";
  for (std::size_t i = 0; i < depth; ++i) text += objects ? "}" : "]";
  return text;
}

TEST(ParseStructure, NestingLimitIsAtLevel128) {
  for (const bool objects : {false, true}) {
    ParseResult ok = parse(nested(max_depth, objects));
    EXPECT_TRUE(ok.ok()) << objects;
    ParseResult deep = parse(nested(max_depth + 1, objects));
    ASSERT_FALSE(deep.ok()) << objects;
    EXPECT_EQ(deep.error().kind, ErrorKind::RecursionLimitExceeded);
    EXPECT_EQ(deep.error().column, objects ? 5 * max_depth + 1 : max_depth + 1);
  }
  // Mixed containers share one depth counter, and empty ones still open a level.
  std::string mixed;
  for (std::size_t i = 0; i < max_depth; ++i) mixed += i % 2 ? "{\"k\":" : "[";
  EXPECT_EQ(error_message(mixed + "[]"),
            "recursion limit exceeded at line 1 column " + std::to_string(mixed.size() + 1));
  EXPECT_EQ(error_message(mixed + "{}"),
            "recursion limit exceeded at line 1 column " + std::to_string(mixed.size() + 1));
}

TEST(ParseStructure, DeepUnclosedInputFailsWithoutRecursing) {
  EXPECT_EQ(error_message(std::string(100000, '[')),
            "recursion limit exceeded at line 1 column 128");
}

}  // namespace
}  // namespace quarn::json
