// The AssetWrapper class: a callable proxy that keeps the decorated function and its declaration.
#include "declare/wrapper.hpp"

#include <cstddef>
#include <utility>

#include "boundary/guard.hpp"
#include "boundary/host.hpp"
#include "boundary/messages.hpp"
#include "boundary/types.hpp"
#include "declare/metadata.hpp"
#include "entries.hpp"

namespace quarn::declare {
namespace {

// The part the host reads by offset: the per-instance vector call entry. Kept in a
// standard-layout base so that its offset is well defined.
struct WrapperHead {
  PyObject ob_base;
  vectorcallfunc vectorcall;
};

struct AssetWrapperObject : WrapperHead {
  AssetRecord record;  // set once at creation; only the collector's clear changes it
};

AssetWrapperObject* as_wrapper(PyObject* self) noexcept {
  return reinterpret_cast<AssetWrapperObject*>(self);
}

// The function raised (the host has already turned a null result without an exception into
// a SystemError). Its exception stays set as it is, the same object with its traceback,
// unless it is a PanicException: that stands for an internal failure, which is resumed and
// reaches the caller as a new PanicException with the same text.
[[gnu::cold, gnu::noinline]] PyObject* pass_failure() noexcept {
  return guard([]() -> Owned {
    if (PyErr_Occurred() == panic_exception_type().get()) {
      throw_error();
    }
    return {};  // null result, the function's own exception still set
  });
}

// The call: the caller's argument vector (with its PY_VECTORCALL_ARGUMENTS_OFFSET) and
// keyword names go straight to the function; no tuple or dict is built, nothing is added,
// dropped or reordered. The caller keeps the wrapper, and so the function, alive.
//
// A wrapper around a wrapper (or around any other callable object) calls it from here, one C
// stack frame per level with no Python frame in between, so such a call counts against the
// host's recursion limit, a per-thread counter: too deep a chain is the host's RecursionError,
// not a stack overflow. The host's evaluation loop already counts every Python function it
// runs, so the usual callee, a Python function, is called without a second count: the common
// call costs one type test, and recursion through a wrapper reaches the same depth as without.
PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) noexcept {
  PyObject* function = as_wrapper(self)->record.function.get();
  PyObject* result = nullptr;
  if (PyFunction_Check(function)) [[likely]] {
    result = PyObject_Vectorcall(function, args, nargsf, kwnames);
  } else {
    if (Py_EnterRecursiveCall(messages::kRecursionWhere) != 0) {
      return nullptr;  // RecursionError set
    }
    result = PyObject_Vectorcall(function, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
  }
  if (result == nullptr) [[unlikely]] {
    return pass_failure();
  }
  return result;
}

// The cyclic collector's view: the class (as for every instance of a heap class) and the
// function, the one Python object the record holds. A function that refers to its own wrapper
// (through a closure or a default) makes a cycle that only the collector can free.
int wrapper_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_wrapper(self)->record.function.get());
  return 0;
}

// Breaks a cycle: the function is dropped. None takes its place rather than nothing, so that
// the record never holds a null function, whatever reaches the wrapper while the cycle is
// torn down. The field is set before the old function is released, since that may run
// finalizers.
int wrapper_clear(PyObject* self) noexcept {
  const Owned dropped = std::exchange(as_wrapper(self)->record.function, Owned::borrow(Py_None));
  return 0;
}

// Read through an instance or through the class, a wrapper stays itself: it is never bound.
PyObject* wrapper_descr_get(PyObject* self, PyObject* /*instance*/, PyObject* /*owner*/) noexcept {
  return guard([&] { return Owned::borrow(self); });
}

PyObject* get_metadata(PyObject* self, void* /*closure*/) noexcept {
  return guard([&] { return metadata_view(as_wrapper(self)->record.declaration); });
}

PyObject* get_kind(PyObject* /*self*/, void* /*closure*/) noexcept {
  return guard([] { return Owned::borrow(host::names::asset.get()); });
}

PyObject* get_function(PyObject* self, void* /*closure*/) noexcept {
  return guard([&] { return as_wrapper(self)->record.function.copy(); });
}

// `__name__`, `__doc__`, `__module__`, `__qualname__`: read from the function on every
// access, so a later change of the function's attribute shows at once. The closure is the
// attribute's name.
PyObject* get_forwarded(PyObject* self, void* closure) noexcept {
  return guard([&] {
    return host::getattr(as_wrapper(self)->record.function,
                         *static_cast<const host::Name*>(closure));
  });
}

void* forward(const host::Name& name) { return const_cast<host::Name*>(&name); }

PyGetSetDef wrapper_properties[] = {
    {"__quarn_metadata__", get_metadata, nullptr,
     "The asset's declaration, as a new dict on every read.", nullptr},
    {"__quarn_kind__", get_kind, nullptr, "Always \"asset\".", nullptr},
    {"__quarn_original__", get_function, nullptr, "The undecorated function.", nullptr},
    {"__name__", get_forwarded, nullptr, nullptr, forward(host::names::dunder_name)},
    // Replaced in the class namespace by the `__doc__` descriptor (doc_descriptor.cpp).
    {"__doc__", get_forwarded, nullptr, nullptr, forward(host::names::dunder_doc)},
    {"__module__", get_forwarded, nullptr, nullptr, forward(host::names::dunder_module)},
    {"__qualname__", get_forwarded, nullptr, nullptr, forward(host::names::dunder_qualname)},
    {"__wrapped__", get_function, nullptr, "The undecorated function.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// `AssetWrapper[P, R]` in annotations evaluated at run time, matching the generic class
// that type checkers see.
PyMethodDef wrapper_methods[] = {
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "A generic alias for annotations: AssetWrapper[P, R]."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef wrapper_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(WrapperHead, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

constexpr char kAssetWrapperClassDoc[] =
    "The `@asset()` decorator wrapper. Stores the original function and metadata.";

PyType_Slot asset_wrapper_slots[] = {
    {Py_tp_doc, const_cast<char*>(kAssetWrapperClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_tracked_instance<AssetWrapperObject>)},
    {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(wrapper_descr_get)},
    {Py_tp_getset, wrapper_properties},
    {Py_tp_methods, wrapper_methods},
    {Py_tp_members, wrapper_members},
    {0, nullptr},
};

// Made without a module of its own, hence "builtins", which the default repr shows.
PyType_Spec asset_wrapper_spec = {
    "builtins.AssetWrapper",
    sizeof(AssetWrapperObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_HAVE_GC,
    asset_wrapper_slots,
};

void finish_wrapper_type(PyTypeObject* type) {
  install_instance_doc(type);
  // The failure path of a call compares against PanicException. Making that class now,
  // with this one, means the comparison never has to create it while an exception is set.
  (void)panic_exception_type();
}

}  // namespace

LazyType asset_wrapper_type{&asset_wrapper_spec, "AssetWrapper", finish_wrapper_type};

Owned new_asset_wrapper(Borrowed function, Declaration declaration) {
  Owned self = new_instance<AssetWrapperObject>(asset_wrapper_type.type(), Owned::borrow(function),
                                                std::move(declaration));
  as_wrapper(self.get())->vectorcall = wrapper_vectorcall;
  return self;
}

const AssetRecord* asset_record(Borrowed object) noexcept {
  if (!asset_wrapper_type.is_instance(object)) {
    return nullptr;
  }
  return &as_wrapper(object.get())->record;
}

}  // namespace quarn::declare
