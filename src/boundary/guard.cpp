// Turns whatever a guarded body threw into the one Python exception the caller sees.
#include "boundary/guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "boundary/messages.hpp"

namespace quarn {
namespace {

void set_panic(std::string_view message) {
  Borrowed type = panic_exception_type();
  Owned text =
      check(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  Owned exception = check(PyObject_CallOneArg(type.get(), text.get()));
  PyErr_SetRaisedException(exception.release());
}

void classify_current_exception() {
  try {
    throw;
  } catch (PyError& error) {
    std::move(error).restore();
  } catch (const Panic& panic) {
    set_panic(panic.message());
  } catch (const std::exception& failure) {
    // Not raised as a Panic, so nothing has described it yet.
    const Panic panic{failure.what()};
    set_panic(panic.message());
  } catch (...) {
    const Panic panic{std::string(messages::kGenericPanic)};
    set_panic(panic.message());
  }
}

}  // namespace

void set_error_from_current_exception() noexcept {
  try {
    classify_current_exception();
  } catch (...) {
    std::fputs(messages::kUncaughtPanic, stderr);
    std::fflush(stderr);
    std::abort();
  }
}

}  // namespace quarn
