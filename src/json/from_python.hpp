// Brings Python objects into the JSON value model through the host's encoder.
#pragma once

#include <string_view>

#include "boundary/ref.hpp"
#include "json/value.hpp"

namespace quarn::json {

// The host's `json.dumps` with its defaults, as text. Its exceptions propagate unchanged.
// The text stays valid as long as `holder` keeps the returned str alive.
[[nodiscard]] std::string_view dumps(Borrowed object, Owned& holder);

// `json.dumps(object)` parsed into a value. A parse failure is a RuntimeError
// "JSON parse error: ..."; every other failure propagates as the host raised it.
[[nodiscard]] Value python_dict_to_json(Borrowed object);

}  // namespace quarn::json
