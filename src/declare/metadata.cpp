// Builds the `__quarn_metadata__` dict from a declaration, fresh on every read.
#include "declare/metadata.hpp"

#include <string>

#include "boundary/errors.hpp"
#include "boundary/host.hpp"
#include "json/write.hpp"

namespace quarn::declare {
namespace {

const host::Name kKind{"kind"};
const host::Name kName{"name"};
const host::Name kSerializer{"serializer"};
const host::Name kInputs{"inputs"};
const host::Name kPartitions{"partitions"};
const host::Name kValuesJson{"values_json"};
const host::Name kInline{"inline"};

void set_item(Borrowed dict, Borrowed key, Borrowed value) {
  check(PyDict_SetItem(dict.get(), key.get(), value.get()));
}

Owned optional_text(const std::optional<std::string>& text) {
  return text ? host::new_text(*text) : Owned::borrow(Py_None);
}

// The compact JSON text of an array holding `values`, written element by element so the
// values are not copied into an array first.
std::string values_json(const PartitionValues& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) {
      out += ',';
    }
    json::write(values[i], out);
  }
  out += ']';
  return out;
}

Owned inputs_view(const TextMap<std::string>& inputs) {
  Owned dict = check(PyDict_New());
  for (const auto& [parameter, reference] : inputs) {
    set_item(dict, host::new_text(parameter), host::new_text(reference));
  }
  return dict;
}

Owned partitions_view(const TextMap<PartitionSpec>& partitions) {
  Owned dict = check(PyDict_New());
  for (const auto& [dimension, spec] : partitions) {
    Owned entry = check(PyDict_New());
    set_item(entry, kKind.get(), kInline.get());
    set_item(entry, kValuesJson.get(), host::new_text(values_json(spec.values)));
    set_item(dict, host::new_text(dimension), entry);
  }
  return dict;
}

}  // namespace

Owned metadata_view(const Declaration& declaration) {
  Owned dict = check(PyDict_New());
  set_item(dict, kKind.get(), host::names::asset.get());
  set_item(dict, kName.get(), optional_text(declaration.name));
  set_item(dict, kSerializer.get(), optional_text(declaration.serializer));
  set_item(dict, kInputs.get(),
           declaration.inputs ? inputs_view(*declaration.inputs) : Owned::borrow(Py_None));
  set_item(
      dict, kPartitions.get(),
      declaration.partitions ? partitions_view(*declaration.partitions) : Owned::borrow(Py_None));
  return dict;
}

}  // namespace quarn::declare
