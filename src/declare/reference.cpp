// Asset references: the text that names an asset function, "<resolved source path>:<name>".
#include "declare/reference.hpp"

#include "boundary/convert.hpp"
#include "boundary/host.hpp"
#include "boundary/messages.hpp"

namespace quarn::declare {
namespace {

const host::Name kGetsourcefile{"getsourcefile"};
const host::Name kPath{"Path"};
const host::Name kResolve{"resolve"};

std::string asset_reference(Borrowed value) {
  // The target is the undecorated function when the asset can give it.
  const Owned target = host::unwrap(value);
  const Owned inspect = host::import("inspect");
  const Owned pathlib = host::import("pathlib");
  const Owned source_file = host::call(host::getattr(inspect, kGetsourcefile), target);
  const Owned path = host::call(host::getattr(pathlib, kPath), source_file);
  const Owned resolved = host::call_method(path, kResolve);
  std::string reference = to_text(host::str(resolved));
  const Owned function_name = host::getattr(target, host::names::dunder_name);
  reference += ':';
  reference += text_view(function_name);
  return reference;
}

}  // namespace

std::string input_reference(Borrowed value) {
  if (host::is_asset(value)) {
    return asset_reference(value);
  }
  if (!PyUnicode_Check(value.get())) {
    raise(PyExc_TypeError, messages::kInputsValues);
  }
  return to_text(value);
}

}  // namespace quarn::declare
