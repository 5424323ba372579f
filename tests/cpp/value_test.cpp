// Value construction and equality, and parse/write round trips over generated documents.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "json/parse.hpp"
#include "json/write.hpp"

namespace quarn::json {
namespace {

using K = Value::Kind;

TEST(ValueFactories, PickNumberKinds) {
  EXPECT_EQ(Value::integer(0).kind(), K::UInt);
  EXPECT_EQ(Value::integer(INT64_MAX).as_uint(), std::uint64_t{INT64_MAX});
  EXPECT_EQ(Value::integer(-1).kind(), K::Int);
  EXPECT_EQ(Value::integer(INT64_MIN).as_int(), INT64_MIN);
  EXPECT_EQ(Value::real(-0.0).kind(), K::Float);
  EXPECT_TRUE(std::signbit(Value::real(-0.0).as_float()));
  for (const double bad :
       {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(Value::real(bad).kind(), K::Null) << bad;
  }
}

TEST(ValueFactories, TextNeverBecomesBool) {
  const std::string s = "abc";
  for (const Value& v : {Value("abc"), Value(s), Value(std::string_view(s))}) {
    ASSERT_EQ(v.kind(), K::String);
    EXPECT_EQ(v.as_string(), "abc");
  }
  EXPECT_EQ(Value(nullptr).kind(), K::Null);
  EXPECT_EQ(Value(false).kind(), K::Bool);
}

TEST(ValueAccess, WrongKindThrows) {
  EXPECT_THROW(static_cast<void>(Value::uint(1).as_int()), std::bad_variant_access);
  EXPECT_THROW(static_cast<void>(Value("1").as_uint()), std::bad_variant_access);
  EXPECT_THROW(static_cast<void>(Value().as_array()), std::bad_variant_access);
}

TEST(ValueAccess, ObjectInsertReplacesExistingName) {
  Value v(Object{{"a", Value::uint(1)}});
  v.as_object().insert_or_assign("a", Value("new"));
  v.as_object().emplace("b", Value(true));
  EXPECT_EQ(write(v), R"({"a":"new","b":true})");
}

struct EqualityCase {
  Value a;
  Value b;
  bool equal;
};

class ValueEqualityTest : public ::testing::TestWithParam<EqualityCase> {};

TEST_P(ValueEqualityTest, Structural) {
  const EqualityCase& c = GetParam();
  EXPECT_EQ(c.a == c.b, c.equal) << write(c.a) << " vs " << write(c.b);
  EXPECT_EQ(c.b == c.a, c.equal);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ValueEqualityTest,
    ::testing::Values(
        EqualityCase{Value::uint(5), Value::uint(5), true},
        EqualityCase{Value::uint(5), Value::real(5.0), false},
        EqualityCase{Value::negative(-5), Value::real(-5.0), false},
        EqualityCase{Value::uint(0), Value(false), false},
        EqualityCase{Value::real(0.0), Value::real(-0.0), false},
        EqualityCase{Value::real(0.1), Value::real(0.1), true},
        EqualityCase{Value(), Value(nullptr), true}, EqualityCase{Value(""), Value(), false},
        EqualityCase{Value(std::string("a\0b", 3)), Value(std::string("a\0c", 3)), false},
        EqualityCase{Value(Array{Value::real(-0.0)}), Value(Array{Value::real(0.0)}), false},
        EqualityCase{Value(Array{Value::uint(1)}), Value(Array{Value::uint(1), Value()}), false},
        EqualityCase{Value(Object{{"a", Value::uint(1)}, {"b", Value()}}),
                     Value(Object{{"b", Value()}, {"a", Value::uint(1)}}), true},
        EqualityCase{Value(Object{{"a", Value::uint(1)}}), Value(Object{{"a", Value::uint(2)}}),
                     false},
        EqualityCase{Value(Object{{"a", Value()}}), Value(Object{{"b", Value()}}), false},
        EqualityCase{Value(Array{}), Value(Object{}), false}));

// Deterministic document generator. Uses raw engine output rather than the
// standard distributions, whose results differ between library implementations.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  Value value(int depth) {
    switch (below(depth > 0 ? 9 : 7)) {
      case 0:
        return Value();
      case 1:
        return Value(below(2) == 1);
      case 2:
        return Value::uint(unsigned_number());
      case 3:
        return Value::negative(-static_cast<std::int64_t>(unsigned_number() >> 1) - 1);
      case 4:
        return Value::real(real_number());
      case 5:
      case 6:
        return Value(text());
      case 7: {
        Array a;
        for (std::uint64_t n = below(5); n > 0; --n) a.push_back(value(depth - 1));
        return Value(std::move(a));
      }
      default: {
        Object o;
        for (std::uint64_t n = below(5); n > 0; --n) o.insert_or_assign(text(), value(depth - 1));
        return Value(std::move(o));
      }
    }
  }

 private:
  std::mt19937_64 rng_;

  std::uint64_t below(std::uint64_t n) { return rng_() % n; }

  std::uint64_t unsigned_number() {
    switch (below(3)) {
      case 0:
        return below(10);
      case 1:
        return UINT64_MAX - below(3);
      default:
        return rng_() >> below(64);
    }
  }

  double real_number() {
    switch (below(4)) {
      case 0: {
        // Any finite bit pattern, subnormals and negative zero included.
        double d;
        do d = std::bit_cast<double>(rng_());
        while (!std::isfinite(d));
        return d;
      }
      case 1:
        return static_cast<double>(static_cast<std::int64_t>(rng_() % 2000001) - 1000000) / 1000;
      case 2:
        return std::ldexp(static_cast<double>(rng_() >> 11), static_cast<int>(below(120)) - 60);
      default:
        return below(2) ? 0.0 : -0.0;
    }
  }

  std::string text() {
    static const char* const pieces[] = {"a",
                                         "Z",
                                         "_",
                                         " ",
                                         "\"",
                                         "\\",
                                         "/",
                                         "\x7f",
                                         "\xc3\xa9",
                                         "\xe2\x82\xac",
                                         "\xf0\x9f\x98\x80"};
    std::string s;
    for (std::uint64_t n = below(8); n > 0; --n) {
      if (below(4) == 0) {
        s += static_cast<char>(below(0x20));  // control bytes, U+0000 included
      } else {
        s += pieces[below(std::size(pieces))];
      }
    }
    return s;
  }
};

TEST(RoundTrip, GeneratedDocumentsSurviveParseOfWrite) {
  Generator gen(0x5eed);
  int containers = 0;
  for (int i = 0; i < 3000; ++i) {
    const Value original = gen.value(4);
    if (original.kind() == K::Array || original.kind() == K::Object) ++containers;
    const std::string text = write(original);
    ParseResult back = parse(text);
    ASSERT_TRUE(back.ok()) << text << ": " << back.error().message();
    ASSERT_EQ(back.value(), original) << text;
    ASSERT_EQ(write(back.value()), text);
  }
  // Guards against a generator change that silently stops producing nesting.
  EXPECT_GT(containers, 300);
}

}  // namespace
}  // namespace quarn::json
