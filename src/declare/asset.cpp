// asset(...): validates the declaration and returns the decorator that applies it.
#include <optional>
#include <string>

#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/guard.hpp"
#include "boundary/messages.hpp"
#include "declare/decorator.hpp"
#include "declare/dict_entries.hpp"
#include "declare/reference.hpp"
#include "entries.hpp"

namespace quarn::declare {
namespace {

constexpr std::string_view kKeywordOnly[] = {"name", "inputs", "partitions", "serializer"};
constexpr Signature kAssetSignature{"asset", {}, 0, kKeywordOnly};

// Parameter name -> asset reference. A later key with the same text replaces an earlier one
// (possible only with str subclasses that redefine equality).
TextMap<std::string> read_inputs(Borrowed inputs) {
  expect_dict(inputs);
  TextMap<std::string> map;
  for_each_entry(inputs, [&](Borrowed key, Borrowed value) {
    std::string parameter = to_text(key);
    map.insert_or_assign(std::move(parameter), input_reference(value));
  });
  return map;
}

// Dimension name -> a copy of the keys of its `Partitions` marker.
TextMap<PartitionSpec> read_partitions(Borrowed partitions) {
  expect_dict(partitions);
  TextMap<PartitionSpec> map;
  for_each_entry(partitions, [&](Borrowed key, Borrowed value) {
    std::string dimension = to_text(key);
    const PartitionValues* values = partition_values(value);
    if (values == nullptr) {
      raise(PyExc_TypeError, messages::kPartitionValues);
    }
    map.insert_or_assign(std::move(dimension), PartitionSpec{*values});
  });
  return map;
}

// `inputs` is read whole before `partitions` is looked at, so with both wrong the error
// concerns `inputs`.
Owned asset_impl(std::optional<std::string> name, Borrowed inputs, Borrowed partitions,
                 std::optional<std::string> serializer) {
  Declaration declaration{std::move(name), std::move(serializer), std::nullopt, std::nullopt};
  if (inputs) {
    declaration.inputs = read_inputs(inputs);
  }
  if (partitions) {
    declaration.partitions = read_partitions(partitions);
  }
  return make_decorator(std::move(declaration));
}

}  // namespace

const char asset_doc[] =
    "asset(*, name=None, inputs=None, partitions=None, serializer=None)\n"
    "--\n"
    "\n"
    "Decorator that registers a Python function as a quarn asset.\n"
    "\n"
    "Usage\n"
    "-----\n"
    "    from quarn import asset\n"
    "\n"
    "    @asset()\n"
    "    def my_data():\n"
    "        return {\"value\": 42}\n"
    "\n"
    "The function is returned wrapped and can still be called directly.\n"
    "``quarn run MODULE`` discovers it, checks the graph and materializes it\n"
    "in a worker process into ``out/<name>/<partition>/``, again only when\n"
    "its code, declaration, partition key or upstream values change.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "name : str, optional\n"
    "    The asset's name: how ``quarn run --select``, the summary and\n"
    "    ``quarn.load`` name it, and its folder in the output directory.\n"
    "    Defaults to the function's name.  Two assets may not declare the\n"
    "    same name; two undeclared ones with the same function name are told\n"
    "    apart by their module.\n"
    "inputs : dict[str, asset], optional\n"
    "    Upstream dependencies: each parameter name maps to another\n"
    "    ``@asset``-decorated function (or its reference text\n"
    "    ``\"/abs/file.py:function\"``).  The runner materializes the\n"
    "    upstream first and passes its stored value as that keyword\n"
    "    argument; a failed upstream skips this asset.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        @asset()\n"
    "        def raw(): return [1, 2, 3]\n"
    "\n"
    "        @asset(inputs={\"data\": raw})\n"
    "        def processed(data): return [x * 2 for x in data]\n"
    "\n"
    "partitions : dict[str, partitions(...)], optional\n"
    "    A partitioned asset: each dimension maps to a ``partitions([...])``\n"
    "    of its keys.  The runner makes one job per combination of keys and\n"
    "    passes each key as the keyword argument named by its dimension.  A\n"
    "    downstream that shares a dimension receives the upstream value of\n"
    "    the same key; one that lacks it receives a dict of every key's value\n"
    "    (fan-in).  ``quarn run --partition DIM=KEY`` runs some keys only.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        from quarn import asset, partitions\n"
    "\n"
    "        @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "        def prices(ticker: str):\n"
    "            return fetch_price(ticker)\n"
    "\n"
    "serializer : str, optional\n"
    "    How the runner stores the value and hands it to downstream assets\n"
    "    and ``quarn.load``: unset, as JSON (``value.json``); ``\"json\"``,\n"
    "    ``\"pickle\"``, ``\"parquet\"``, ``\"arrow\"``, ``\"numpy\"`` or a\n"
    "    registered name, in that format.  See docs/values.md.";

PyObject* asset_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[4] = {};
    bind_vector(kAssetSignature, args, nargsf, kwnames, slots);
    auto name = convert_argument("name", [&] { return to_optional_text(slots[0]); });
    auto serializer = convert_argument("serializer", [&] { return to_optional_text(slots[3]); });
    const Borrowed inputs = slots[1] == Py_None ? nullptr : slots[1];
    const Borrowed partitions = slots[2] == Py_None ? nullptr : slots[2];
    return asset_impl(std::move(name), inputs, partitions, std::move(serializer));
  });
}

}  // namespace quarn::declare
