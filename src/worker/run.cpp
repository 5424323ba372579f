// The materialization run in its three stages: preparation (unguarded), the asset run
// (guarded), and the failure record.
#include "worker/run.hpp"

#include <utility>

#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/host.hpp"
#include "worker/records.hpp"

namespace quarn::worker {
namespace {

const host::Name kPath{"Path"};
const host::Name kMkdir{"mkdir"};
const host::Name kParents{"parents"};
const host::Name kExistOk{"exist_ok"};
const host::Name kJoin{"__truediv__"};
const host::Name kImportModule{"import_module"};
const host::Name kWriteText{"write_text"};
const host::Name kSignature{"signature"};
const host::Name kExit{"exit"};

// Texts passed on every run, made once like the names above.
const host::Name kResultFile{"result.json"};
const host::Name kValueFile{"value.json"};
const host::Name kEncoding{"utf-8"};

// The host modules of one run, imported in this order; released when the run ends.
struct RunModules {
  Owned importlib;
  Owned inspect;
  Owned json;
  Owned pathlib;
};

// What preparation leaves for the rest of the run.
struct Prepared {
  RunModules modules;
  Owned directory;    // pathlib.Path(output_dir), which exists
  Owned result_path;  // directory / "result.json"
};

// `directory.mkdir(parents=True, exist_ok=True)`: the one host call that takes keywords.
void make_directory(Borrowed directory) {
  const Owned keywords = check(PyTuple_Pack(2, kParents.get().get(), kExistOk.get().get()));
  PyObject* vector[] = {directory.get(), Py_True, Py_True};
  (void)check(PyObject_VectorcallMethod(kMkdir.get().get(), vector,
                                        1 | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords.get()));
}

Owned join(Borrowed directory, const host::Name& file) {
  return host::call_method(directory, kJoin, file.get());
}

// `path.write_text(text, "utf-8")`: creates or truncates the file; the result is unused.
void write_text(Borrowed path, Borrowed text) {
  (void)host::call_method(path, kWriteText, text, kEncoding.get());
}

// Preparation, not guarded: whatever fails here reaches the caller unchanged, before
// anything is written.
Prepared prepare(const RunRequest& request) {
  // Braced initialisation runs in the order written, which is the import order.
  RunModules modules{host::import("importlib"), host::import("inspect"), host::import("json"),
                     host::import("pathlib")};
  const Owned path_type = host::getattr(modules.pathlib, kPath);
  Owned directory = host::call(path_type, host::new_text(request.output_dir));
  make_directory(directory);
  Owned result_path = join(directory, kResultFile);
  return {std::move(modules), std::move(directory), std::move(result_path)};
}

// Calls the asset function with no arguments, or with the members of the decoded JSON
// object as keyword arguments.
Owned call_function(Borrowed function, const std::optional<std::string>& kwargs_json,
                    Borrowed json_module) {
  if (!kwargs_json) {
    return host::call(function);
  }
  const Owned loads = host::getattr(json_module, host::names::loads);
  const Owned kwargs = host::call(loads, host::new_text(*kwargs_json));
  (void)expect_dict(kwargs);
  if (PyDict_GET_SIZE(kwargs.get()) == 0) {
    return host::call(function);
  }
  // The host unpacks the dict itself, so a key that is not a str gets its own TypeError.
  const Owned no_positional = check(PyTuple_New(0));
  return check(PyObject_Call(function.get(), no_positional.get(), kwargs.get()));
}

// The asset run: import, lookup, unwrapping, the call, value.json, result.json. Any
// exception it throws is recorded by the caller.
void run_asset(const RunRequest& request, const Prepared& prepared) {
  const Owned import_module = host::getattr(prepared.modules.importlib, kImportModule);
  const Owned module = host::call(import_module, host::new_text(request.module_name));
  // A plain lookup: a dotted function_name names one attribute, it is not a path.
  const Owned asset = host::getattr(module, host::new_text(request.function_name));
  const Owned function = host::unwrap(asset);

  const Owned value = call_function(function, request.input_kwargs_json, prepared.modules.json);

  // value.json goes first, so a failure from here on leaves the value beside the record.
  const Owned value_path = join(prepared.directory, kValueFile);
  const Owned dumps = host::getattr(prepared.modules.json, host::names::dumps);
  write_text(value_path, host::call(dumps, value));

  SuccessRecord record;
  record.value_path = to_text(host::str(value_path));
  const Owned signature_of = host::getattr(prepared.modules.inspect, kSignature);
  record.signature = to_text(host::str(host::call(signature_of, function)));
  const Borrowed value_type(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
  record.result_type = to_text(host::getattr(value_type, host::names::dunder_name));
  record.module_path = request.module_name;
  record.function_name = request.function_name;
  write_text(prepared.result_path, host::new_text(record_text(record)));
}

// The failure record: records the exception that ended the asset run, then leaves through
// sys.exit(1).
// Every failure in here goes straight to the caller; the recorded exception is dropped.
Owned record_failure(const PyError& failure, const Prepared& prepared) {
  FailureRecord record;
  record.error = host::exception_text(failure.object());
  const Borrowed failure_type(reinterpret_cast<PyObject*>(failure.object().type()));
  record.error_type = to_text(host::getattr(failure_type, host::names::dunder_name));
  write_text(prepared.result_path, host::new_text(record_text(record)));

  const Owned sys = host::import("sys");
  const Owned exit = host::getattr(sys, kExit);
  const Owned status = check(PyLong_FromLong(1));
  (void)host::call(exit, status);
  return Owned::borrow(Py_None);
}

}  // namespace

Owned run_materialization(const RunRequest& request) {
  const Prepared prepared = prepare(request);
  std::optional<PyError> failure;
  try {
    run_asset(request, prepared);
  } catch (PyError& error) {
    // Only Python exceptions are recorded. A PanicException coming back from Python
    // was already turned into a Panic when it was fetched, so it is not caught here and
    // ends the call as an internal failure.
    failure.emplace(std::move(error));
  }
  if (failure) {
    // Recorded outside the catch block, so no C++ exception is still in flight while
    // the failure record calls back into Python and perhaps throws.
    return record_failure(*failure, prepared);
  }
  return Owned::borrow(Py_None);
}

}  // namespace quarn::worker
