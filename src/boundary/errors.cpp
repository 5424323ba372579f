// PanicException, taking exceptions from the interpreter, and the internal-failure diagnostic.
#include "boundary/errors.hpp"

#include <pthread.h>

#include <cstdio>
#include <optional>

#include "boundary/messages.hpp"

namespace quarn {
namespace {

// Written with stdio straight to the process's stderr: the failure may have happened
// where calling back into Python is not safe.
void write_diagnostic(std::string_view message, const std::source_location& where) {
  char thread_name[64] = "<unnamed>";
  if (pthread_getname_np(pthread_self(), thread_name, sizeof thread_name) != 0) {
    thread_name[0] = '\0';
  }
  // The path is shown from the source tree's root, not the machine the module was built on.
  std::string_view file = where.file_name();
  if (const auto root = file.rfind("src/"); root != std::string_view::npos) {
    file.remove_prefix(root);
  }
  std::fprintf(stderr, messages::kPanicDiagnostic, thread_name, static_cast<int>(file.size()),
               file.data(), static_cast<unsigned>(where.line()),
               static_cast<unsigned>(where.column()), static_cast<int>(message.size()),
               message.data());
  std::fflush(stderr);
}

// str() of an exception, or empty when that itself fails (the failure is dropped).
std::optional<std::string> exception_text(Borrowed exception) {
  Owned text = Owned::steal(PyObject_Str(exception.get()));
  if (!text) {
    PyErr_Clear();
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// A PanicException came back from Python code: show where it came from, then carry on
// as an internal failure of our own.
[[noreturn]] void resume_panic(Owned exception) {
  PySys_WriteStderr("%s\n%s\n", messages::kResumingPanic, messages::kStackTraceBelow);
  PyErr_DisplayException(exception.get());
  auto text = exception_text(exception);
  throw Panic(text ? std::move(*text) : std::string(messages::kUnwrappedPanic));
}

}  // namespace

Panic::Panic(std::string message, std::source_location where) : message_(std::move(message)) {
  write_diagnostic(message_, where);
}

Borrowed panic_exception_type() {
  // Created under the interpreter lock and never released: it lives as long as the process.
  static PyObject* type = [] {
    PyObject* created = PyErr_NewExceptionWithDoc(
        "_quarn_runtime.PanicException", messages::kPanicDoc, PyExc_BaseException, nullptr);
    if (created == nullptr) {
      PyErr_Clear();
      throw Panic(std::string(messages::kNewExceptionType));
    }
    return created;
  }();
  return type;
}

PyError fetch_error() {
  Owned exception = Owned::steal(PyErr_GetRaisedException());
  if (!exception) {
    return make_error(PyExc_SystemError, messages::kNoExceptionSet);
  }
  if (Py_TYPE(exception.get()) == reinterpret_cast<PyTypeObject*>(panic_exception_type().get())) {
    resume_panic(std::move(exception));
  }
  return PyError(std::move(exception));
}

void throw_error() { throw fetch_error(); }

PyError make_error(PyObject* type, std::string_view message) {
  Owned text = Owned::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) {
    return fetch_error();
  }
  Owned exception = Owned::steal(PyObject_CallOneArg(type, text.get()));
  if (!exception) {
    return fetch_error();
  }
  return PyError(std::move(exception));
}

void raise(PyObject* type, std::string_view message) { throw make_error(type, message); }

void write_unraisable(PyError error) noexcept {
  std::move(error).restore();
  PyErr_WriteUnraisable(nullptr);
}

}  // namespace quarn
