// libFuzzer target: the JSON parser and writer must never crash and must round-trip what they
// accept.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json/parse.hpp"
#include "json/value.hpp"
#include "json/write.hpp"

namespace {

using quarn::json::ParseResult;
using quarn::json::Value;

[[noreturn]] void fault(const char* what, std::string_view detail) {
  std::fprintf(stderr, "json_fuzz: %s: %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

// An error position must point into the text: line within the line count, column within
// that line (the column may be one past its last byte only at end of text).
void check_error_position(std::string_view text, const ParseResult& result) {
  const auto& error = result.error();
  std::size_t lines = 1;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  if (error.line < 1 || error.line > lines) fault("error line outside the text", error.message());
  std::size_t start = 0;
  for (std::size_t line = 1; line < error.line; ++line) start = text.find('\n', start) + 1;
  const std::size_t end = std::min(text.find('\n', start), text.size());
  // The offending byte may be the line feed that ends the line.
  const std::size_t limit = end - start + (end < text.size() ? 1 : 0);
  if (error.column > limit) fault("error column beyond its line", error.message());
  if (error.column == 0 && !text.empty() && error.line == lines && start < text.size()) {
    fault("error column 0 on a non-empty line", error.message());
  }
}

// A float written by the writer reads back as the same bits and uses one of the two layouts.
void check_float(double d) {
  if (!std::isfinite(d)) return;
  std::string text;
  quarn::json::write_float(d, text);
  const ParseResult back = quarn::json::parse(text);
  if (!back.ok()) fault("written float does not parse", text);
  if (back.value().kind() != Value::Kind::Float ||
      std::bit_cast<std::uint64_t>(back.value().as_float()) != std::bit_cast<std::uint64_t>(d)) {
    fault("written float reads back differently", text);
  }
  const bool scientific = text.find('e') != std::string::npos;
  const bool positional = text.find('.') != std::string::npos;
  if (!scientific && !positional) fault("float written without '.' or exponent", text);
  if (scientific && text.find("e+0") != std::string::npos) fault("exponent with zero", text);
}

// A lone number must parse to what the C library's correctly rounded strtod gives.
void check_number(std::string_view text, const Value& v) {
  if (v.kind() != Value::Kind::Float) return;
  const std::string copy(text);
  const double expected = std::strtod(copy.c_str(), nullptr);
  if (std::bit_cast<std::uint64_t>(expected) != std::bit_cast<std::uint64_t>(v.as_float())) {
    fault("number parsed to another float than strtod", text);
  }
}

bool is_lone_number(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (std::strchr("0123456789+-.eE", c) == nullptr || c == '\0') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (size >= sizeof(double)) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, data, sizeof bits);
    check_float(std::bit_cast<double>(bits));
  }

  const ParseResult first = quarn::json::parse(text);
  if (!first.ok()) {
    check_error_position(text, first);
    return 0;
  }
  if (is_lone_number(text)) check_number(text, first.value());

  const std::string written = quarn::json::write(first.value());
  const ParseResult second = quarn::json::parse(written);
  if (!second.ok()) fault("written text does not parse", second.error().message());
  if (!(second.value() == first.value())) fault("parse(write(v)) != v", written);
  if (quarn::json::write(second.value()) != written) fault("write is not stable", written);
  return 0;
}
