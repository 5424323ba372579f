// Turning an `inputs` value into an asset reference.
#pragma once

#include <string>

#include "boundary/ref.hpp"

namespace quarn::declare {

// The reference an `inputs` value stands for: for an asset, its resolved source path, ":"
// and its function's name; for a str, the text itself, verbatim. Anything else is the
// TypeError "inputs values must be @asset-decorated functions or asset ref strings".
[[nodiscard]] std::string input_reference(Borrowed value);

}  // namespace quarn::declare
