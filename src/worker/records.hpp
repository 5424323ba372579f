// The two records of result.json, success and failure, and their compact text.
#pragma once

#include <string>

namespace quarn::worker {

// What a run that returned a value reports. `ok` is always true and the artifact format
// always "json", so neither is a field.
struct SuccessRecord {
  std::string function_name;  // the function_name argument, verbatim
  std::string module_path;    // the module_name argument, verbatim (a dotted name)
  std::string result_type;    // __name__ of the value's type
  std::string signature;      // str() of inspect.signature of the called function
  std::string value_path;     // str() of the value.json path
};

// What a run that raised reports; `ok` is always false.
struct FailureRecord {
  std::string error;       // "{type qualname}: {str(exception)}"
  std::string error_type;  // __name__ of the exception's type
};

// The record as one line of compact JSON: members in byte order of their names, no
// whitespace, non-ASCII characters as raw UTF-8.
[[nodiscard]] std::string record_text(const SuccessRecord& record);
[[nodiscard]] std::string record_text(const FailureRecord& record);

}  // namespace quarn::worker
