// asset(...): validates the declaration and returns the decorator that applies it.
#include <algorithm>
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

// The entries of a dict given for `inputs` or `partitions`, in the dict's order: each key as
// its text, each value through `convert`. Two keys share a text only when one of them is a str
// subclass that redefines equality; then the later value replaces the earlier one, which keeps
// its place, as assigning to a dict would.
template <class Convert>
auto read_entries(Borrowed dict, Convert convert) {
  expect_dict(dict);
  TextMap<decltype(convert(dict))> map;
  bool may_repeat = false;  // no key so far was a str subclass
  for_each_entry(dict, [&](Borrowed key, Borrowed value) {
    may_repeat = may_repeat || !PyUnicode_CheckExact(key.get());
    std::string text = to_text(key);
    auto converted = convert(value);
    if (may_repeat) {
      const auto same = std::ranges::find(map, text, &decltype(map)::value_type::first);
      if (same != map.end()) {
        same->second = std::move(converted);
        return;
      }
    }
    map.emplace_back(std::move(text), std::move(converted));
  });
  return map;
}

// Parameter name -> asset reference.
TextMap<std::string> read_inputs(Borrowed inputs) { return read_entries(inputs, input_reference); }

// Dimension name -> a copy of the keys of its `Partitions` marker.
TextMap<PartitionSpec> read_partitions(Borrowed partitions) {
  return read_entries(partitions, [](Borrowed value) {
    const PartitionValues* values = partition_values(value);
    if (values == nullptr) {
      raise(PyExc_TypeError, messages::kPartitionValues);
    }
    return PartitionSpec{*values};
  });
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
    Slots<kAssetSignature> slots{};
    bind_vector(kAssetSignature, args, nargsf, kwnames, slots);
    auto name = convert_argument("name", [&] { return to_optional_text(slots[0]); });
    auto serializer = convert_argument("serializer", [&] { return to_optional_text(slots[3]); });
    const Borrowed inputs = slots[1] == Py_None ? nullptr : slots[1];
    const Borrowed partitions = slots[2] == Py_None ? nullptr : slots[2];
    return asset_impl(std::move(name), inputs, partitions, std::move(serializer));
  });
}

}  // namespace quarn::declare
