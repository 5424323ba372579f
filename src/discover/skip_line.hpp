// The skip line for a module that fails to import, written straight to file descriptor 2.
#pragma once

#include <string_view>

namespace quarn::discover {

// Writes "quarn: skipping module '{name}': {reason}\n" with write(2) on fd 2: never
// buffered, never through sys.stderr. A closed fd 2 drops the line silently; any other
// write failure is an internal failure.
void write_skip_line(std::string_view module_name, std::string_view reason);

// Writes all of `bytes` to fd 2, retrying after a signal and after a partial write.
void write_stderr(std::string_view bytes);

}  // namespace quarn::discover
