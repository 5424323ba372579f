// Serialises a Value to compact JSON text.
#include "json/write.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace quarn::json {

void write_float(double d, std::string& out) {
  if (std::signbit(d)) {
    out += '-';
    d = -d;
  }
  if (d == 0.0) {
    out += "0.0";
    return;
  }
  // Shortest scientific form of a positive double is at most
  // 17 digits + '.' + 'e' + sign + 3 exponent digits = 23 chars; 32 leaves slack.
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));

  // Split "d.ddde+XX" into its significant digits and decimal exponent.
  const std::size_t e_pos = sci.find('e');
  char digit_buf[17];  // a double never needs more than 17 significant digits
  std::size_t count = 0;
  digit_buf[count++] = sci[0];
  for (std::size_t i = 2; i < e_pos; ++i) digit_buf[count++] = sci[i];
  const std::string_view digits(digit_buf, count);
  int exp = 0;
  std::from_chars(sci.data() + e_pos + 2, sci.data() + sci.size(), exp);
  if (sci[e_pos + 1] == '-') exp = -exp;
  const int n = static_cast<int>(count);

  if (exp >= -5 && exp <= 15) {
    if (exp >= n - 1) {
      // Widened before the arithmetic; exp + 1 >= count here, so nothing wraps.
      out += digits;
      out.append(static_cast<std::size_t>(exp) + 1 - count, '0');
      out += ".0";
    } else if (exp >= 0) {
      const std::size_t integer_digits = static_cast<std::size_t>(exp) + 1;
      out += digits.substr(0, integer_digits);
      out += '.';
      out += digits.substr(integer_digits);
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp - 1), '0');
      out += digits;
    }
    return;
  }
  out += digits[0];
  if (n > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += exp < 0 ? "e-" : "e+";
  out += std::to_string(exp < 0 ? -exp : exp);
}

void write_string(std::string_view utf8, std::string& out) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  std::size_t run = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(utf8.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 0xF];
    }
  }
  out.append(utf8.data() + run, utf8.size() - run);
  out += '"';
}

namespace {

void append_unsigned(std::uint64_t u, std::string& out) {
  char buf[20];  // UINT64_MAX has 20 digits
  const auto res = std::to_chars(buf, buf + sizeof buf, u);
  out.append(buf, res.ptr);
}

}  // namespace

// Recursion depth equals nesting depth, which parse() caps at max_depth.
void write(const Value& v, std::string& out) {
  switch (v.kind()) {
    case Value::Kind::Null:
      out += "null";
      return;
    case Value::Kind::Bool:
      out += v.as_bool() ? "true" : "false";
      return;
    case Value::Kind::UInt:
      append_unsigned(v.as_uint(), out);
      return;
    case Value::Kind::Int: {
      const std::int64_t i = v.as_int();
      if (i < 0) out += '-';
      // Unsigned negation is exact for INT64_MIN, unlike -i.
      append_unsigned(
          i < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(i) : static_cast<std::uint64_t>(i),
          out);
      return;
    }
    case Value::Kind::Float:
      write_float(v.as_float(), out);
      return;
    case Value::Kind::String:
      write_string(v.as_string(), out);
      return;
    case Value::Kind::Array: {
      out += '[';
      bool first = true;
      for (const Value& item : v.as_array()) {
        if (!first) out += ',';
        first = false;
        write(item, out);
      }
      out += ']';
      return;
    }
    case Value::Kind::Object: {
      out += '{';
      bool first = true;
      for (const auto& [name, item] : v.as_object()) {
        if (!first) out += ',';
        first = false;
        write_string(name, out);
        out += ':';
        write(item, out);
      }
      out += '}';
      return;
    }
  }
}

std::string write(const Value& v) {
  std::string out;
  write(v, out);
  return out;
}

}  // namespace quarn::json
