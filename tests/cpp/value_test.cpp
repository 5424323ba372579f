// Value construction and equality, and parse/write round trips over generated documents.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>

#include "json/parse.hpp"
#include "json/write.hpp"

namespace quarn::json {
namespace {

using K = Value::Kind;

TEST(Value, FactoriesPickTheKind) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<Value, K> cases[] = {
      {Value::integer(0), K::UInt},
      {Value::integer(INT64_MAX), K::UInt},
      {Value::integer(-1), K::Int},
      {Value::negative(INT64_MIN), K::Int},
      {Value::real(-0.0), K::Float},
      {Value::real(std::nan("")), K::Null},
      {Value::real(inf), K::Null},
      {Value("abc"), K::String},  // a string literal must not become a bool
  };
  for (const auto& [value, kind] : cases) EXPECT_EQ(value.kind(), kind) << write(value);
}

TEST(Value, EqualityIsStructuralAndKeepsNumberKindsApart) {
  const std::tuple<Value, Value, bool> cases[] = {
      {Value::uint(5), Value::uint(5), true},
      {Value::uint(5), Value::real(5.0), false},
      {Value::negative(-5), Value::real(-5.0), false},
      {Value::uint(0), Value(false), false},
      {Value::real(0.0), Value::real(-0.0), false},
      // Floats compare by their bits also inside containers.
      {Value(Array{Value::real(-0.0)}), Value(Array{Value::real(0.0)}), false},
      {Value(Object{{"a", Value::real(0.0)}}), Value(Object{{"a", Value::real(-0.0)}}), false},
      {Value(Object{{"a", Value::real(0.5)}}), Value(Object{{"a", Value::real(0.5)}}), true},
  };
  for (const auto& [a, b, equal] : cases) {
    EXPECT_EQ(a == b, equal) << write(a) << " vs " << write(b);
    EXPECT_EQ(b == a, equal) << write(a) << " vs " << write(b);
  }
}

// The escaped characters, DEL, and 2-, 3- and 4-byte UTF-8 sequences, for generated strings.
constexpr std::string_view kPieces[] = {
    "a", "Z", "_", " ", "\"", "\\", "/", "\x7f", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};

// Deterministic document generator. Uses raw engine output rather than the standard
// distributions, whose results differ between library implementations.
struct Generator {
  std::mt19937_64 rng{0x5eed};

  std::uint64_t below(std::uint64_t n) { return rng() % n; }

  Value value(int depth) {
    switch (below(depth > 0 ? 9 : 7)) {
      case 0:
        return below(2) ? Value() : Value(below(2) == 1);
      case 1:
        return Value::uint(number());
      case 2:
        return Value::negative(-static_cast<std::int64_t>(number() >> 1) - 1);
      case 3:
      case 4:
        return Value::real(real());
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

  std::uint64_t number() {  // small, at the top of the range, or of any size
    const std::uint64_t choice = below(3);
    return choice == 0 ? below(10) : choice == 1 ? UINT64_MAX - below(3) : rng() >> below(64);
  }

  double real() {
    switch (below(4)) {
      case 0: {  // any finite bit pattern, subnormals included
        const double d = std::bit_cast<double>(rng());
        return std::isfinite(d) ? d : 0.0;
      }
      case 1:  // three decimals, as people write them
        return static_cast<double>(static_cast<std::int64_t>(below(2000001)) - 1000000) / 1000;
      case 2:  // 53-bit significands scaled by 2^-60 to 2^59: both layouts and their border
        return std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(below(120)) - 60);
      default:
        return below(2) ? 0.0 : -0.0;
    }
  }

  // Control bytes (U+0000 included) among the pieces above.
  std::string text() {
    std::string s;
    for (std::uint64_t n = below(8); n > 0; --n) {
      if (below(4) == 0) {
        s += static_cast<char>(below(0x20));
      } else {
        s += kPieces[below(std::size(kPieces))];
      }
    }
    return s;
  }
};

TEST(RoundTrip, GeneratedDocumentsSurviveParseOfWrite) {
  Generator gen;
  int containers = 0;
  for (int i = 0; i < 3000; ++i) {
    const Value original = gen.value(4);
    containers += original.kind() == K::Array || original.kind() == K::Object;
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
