// How failures travel through C++: a Python exception being carried, or an internal failure.
#pragma once

#include <Python.h>

#include <source_location>
#include <string>
#include <string_view>

#include "boundary/ref.hpp"

namespace quarn {

// A Python exception object on its way back to the interpreter. While it travels it is
// not set as the current exception, so destructors that release objects (and may run
// finalizers) never see a pending error. The entry guard sets it back unchanged.
class PyError {
 public:
  explicit PyError(Owned exception) noexcept : exception_(std::move(exception)) {}

  [[nodiscard]] Borrowed object() const noexcept { return exception_; }
  [[nodiscard]] bool is_exactly(PyObject* type) const noexcept {
    return reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) == type;
  }
  // Whether it is an instance of `type` or of a subclass, as `except type:` would catch it.
  [[nodiscard]] bool matches(PyObject* type) const noexcept {
    return PyErr_GivenExceptionMatches(exception_.get(), type) != 0;
  }
  // Makes it the current Python exception again: same object, traceback untouched.
  void restore() && noexcept { PyErr_SetRaisedException(exception_.release()); }

 private:
  Owned exception_;
};

// An internal invariant failure. The diagnostic goes to standard error when the failure
// is made, so it names the place where things went wrong rather than the place where
// the failure was caught.
class Panic {
 public:
  explicit Panic(std::string message, std::source_location where = std::source_location::current());
  [[nodiscard]] const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// The class of internal failures as Python sees them; created once, on first need.
[[nodiscard]] Borrowed panic_exception_type();

// Takes the exception left by a failed host call. With none set, a SystemError stands
// in. A PanicException raised by Python code is not passed on as a Python error: the
// internal failure it stands for is resumed, by throwing Panic.
[[nodiscard]] PyError fetch_error();
[[noreturn]] void throw_error();

// A new exception of `type` with `message` as its only argument.
[[nodiscard]] PyError make_error(PyObject* type, std::string_view message);
[[noreturn]] void raise(PyObject* type, std::string_view message);

// One check per fallible C-API call: a null result or a negative status throws the
// pending exception.
inline Owned check(PyObject* new_reference) {
  if (new_reference == nullptr) {
    throw_error();
  }
  return Owned::steal(new_reference);
}
inline int check(int status) {
  if (status < 0) {
    throw_error();
  }
  return status;
}

// Reports an exception through the host's unraisable-exception hook, with no object.
void write_unraisable(PyError error) noexcept;

}  // namespace quarn
