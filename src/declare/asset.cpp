// asset(...): binding and conversion of the declaration; the decorator comes later.
#include <optional>
#include <string>

#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/guard.hpp"
#include "entries.hpp"

namespace quarn::declare {
namespace {

constexpr std::string_view kKeywordOnly[] = {"name", "inputs", "partitions", "serializer"};
constexpr Signature kAssetSignature{"asset", {}, 0, kKeywordOnly};

Owned asset_impl(std::optional<std::string> /*name*/, Borrowed /*inputs*/, Borrowed /*partitions*/,
                 std::optional<std::string> /*serializer*/) {
  raise(PyExc_NotImplementedError, "asset() is not implemented yet");
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
    "Parameters\n"
    "----------\n"
    "name : str, optional\n"
    "    Override the asset's display name / continuity key.\n"
    "    Defaults to ``\"<file>:<function_name>\"``.\n"
    "inputs : dict[str, asset], optional\n"
    "    Declare upstream dependencies.  Map parameter names to other\n"
    "    ``@asset``-decorated functions.  Quarn will materialize upstream\n"
    "    assets first and pass their values as keyword arguments.\n"
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
    "    Declare a partitioned asset.  Each dimension maps to a\n"
    "    ``partitions([...])`` call that enumerates the static partition keys.\n"
    "    Quarn will create one materialization job per partition combination.\n"
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
    "    Reserved for future use.  Leave unset.";

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
