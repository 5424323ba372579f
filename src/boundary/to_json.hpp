// Python objects into the JSON value model, by way of the host's `json.dumps` and the parser.
#pragma once

#include "boundary/ref.hpp"
#include "json/parse.hpp"
#include "json/value.hpp"

namespace quarn {

// The host's `json.dumps`, imported and looked up once for any number of objects.
class JsonEncoder {
 public:
  // Imports `json` and reads its `dumps`; a failure of either propagates unchanged.
  JsonEncoder();

  // `json.dumps(object)` with the host's defaults (no keywords), parsed by the module's
  // parser. An exception of the encoder, or a result that is not a str, propagates; a text
  // the parser rejects comes back as the parse error, for the caller to word.
  [[nodiscard]] json::ParseResult encode(Borrowed object) const;

 private:
  Owned dumps_;
};

// `json.dumps(object)` parsed into a value. A parse failure is the RuntimeError
// "JSON parse error: {}"; every other failure propagates as the host raised it.
[[nodiscard]] json::Value python_dict_to_json(Borrowed object);

}  // namespace quarn
