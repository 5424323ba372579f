// Visiting a dict's entries while Python code may run between them.
#pragma once

#include <Python.h>

#include <string>

#include "boundary/errors.hpp"
#include "boundary/messages.hpp"
#include "boundary/ref.hpp"

namespace quarn::declare {

// Calls `visit(key, value)` for each entry in insertion order, read from the dict's own
// storage (a subclass's iteration methods are not consulted). `visit` may run Python code,
// so key and value are held strongly across it. A dict that this code changes is an
// internal failure: a change of size, or more entries than it held when reading began.
template <class Visit>
void for_each_entry(Borrowed dict, Visit&& visit) {
  const Py_ssize_t held = PyDict_GET_SIZE(dict.get());
  Py_ssize_t position = 0;
  Py_ssize_t yielded = 0;
  for (;;) {
    if (PyDict_GET_SIZE(dict.get()) != held) {
      throw Panic(std::string(messages::kDictChangedSize));
    }
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (PyDict_Next(dict.get(), &position, &key, &value) == 0) {
      return;
    }
    if (++yielded > held) {
      throw Panic(std::string(messages::kDictKeysChanged));
    }
    const Owned held_key = Owned::borrow(key);
    const Owned held_value = Owned::borrow(value);
    visit(Borrowed(held_key), Borrowed(held_value));
  }
}

}  // namespace quarn::declare
