// Heap classes of the module: created once per process from a spec, never subclassable,
// never constructible from Python, and destroyed through the guarded release routine.
#pragma once

#include <Python.h>

#include <memory>
#include <new>

#include "boundary/guard.hpp"
#include "boundary/ref.hpp"

namespace quarn {

// A class object made on first need and kept for the rest of the process.
class LazyType {
 public:
  // `finish`, when given, completes the class right after the host has made it (for what a
  // spec cannot say); should it throw, the half-made class is dropped.
  using Finish = void (*)(PyTypeObject* type);
  constexpr LazyType(PyType_Spec* spec, const char* name, Finish finish = nullptr) noexcept
      : spec_(spec), name_(name), finish_(finish) {}

  // For registration: a failure to create the class propagates as its Python error.
  [[nodiscard]] Borrowed get_or_create();
  // For operations that need the class: a failure is printed with its traceback and
  // becomes an internal failure.
  [[nodiscard]] Borrowed get();
  [[nodiscard]] PyTypeObject* type() { return reinterpret_cast<PyTypeObject*>(get().get()); }
  [[nodiscard]] bool is_instance(Borrowed object) noexcept {
    return type_ != nullptr && Py_TYPE(object.get()) == reinterpret_cast<PyTypeObject*>(type_);
  }

 private:
  PyType_Spec* spec_;
  const char* name_;
  Finish finish_;
  PyObject* type_ = nullptr;
};

// The constructor slot of every class of the module: "No constructor defined for {}".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// Allocates an instance of `type` and constructs its C++ record in place.
template <class Instance, class... Args>
[[nodiscard]] Owned new_instance(PyTypeObject* type, Args&&... args) {
  Owned self = check(type->tp_alloc(type, 0));
  auto* instance = reinterpret_cast<Instance*>(self.get());
  try {
    new (&instance->record) decltype(instance->record)(std::forward<Args>(args)...);
  } catch (...) {
    // The record never existed: free the bare object without running its destructor.
    PyObject* raw = self.release();
    if (PyType_IS_GC(type)) {
      PyObject_GC_UnTrack(raw);  // the host's allocation tracked it
    }
    type->tp_free(raw);
    Py_DECREF(type);
    throw;
  }
  return self;
}

// The deallocation slot: runs the record's destructor under the destruction guard, then
// frees the instance and drops the reference that every instance holds on its class.
template <class Instance>
void destroy_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* instance = reinterpret_cast<Instance*>(self);
  guard_destruction([&] { std::destroy_at(&instance->record); });
  type->tp_free(self);
  Py_DECREF(type);
}

// The deallocation slot of a class whose instances the cyclic collector tracks. The instance
// is untracked first, and destroyed through the host's trashcan: when its record releases an
// instance that releases the next, and so on down a long chain, the host defers the deeper
// links instead of recursing once per link on the C stack.
template <class Instance>
void destroy_tracked_instance(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, destroy_tracked_instance<Instance>)
    destroy_instance<Instance>(self);
  Py_TRASHCAN_END
}

}  // namespace quarn
