// The one file of the JSON library that talks to Python.
#include "json/from_python.hpp"

#include "boundary/convert.hpp"
#include "boundary/host.hpp"
#include "boundary/messages.hpp"
#include "json/parse.hpp"

namespace quarn::json {
std::string_view dumps(Borrowed object, Owned& holder) {
  const Owned module = host::import("json");
  const Owned encode = host::getattr(module, host::names::dumps);
  holder = host::call(encode, object);
  return text_view(holder);
}

Value python_dict_to_json(Borrowed object) {
  Owned text;
  ParseResult parsed = parse(dumps(object, text));
  if (!parsed.ok()) {
    raise(PyExc_RuntimeError, messages::json_parse_error(parsed.error().message()));
  }
  return std::move(parsed.value());
}

}  // namespace quarn::json
