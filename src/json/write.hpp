// Compact JSON text output for Value; cannot fail.
#pragma once

#include <string>
#include <string_view>

#include "json/value.hpp"

namespace quarn::json {

// Appends the compact text of v (no whitespace, no trailing newline).
void write(const Value& v, std::string& out);
std::string write(const Value& v);

// Appends a finite double: shortest round-trip digits, positional for decimal
// exponents -5..15 (always with a fraction part, "100.0"), else "1.5e-7" style.
void write_float(double d, std::string& out);

// Appends utf8 quoted, escaping '"', '\\' and bytes 0x00-0x1F only.
void write_string(std::string_view utf8, std::string& out);

}  // namespace quarn::json
