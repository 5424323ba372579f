// Iterative JSON parser: one value per text, explicit container stack, positioned errors.
#include "json/parse.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>
#include <vector>

namespace quarn::json {

std::string_view error_text(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::EofList:
      return "EOF while parsing a list";
    case ErrorKind::EofObject:
      return "EOF while parsing an object";
    case ErrorKind::EofString:
      return "EOF while parsing a string";
    case ErrorKind::EofValue:
      return "EOF while parsing a value";
    case ErrorKind::ExpectedColon:
      return "expected `:`";
    case ErrorKind::ExpectedListCommaOrEnd:
      return "expected `,` or `]`";
    case ErrorKind::ExpectedObjectCommaOrEnd:
      return "expected `,` or `}`";
    case ErrorKind::ExpectedIdent:
      return "expected ident";
    case ErrorKind::ExpectedValue:
      return "expected value";
    case ErrorKind::InvalidEscape:
      return "invalid escape";
    case ErrorKind::InvalidNumber:
      return "invalid number";
    case ErrorKind::NumberOutOfRange:
      return "number out of range";
    case ErrorKind::ControlCharacterWhileParsingString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case ErrorKind::KeyMustBeAString:
      return "key must be a string";
    case ErrorKind::LoneLeadingSurrogateInHexEscape:
      return "lone leading surrogate in hex escape";
    case ErrorKind::TrailingComma:
      return "trailing comma";
    case ErrorKind::TrailingCharacters:
      return "trailing characters";
    case ErrorKind::UnexpectedEndOfHexEscape:
      return "unexpected end of hex escape";
    case ErrorKind::RecursionLimitExceeded:
      return "recursion limit exceeded";
  }
  return "unknown error";
}

std::string ParseError::message() const {
  std::string out(error_text(kind));
  out += " at line ";
  out += std::to_string(line);
  out += " column ";
  out += std::to_string(column);
  return out;
}

namespace {

// Errors unwind straight to parse(): they are rare, and this keeps every step
// of the grammar free of result plumbing. pos == text size means end of text.
struct Failure {
  ErrorKind kind;
  std::size_t pos;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// from_chars reports overflow and underflow alike as result_out_of_range. Only
// overflow is an error, and the two are told apart by the decimal exponent of
// the leading nonzero digit: overflow needs it >= 308, underflow <= -324.
bool magnitude_at_least_one(std::string_view num) {
  std::size_t i = num.front() == '-' ? 1 : 0;
  std::int64_t lead = 0;
  bool found = false;
  std::int64_t int_digits = 0;
  for (; i < num.size() && is_digit(num[i]); ++i, ++int_digits) {
    if (!found && num[i] != '0') {
      found = true;
      lead = -int_digits;  // completed once the integer digit count is known
    }
  }
  if (found) lead += int_digits - 1;
  if (i < num.size() && num[i] == '.') {
    ++i;
    for (std::int64_t j = 1; i < num.size() && is_digit(num[i]); ++i, ++j) {
      if (!found && num[i] != '0') {
        found = true;
        lead = -j;
      }
    }
  }
  if (!found) return false;
  std::int64_t exp = 0;
  bool exp_negative = false;
  if (i < num.size()) {  // 'e' or 'E'
    ++i;
    if (num[i] == '+' || num[i] == '-') exp_negative = num[i++] == '-';
    // Saturate: any exponent beyond this is out of range regardless of digits.
    for (; i < num.size(); ++i)
      exp = std::min<std::int64_t>(exp * 10 + (num[i] - '0'), 1'000'000'000);
  }
  return lead + (exp_negative ? -exp : exp) >= 0;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Value run() {
    // Open containers, innermost last. Each object frame carries the name of
    // the member whose value is being parsed. Holding the containers directly
    // rather than as a Value keeps stack growth free of variant moves.
    struct Frame {
      bool is_object = false;
      Array items;
      Object members;
      std::string name;
    };
    std::vector<Frame> stack;
    Value v;
    for (;;) {
      skip_ws();
      if (at_end()) fail_eof(ErrorKind::EofValue);
      switch (text_[pos_]) {
        case '[':
          if (stack.size() == max_depth) fail(ErrorKind::RecursionLimitExceeded, pos_);
          ++pos_;
          skip_ws();
          if (at_end()) fail_eof(ErrorKind::EofList);
          if (text_[pos_] == ']') {
            ++pos_;
            v = Value(Array{});
            break;
          }
          stack.emplace_back();
          continue;
        case '{':
          if (stack.size() == max_depth) fail(ErrorKind::RecursionLimitExceeded, pos_);
          ++pos_;
          skip_ws();
          if (at_end()) fail_eof(ErrorKind::EofObject);
          if (text_[pos_] == '}') {
            ++pos_;
            v = Value(Object{});
            break;
          }
          stack.emplace_back().is_object = true;
          member_name(stack.back().name);
          continue;
        case '"': {
          std::string s;
          string(s);
          v = Value(std::move(s));
          break;
        }
        case 'n':
          v = literal("null", Value());
          break;
        case 't':
          v = literal("true", Value(true));
          break;
        case 'f':
          v = literal("false", Value(false));
          break;
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9':
          v = number();
          break;
        default:
          fail(ErrorKind::ExpectedValue, pos_);
      }

      // v is complete: fold it into the enclosing containers until one of
      // them expects another element.
      for (;;) {
        if (stack.empty()) {
          skip_ws();
          if (!at_end()) fail(ErrorKind::TrailingCharacters, pos_);
          return v;
        }
        Frame& top = stack.back();
        skip_ws();
        if (!top.is_object) {
          top.items.push_back(std::move(v));
          if (at_end()) fail_eof(ErrorKind::EofList);
          if (text_[pos_] == ',') {
            ++pos_;
            skip_ws();
            if (!at_end() && text_[pos_] == ']') fail(ErrorKind::TrailingComma, pos_);
            break;
          }
          if (text_[pos_] != ']') fail(ErrorKind::ExpectedListCommaOrEnd, pos_);
        } else {
          top.members.insert_or_assign(std::move(top.name), std::move(v));
          if (at_end()) fail_eof(ErrorKind::EofObject);
          if (text_[pos_] == ',') {
            ++pos_;
            skip_ws();
            if (at_end()) fail_eof(ErrorKind::EofObject);
            if (text_[pos_] == '}') fail(ErrorKind::TrailingComma, pos_);
            member_name(top.name);
            break;
          }
          if (text_[pos_] != '}') fail(ErrorKind::ExpectedObjectCommaOrEnd, pos_);
        }
        ++pos_;
        v = top.is_object ? Value(std::move(top.members)) : Value(std::move(top.items));
        stack.pop_back();
      }
    }
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;

  bool at_end() const { return pos_ >= text_.size(); }
  [[noreturn]] static void fail(ErrorKind kind, std::size_t at) { throw Failure{kind, at}; }
  [[noreturn]] void fail_eof(ErrorKind kind) const { throw Failure{kind, text_.size()}; }

  void skip_ws() {
    while (!at_end()) {
      const char c = text_[pos_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
      ++pos_;
    }
  }

  // Parses `"name" :` with pos_ at the (whitespace-skipped) start of the name.
  void member_name(std::string& name) {
    if (text_[pos_] != '"') fail(ErrorKind::KeyMustBeAString, pos_);
    name.clear();
    string(name);
    skip_ws();
    if (at_end()) fail_eof(ErrorKind::EofObject);
    if (text_[pos_] != ':') fail(ErrorKind::ExpectedColon, pos_);
    ++pos_;
  }

  Value literal(std::string_view word, Value v) {
    for (std::size_t i = 1; i < word.size(); ++i) {
      if (pos_ + i >= text_.size()) fail_eof(ErrorKind::EofValue);
      if (text_[pos_ + i] != word[i]) fail(ErrorKind::ExpectedIdent, pos_ + i);
    }
    pos_ += word.size();
    return v;
  }

  void required_digits() {
    if (at_end()) fail_eof(ErrorKind::EofValue);
    if (!is_digit(text_[pos_])) fail(ErrorKind::InvalidNumber, pos_);
    while (!at_end() && is_digit(text_[pos_])) ++pos_;
  }

  Value number() {
    const std::size_t start = pos_;
    const bool negative = text_[pos_] == '-';
    if (negative) ++pos_;
    if (at_end()) fail_eof(ErrorKind::EofValue);

    std::uint64_t magnitude = 0;
    bool overflow = false;
    if (text_[pos_] == '0') {
      ++pos_;
      if (!at_end() && is_digit(text_[pos_])) fail(ErrorKind::InvalidNumber, pos_);
    } else if (is_digit(text_[pos_])) {
      constexpr std::uint64_t max = UINT64_MAX;
      for (; !at_end() && is_digit(text_[pos_]); ++pos_) {
        const auto d = static_cast<unsigned>(text_[pos_] - '0');
        if (overflow || magnitude > (max - d) / 10) {
          overflow = true;
        } else {
          magnitude = magnitude * 10 + d;
        }
      }
    } else {
      fail(ErrorKind::InvalidNumber, pos_);
    }

    bool integral = true;
    if (!at_end() && text_[pos_] == '.') {
      integral = false;
      ++pos_;
      required_digits();
    }
    if (!at_end() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      integral = false;
      ++pos_;
      if (!at_end() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      required_digits();
    }

    if (integral && !overflow) {
      if (!negative) return Value::uint(magnitude);
      // "-0" has no integer form distinct from 0, so it keeps its sign as a float.
      if (magnitude == 0) return Value::real(-0.0);
      // Negation in unsigned arithmetic maps 2^63 onto INT64_MIN without overflow.
      if (magnitude <= (std::uint64_t{1} << 63)) {
        return Value::negative(static_cast<std::int64_t>(std::uint64_t{0} - magnitude));
      }
    }
    return to_double(start);
  }

  Value to_double(std::size_t start) {
    const std::string_view num = text_.substr(start, pos_ - start);
    double d = 0.0;
    const auto [ptr, ec] = std::from_chars(num.data(), num.data() + num.size(), d);
    if (ec == std::errc::result_out_of_range) {
      if (magnitude_at_least_one(num)) fail(ErrorKind::NumberOutOfRange, pos_ - 1);
      d = num.front() == '-' ? -0.0 : 0.0;
    } else if (ec != std::errc{} || ptr != num.data() + num.size()) {
      // The grammar above accepts only text from_chars understands.
      fail(ErrorKind::InvalidNumber, start);
    }
    if (!std::isfinite(d)) fail(ErrorKind::NumberOutOfRange, pos_ - 1);
    return Value::real(d);
  }

  // Appends the decoded string to out; pos_ is at the opening quote.
  void string(std::string& out) {
    ++pos_;
    for (;;) {
      std::size_t run = pos_;
      while (run < text_.size()) {
        const auto c = static_cast<unsigned char>(text_[run]);
        if (c == '"' || c == '\\' || c < 0x20) break;
        ++run;
      }
      out.append(text_.data() + pos_, run - pos_);
      pos_ = run;
      if (at_end()) fail_eof(ErrorKind::EofString);
      const char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        return;
      }
      if (c != '\\') fail(ErrorKind::ControlCharacterWhileParsingString, pos_);
      ++pos_;
      if (at_end()) fail_eof(ErrorKind::EofString);
      switch (text_[pos_++]) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u':
          append_utf8(out, unicode_escape());
          break;
        default:
          fail(ErrorKind::InvalidEscape, pos_ - 1);
      }
    }
  }

  std::uint32_t hex4() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i, ++pos_) {
      if (at_end()) fail_eof(ErrorKind::EofString);
      const int h = hex_value(text_[pos_]);
      if (h < 0) fail(ErrorKind::InvalidEscape, pos_);
      v = v * 16 + static_cast<std::uint32_t>(h);
    }
    return v;
  }

  // pos_ is just past "\u"; returns the code point, joining a surrogate pair.
  std::uint32_t unicode_escape() {
    const std::uint32_t hi = hex4();
    if (hi >= 0xDC00 && hi <= 0xDFFF) fail(ErrorKind::LoneLeadingSurrogateInHexEscape, pos_ - 1);
    if (hi < 0xD800 || hi > 0xDBFF) return hi;
    for (const char expected : {'\\', 'u'}) {
      if (at_end()) fail_eof(ErrorKind::EofString);
      if (text_[pos_] != expected) fail(ErrorKind::UnexpectedEndOfHexEscape, pos_);
      ++pos_;
    }
    const std::uint32_t lo = hex4();
    if (lo < 0xDC00 || lo > 0xDFFF) fail(ErrorKind::LoneLeadingSurrogateInHexEscape, pos_ - 1);
    return 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00);
  }
};

ParseError locate(std::string_view text, const Failure& f) {
  // Line breaks strictly before the offending byte count; the byte itself may be a LF.
  const std::size_t before = std::min(f.pos, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < before; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  const std::size_t through = std::min(f.pos + 1, text.size());
  return ParseError{f.kind, line, through - line_start};
}

}  // namespace

ParseResult parse(std::string_view text) {
  try {
    return ParseResult(Parser(text).run());
  } catch (const Failure& f) {
    return ParseResult(locate(text, f));
  }
}

}  // namespace quarn::json
