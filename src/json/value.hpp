// The in-memory JSON value: null, bool, three number kinds, string, array, ordered object.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quarn::json {

class Value;
using Array = std::vector<Value>;
// std::string's ordering goes through char_traits<char>::compare, which compares
// as unsigned bytes, so iteration yields names in byte order ("Z" < "_" < "a").
// std::less<> allows lookups by std::string_view without building a string.
using Object = std::map<std::string, Value, std::less<>>;

class Value {
 public:
  // Enumerator order matches the variant alternatives below; kind() relies on it.
  enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };

  Value() noexcept = default;
  Value(std::nullptr_t) noexcept {}
  Value(bool b) noexcept : data_(b) {}
  // Without these, a string literal or std::string would silently convert to bool.
  Value(const char* s) : data_(std::in_place_type<std::string>, s) {}
  Value(std::string s) : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::in_place_type<std::string>, s) {}
  Value(Array a) : data_(std::move(a)) {}
  Value(Object o) : data_(std::move(o)) {}

  // Numbers must go through the named factories so that the caller decides the
  // number kind; an int or double would otherwise quietly become a bool.
  // (bool itself still binds to the non-template constructor above.)
  template <std::integral T>
  Value(T) = delete;
  template <std::floating_point T>
  Value(T) = delete;
  template <typename T>
  Value(T*) = delete;

  static Value uint(std::uint64_t u) noexcept;
  // Precondition: i < 0. Non-negative integers are always held as UInt.
  static Value negative(std::int64_t i) noexcept;
  static Value integer(std::int64_t i) noexcept;
  // NaN and infinities have no JSON form, so they become null.
  static Value real(double d) noexcept;

  Kind kind() const noexcept { return static_cast<Kind>(data_.index()); }

  // Accessors require the matching kind and throw std::bad_variant_access otherwise;
  // there is no cross-kind conversion (as_int on a UInt value throws).
  bool as_bool() const { return std::get<bool>(data_); }
  std::uint64_t as_uint() const { return std::get<std::uint64_t>(data_); }
  std::int64_t as_int() const { return std::get<std::int64_t>(data_); }
  double as_float() const { return std::get<double>(data_); }
  const std::string& as_string() const { return std::get<std::string>(data_); }
  const json::Array& as_array() const { return std::get<json::Array>(data_); }
  json::Array& as_array() { return std::get<json::Array>(data_); }
  const json::Object& as_object() const { return std::get<json::Object>(data_); }
  json::Object& as_object() { return std::get<json::Object>(data_); }

  // Structural equality. Number kinds never compare equal across kinds, and
  // floats compare by bit pattern so that -0.0 and 0.0 stay distinguishable.
  friend bool operator==(const Value& a, const Value& b);

 private:
  template <typename T>
  Value(std::in_place_type_t<T> tag, T number) noexcept : data_(tag, number) {}

  std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, json::Array,
               json::Object>
      data_;
};

}  // namespace quarn::json
