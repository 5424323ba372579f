// Number factories and structural equality for Value.
#include "json/value.hpp"

#include <bit>
#include <cmath>

namespace quarn::json {

// The factories construct the alternative in place: assigning to the variant would go through
// its converting assignment, whose generic path may throw.
Value Value::uint(std::uint64_t u) noexcept { return {std::in_place_type<std::uint64_t>, u}; }

Value Value::negative(std::int64_t i) noexcept {
  if (i >= 0) return uint(static_cast<std::uint64_t>(i));
  return {std::in_place_type<std::int64_t>, i};
}

Value Value::integer(std::int64_t i) noexcept { return negative(i); }

Value Value::real(double d) noexcept {
  if (!std::isfinite(d)) return {};
  return {std::in_place_type<double>, d};
}

bool operator==(const Value& a, const Value& b) {
  if (a.data_.index() != b.data_.index()) return false;
  if (a.kind() == Value::Kind::Float) {
    return std::bit_cast<std::uint64_t>(a.as_float()) == std::bit_cast<std::uint64_t>(b.as_float());
  }
  // Arrays and objects recurse through this operator via their own ==.
  return a.data_ == b.data_;
}

}  // namespace quarn::json
