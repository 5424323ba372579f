// materialize_asset(...): the entry point, which binds and converts the four arguments.
#include <utility>

#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/guard.hpp"
#include "entries.hpp"
#include "worker/run.hpp"

namespace quarn::worker {
namespace {

constexpr std::string_view kParameters[] = {"module_name", "function_name", "output_dir",
                                            "input_kwargs_json"};
constexpr Signature kMaterializeSignature{"materialize_asset", kParameters, 3, {}};

}  // namespace

const char materialize_asset_doc[] =
    "materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)\n"
    "--\n"
    "\n"
    "Materialize a single asset function. Called by the `python -m quarn.worker` CLI stub.\n"
    "\n"
    "Imports the module, finds the function, calls the unwrapped original,\n"
    "serializes the result to JSON, writes value.json and result.json.\n"
    "\n"
    "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
    "passed as keyword arguments to the function.";

PyObject* materialize_asset_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) noexcept {
  return guard([&] {
    Slots<kMaterializeSignature> slots{};
    bind_vector(kMaterializeSignature, args, nargsf, kwnames, slots);
    auto module_name = convert_argument("module_name", [&] { return to_text(slots[0]); });
    auto function_name = convert_argument("function_name", [&] { return to_text(slots[1]); });
    auto output_dir = convert_argument("output_dir", [&] { return to_text(slots[2]); });
    auto input_kwargs_json =
        convert_argument("input_kwargs_json", [&] { return to_optional_text(slots[3]); });
    return run_materialization(RunRequest{std::move(module_name), std::move(function_name),
                                          std::move(output_dir), std::move(input_kwargs_json)});
  });
}

}  // namespace quarn::worker
