// Parsing of JSON text into a Value, with positioned error reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace quarn::json {

enum class ErrorKind : std::uint8_t {
  EofList,
  EofObject,
  EofString,
  EofValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedIdent,
  ExpectedValue,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  ControlCharacterWhileParsingString,
  KeyMustBeAString,
  LoneLeadingSurrogateInHexEscape,
  TrailingComma,
  TrailingCharacters,
  UnexpectedEndOfHexEscape,
  RecursionLimitExceeded,
};

std::string_view error_text(ErrorKind kind) noexcept;

// Containers nested deeper than this are rejected, which also bounds the
// recursion depth of anything that later walks a parsed value.
inline constexpr std::size_t max_depth = 127;

struct ParseError {
  ErrorKind kind;
  // line is 1-based. column counts bytes of that line up to and including the
  // offending byte; at end of text it is the length of the last line.
  std::size_t line;
  std::size_t column;
  std::string message() const;  // "<kind text> at line L column C"
};

class ParseResult {
 public:
  explicit ParseResult(Value v) : value_(std::move(v)), ok_(true) {}
  explicit ParseResult(ParseError e) : error_(e), ok_(false) {}

  bool ok() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  // value() is meaningful only when ok(); error() only when !ok().
  Value& value() { return value_; }
  const Value& value() const { return value_; }
  const ParseError& error() const { return error_; }

 private:
  Value value_;
  ParseError error_{};
  bool ok_;
};

ParseResult parse(std::string_view text);

}  // namespace quarn::json
