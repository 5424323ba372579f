// The module root: the module definition, PyInit__quarn and the registration table.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/guard.hpp"
#include "boundary/host.hpp"
#include "boundary/messages.hpp"
#include "entries.hpp"

namespace quarn {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_quarn",
    "The native `_quarn` module.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Process-wide, each set at most once and never cleared. The interpreter ID is set by
// one compare-and-set so that two interpreters racing to initialise cannot both win; the
// module cache is read and filled only with the interpreter lock held.
std::atomic<std::int64_t> recorded_interpreter{-1};
PyObject* module_cache = nullptr;

PyMethodDef function_definitions[] = {
    {"asset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(declare::asset_entry)),
     METH_FASTCALL | METH_KEYWORDS, declare::asset_doc},
    {"partitions",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(declare::partitions_entry)),
     METH_FASTCALL | METH_KEYWORDS, declare::partitions_doc},
    {"inspect_modules",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(discover::inspect_modules_entry)),
     METH_FASTCALL | METH_KEYWORDS, discover::inspect_modules_doc},
    {"materialize_asset",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(worker::materialize_asset_entry)),
     METH_FASTCALL | METH_KEYWORDS, worker::materialize_asset_doc},
};

const host::Name kAll{"__all__"};

// Adds one name to the module and to its __all__ list.
void add_name(Borrowed module, Borrowed name, Borrowed object) {
  Owned all = Owned::steal(PyObject_GetAttr(module.get(), kAll.get().get()));
  if (!all) {
    PyError error = fetch_error();
    if (PyErr_GivenExceptionMatches(error.object().get(), PyExc_AttributeError) == 0) {
      throw error;
    }
    all = check(PyList_New(0));
    check(PyObject_SetAttr(module.get(), kAll.get().get(), all.get()));
  }
  expect_list(all);
  if (PyList_Append(all.get(), name.get()) < 0) {
    const PyError cause = fetch_error();
    const Owned text = Owned::steal(PyObject_Str(cause.object().get()));
    std::string message(messages::kAppendAll);
    if (text) {
      message += ": ";
      message += text_view(text);
    }
    throw Panic(message);
  }
  check(PyObject_SetAttr(module.get(), name.get(), object.get()));
}

void add_class(Borrowed module, LazyType& type) {
  Borrowed object = type.get_or_create();
  Owned name = host::getattr(object, host::names::dunder_name);
  add_name(module, name, object);
}

void add_function(Borrowed module, PyMethodDef& definition) {
  Owned module_name = check(PyModule_GetNameObject(module.get()));
  Owned function = check(PyCFunction_NewEx(&definition, module.get(), module_name.get()));
  Owned name = host::getattr(function, host::names::dunder_name);
  if (!PyUnicode_Check(name.get())) {
    throw conversion_error(name, messages::kPyString);
  }
  add_name(module, name, function);
}

Owned initialise() {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) {
    throw_error();
  }
  std::int64_t expected = -1;
  if (!recorded_interpreter.compare_exchange_strong(expected, current) && expected != current) {
    raise(PyExc_ImportError, messages::kSubinterpreters);
  }
  if (module_cache != nullptr) {
    return Owned::borrow(module_cache);
  }
  Owned module = check(PyModule_Create(&module_definition));
  add_class(module, declare::asset_wrapper_type);
  add_class(module, declare::partitions_type);
  for (PyMethodDef& definition : function_definitions) {
    add_function(module, definition);
  }
  module_cache = Owned::borrow(module).release();
  return module;
}

}  // namespace
}  // namespace quarn

PyMODINIT_FUNC PyInit__quarn() {
  return quarn::guard([] { return quarn::initialise(); });
}
