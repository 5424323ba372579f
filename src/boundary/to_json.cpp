// The host's JSON encoder feeding the module's parser: how Python data enters the JSON model.
#include "boundary/to_json.hpp"

#include "boundary/convert.hpp"
#include "boundary/host.hpp"
#include "boundary/messages.hpp"

namespace quarn {

JsonEncoder::JsonEncoder() : dumps_(host::getattr(host::import("json"), host::names::dumps)) {}

json::ParseResult JsonEncoder::encode(Borrowed object) const {
  // The str holds the text the view points into until parsing has copied what it needs.
  const Owned text = host::call(dumps_, object);
  return json::parse(text_view(text));
}

json::Value python_dict_to_json(Borrowed object) {
  json::ParseResult parsed = JsonEncoder().encode(object);
  if (!parsed.ok()) {
    raise(PyExc_RuntimeError, messages::json_parse_error(parsed.error().message()));
  }
  return std::move(parsed.value());
}

}  // namespace quarn
