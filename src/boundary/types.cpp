// Class creation on first need, and the missing-constructor slot.
#include "boundary/types.hpp"

#include "boundary/messages.hpp"

namespace quarn {

Borrowed LazyType::get_or_create() {
  // Filled once under the interpreter lock; a class lives as long as the process.
  if (type_ == nullptr) {
    Owned created = check(PyType_FromSpec(spec_));
    if (finish_ != nullptr) {
      finish_(reinterpret_cast<PyTypeObject*>(created.get()));
    }
    type_ = created.release();
  }
  return type_;
}

Borrowed LazyType::get() {
  if (type_ != nullptr) {
    return type_;
  }
  try {
    return get_or_create();
  } catch (PyError& error) {
    std::move(error).restore();
    PyErr_PrintEx(0);
    throw Panic(messages::failed_type_object(name_));
  }
}

PyObject* no_constructor(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) noexcept {
  return guard([&]() -> Owned {
    std::string name(messages::kUnknownClassName);
    Owned dunder_name = Owned::steal(PyType_GetName(type));
    if (dunder_name) {
      Py_ssize_t size = 0;
      if (const char* utf8 = PyUnicode_AsUTF8AndSize(dunder_name.get(), &size)) {
        name.assign(utf8, static_cast<std::size_t>(size));
      }
    }
    if (!dunder_name || PyErr_Occurred() != nullptr) {
      PyErr_Clear();
    }
    raise(PyExc_TypeError, messages::no_constructor(name));
  });
}

}  // namespace quarn
