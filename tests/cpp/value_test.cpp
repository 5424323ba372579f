// Value construction and equality. (Parse/write round trips: the fuzz target.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <utility>

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

}  // namespace
}  // namespace quarn::json
