// partitions(values) and the Partitions class.
#include "declare/partitions.hpp"

#include <string>

#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/host.hpp"
#include "boundary/messages.hpp"
#include "boundary/to_json.hpp"
#include "entries.hpp"

namespace quarn::declare {
namespace {

struct PartitionsObject {
  PyObject ob_base;
  PartitionValues record;  // set once at creation, never changed
};

PyObject* partitions_repr(PyObject* self) noexcept {
  return guard([&] {
    const auto& values = reinterpret_cast<PartitionsObject*>(self)->record;
    return host::new_text(messages::partitions_repr(values.size()));
  });
}

constexpr char kPartitionsClassDoc[] =
    "Marker type returned by `partitions([...])`. Stores the static values.";

PyType_Slot partitions_slots[] = {
    {Py_tp_doc, const_cast<char*>(kPartitionsClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<PartitionsObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(partitions_repr)},
    {0, nullptr},
};

// Created without a module of its own, so the host reports it as a builtin.
PyType_Spec partitions_spec = {
    "builtins.Partitions", sizeof(PartitionsObject), 0, Py_TPFLAGS_DEFAULT, partitions_slots,
};

constexpr std::string_view kValuesParameter[] = {"values"};
constexpr Signature kPartitionsSignature{"partitions", kValuesParameter, 1, {}};

Owned partitions_impl(Borrowed values) {
  const JsonEncoder encoder;
  PartitionValues keys;
  reserve_room(keys, static_cast<std::size_t>(PyList_GET_SIZE(values.get())));
  // The list's own storage is read, and its length re-read each time round, since the
  // encoder may run code that changes the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
    const Owned element = Owned::borrow(PyList_GET_ITEM(values.get(), i));
    json::ParseResult parsed = encoder.encode(element);
    if (!parsed.ok()) {
      raise(PyExc_ValueError, messages::invalid_partition_value(parsed.error().message()));
    }
    keys.push_back(std::move(parsed.value()));
  }
  return new_instance<PartitionsObject>(partitions_type.type(), std::move(keys));
}

}  // namespace

LazyType partitions_type{&partitions_spec, "Partitions"};

const char partitions_doc[] =
    "partitions(values)\n"
    "--\n"
    "\n"
    "Declare the keys of one partition dimension, for ``@asset(partitions=...)``.\n"
    "\n"
    "``values`` is a list of JSON values (strings, numbers, booleans, None,\n"
    "lists and dicts of them).  The runner makes one job per key (per\n"
    "combination of keys, with several dimensions), in list order with\n"
    "duplicates dropped, and passes the key to the function as the keyword\n"
    "argument named by the dimension.  Keys are compared by their JSON text,\n"
    "so ``1`` and ``\"1\"`` are two keys: on the command line, quote a string\n"
    "key that reads as JSON, ``--partition year='\"2008\"'``.\n"
    "\n"
    "Example::\n"
    "\n"
    "    from quarn import asset, partitions\n"
    "\n"
    "    @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "    def prices(ticker: str): ...";

PyObject* partitions_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) noexcept {
  return guard([&] {
    Slots<kPartitionsSignature> slots{};
    bind_vector(kPartitionsSignature, args, nargsf, kwnames, slots);
    const Borrowed values = convert_argument("values", [&] { return expect_list(slots[0]); });
    return partitions_impl(values);
  });
}

const PartitionValues* partition_values(Borrowed object) noexcept {
  if (!partitions_type.is_instance(object)) {
    return nullptr;
  }
  return &reinterpret_cast<const PartitionsObject*>(object.get())->record;
}

}  // namespace quarn::declare
