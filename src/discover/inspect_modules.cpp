// inspect_modules(modules): binding and conversion; discovery itself comes later.
#include <string>
#include <vector>

#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/guard.hpp"
#include "entries.hpp"

namespace quarn::discover {
namespace {

constexpr std::string_view kModulesParameter[] = {"modules"};
constexpr Signature kInspectSignature{"inspect_modules", kModulesParameter, 1, {}};

Owned inspect_modules_impl(const std::vector<std::string>& /*modules*/) {
  raise(PyExc_NotImplementedError, "inspect_modules() is not implemented yet");
}

}  // namespace

const char inspect_modules_doc[] =
    "inspect_modules(modules)\n"
    "--\n"
    "\n"
    "Inspect modules for quarn assets. Called by the `python -m quarn.inspect` CLI stub.\n"
    "\n"
    "Imports each module, finds functions with `__quarn_kind__ == \"asset\"`,\n"
    "extracts source and metadata, returns JSON string to stdout.";

PyObject* inspect_modules_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[1] = {};
    bind_vector(kInspectSignature, args, nargsf, kwnames, slots);
    const auto modules = convert_argument("modules", [&] { return to_text_list(slots[0]); });
    return inspect_modules_impl(modules);
  });
}

}  // namespace quarn::discover
