// Argument and result conversions with the module's conversion messages.
#include "boundary/convert.hpp"

#include <cstring>

#include "boundary/messages.hpp"

namespace quarn {
namespace {

// str() of an exception for the argument prefix. Should str() fail, that failure goes to
// the unraisable hook and a placeholder naming the type stands in.
std::string replaced_error_text(Borrowed exception) {
  Owned text = Owned::steal(PyObject_Str(exception.get()));
  if (text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
      return {utf8, static_cast<std::size_t>(size)};
    }
  }
  PyErr_WriteUnraisable(exception.get());
  const char* name = Py_TYPE(exception.get())->tp_name;
  if (const char* dot = std::strrchr(name, '.')) {
    name = dot + 1;
  }
  return messages::unprintable(name);
}

}  // namespace

std::string type_qualname(Borrowed object) {
  Owned name = Owned::steal(PyType_GetQualName(object.type()));
  if (name) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return {utf8, static_cast<std::size_t>(size)};
    }
  }
  PyErr_Clear();
  return std::string(messages::kUnknownTypeName);
}

PyError conversion_error(Borrowed object, std::string_view expected) {
  return make_error(PyExc_TypeError, messages::cannot_convert(type_qualname(object), expected));
}

std::string_view text_view(Borrowed object) {
  if (!PyUnicode_Check(object.get())) {
    throw conversion_error(object, messages::kPyString);
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object.get(), &size);
  if (utf8 == nullptr) {
    throw_error();
  }
  return {utf8, static_cast<std::size_t>(size)};
}

std::optional<std::string> to_optional_text(Borrowed object) {
  if (!object || object.get() == Py_None) {
    return std::nullopt;
  }
  return to_text(object);
}

void raise_no_memory() {
  (void)PyErr_NoMemory();
  throw_error();
}

std::vector<std::string> to_text_list(Borrowed object) {
  if (PyUnicode_Check(object.get())) {
    raise(PyExc_TypeError, messages::kStrToVec);
  }
  if (PySequence_Check(object.get()) == 0) {
    throw conversion_error(object, messages::kSequence);
  }
  std::vector<std::string> out;
  // The length only reserves room; a sequence that cannot tell it is still iterated.
  const Py_ssize_t hint = PySequence_Size(object.get());
  if (hint < 0) {
    PyErr_Clear();
  } else {
    reserve_room(out, static_cast<std::size_t>(hint));
  }
  Owned iterator = check(PyObject_GetIter(object.get()));
  while (Owned item = Owned::steal(PyIter_Next(iterator.get()))) {
    out.push_back(to_text(item));
  }
  if (PyErr_Occurred() != nullptr) {
    throw_error();
  }
  return out;
}

Borrowed expect_list(Borrowed object) {
  if (!PyList_Check(object.get())) {
    throw conversion_error(object, messages::kPyList);
  }
  return object;
}

Borrowed expect_dict(Borrowed object) {
  if (!PyDict_Check(object.get())) {
    throw conversion_error(object, messages::kPyDict);
  }
  return object;
}

Borrowed expect_tuple(Borrowed object) {
  if (!PyTuple_Check(object.get())) {
    throw conversion_error(object, messages::kPyTuple);
  }
  return object;
}

void prefix_argument_error(std::string_view parameter, PyError& error) {
  if (!error.is_exactly(PyExc_TypeError)) {
    return;
  }
  PyError replacement = make_error(
      PyExc_TypeError, messages::argument_prefix(parameter, replaced_error_text(error.object())));
  if (PyObject* cause = PyException_GetCause(error.object().get())) {
    PyException_SetCause(replacement.object().get(), cause);  // steals the new reference
  }
  error = std::move(replacement);
}

}  // namespace quarn
