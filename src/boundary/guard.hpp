// The entry guard: every function CPython calls runs inside it, so no C++ exception
// ever unwinds into the interpreter.
#pragma once

#include <Python.h>

#include <utility>

#include "boundary/errors.hpp"
#include "boundary/ref.hpp"

namespace quarn {

// Sets the Python exception for the C++ exception being handled (call only from inside a
// catch block). A carried Python error is set back as the very same object; anything
// else becomes a PanicException. Should even that fail, the process aborts.
void set_error_from_current_exception() noexcept;

// Runs `body`, which returns an `Owned` result. Returns a new reference, or null with
// exactly one Python exception set.
template <class Body>
[[nodiscard]] PyObject* guard(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)().release();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// For destruction: a failure never propagates to the code whose release of a reference
// caused it; it goes to the unraisable-exception hook with no object.
template <class Body>
void guard_destruction(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
    set_error_from_current_exception();
    PyErr_WriteUnraisable(nullptr);
  }
}

}  // namespace quarn
