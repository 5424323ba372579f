// inspect_modules(modules): the entry point and the discovery loop over modules and members.
#include <string>
#include <vector>

#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/guard.hpp"
#include "boundary/host.hpp"
#include "boundary/to_json.hpp"
#include "discover/describe.hpp"
#include "discover/document.hpp"
#include "discover/skip_line.hpp"
#include "entries.hpp"

namespace quarn::discover {
namespace {

constexpr std::string_view kModulesParameter[] = {"modules"};
constexpr Signature kInspectSignature{"inspect_modules", kModulesParameter, 1, {}};

const host::Name kImportModule{"import_module"};
const host::Name kGetmembers{"getmembers"};

// The module, or nothing after writing the skip line when the import raised. Whatever the
// import raised is discarded, except two: a KeyboardInterrupt (Ctrl-C during a slow import)
// ends discovery unchanged, and a PanicException, which fetch_error resumes as Panic.
Owned import_or_skip(const HostModules& host_modules, const std::string& name) {
  const Owned import_module = host::getattr(host_modules.importlib, kImportModule);
  const Owned name_text = host::new_text(name);
  try {
    return host::call(import_module, name_text);
  } catch (const PyError& error) {
    if (error.matches(PyExc_KeyboardInterrupt)) {
      throw;
    }
    write_skip_line(name, host::exception_text(error.object()));
    return {};
  }
}

// The host calls for one asset, in the order their failures are reported.
AssetFacts describe_asset(const HostModules& host_modules, Borrowed module, Borrowed candidate) {
  AssetFacts facts;
  facts.decorator_metadata =
      python_dict_to_json(host::getattr(candidate, host::names::quarn_metadata));
  const Owned target = host::unwrap(candidate);
  facts.function_source = normalised_source(host_modules, target);
  facts.function_name = to_text(host::getattr(target, host::names::dunder_name));
  facts.file_path = source_file_path(host_modules, target);
  facts.return_type = return_type(host_modules, target);
  facts.module_path = to_text(host::getattr(module, host::names::dunder_name));
  return facts;
}

// Appends an entry for every member of `module` that is an asset, in the host's member
// order (sorted by name). The names members are bound under are never read.
void describe_module(const HostModules& host_modules, Borrowed module, Document& document) {
  // Once per module, and written into each of its entries.
  const auto* const shared_source =
      document.share_module_source(module_source(host_modules, module));
  const Owned members = host::call(host::getattr(host_modules.inspect, kGetmembers), module);
  const Owned iterator = check(PyObject_GetIter(members.get()));
  while (Owned item = Owned::steal(PyIter_Next(iterator.get()))) {
    expect_tuple(item);
    // A reference of our own, like every object kept while user code runs.
    const Owned value = Owned::borrow(PyTuple_GetItem(item.get(), 1));
    if (!value) {
      throw_error();
    }
    if (host::is_asset(value)) {
      document.add(describe_asset(host_modules, module, value), shared_source);
    }
  }
  if (PyErr_Occurred() != nullptr) {
    throw_error();
  }
}

Owned inspect_modules_impl(const std::vector<std::string>& modules) {
  const HostModules host_modules = import_host_modules();
  // Once per call, even for an empty list, and written into every entry. The document is
  // only returned whole: a failure below drops everything written so far.
  Document document(python_version(host_modules));
  for (const std::string& name : modules) {
    const Owned module = import_or_skip(host_modules, name);
    if (module) {
      describe_module(host_modules, module, document);
    }
  }
  return host::new_text(std::move(document).finish());
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
    Slots<kInspectSignature> slots{};
    bind_vector(kInspectSignature, args, nargsf, kwnames, slots);
    const auto modules = convert_argument("modules", [&] { return to_text_list(slots[0]); });
    return inspect_modules_impl(modules);
  });
}

}  // namespace quarn::discover
