// Typed calls into the host interpreter: import, attribute read, calls, str().
// Call sites above this layer never see a null pointer or a reference count.
#pragma once

#include <Python.h>

#include <array>
#include <string>
#include <string_view>

#include "boundary/errors.hpp"
#include "boundary/ref.hpp"

namespace quarn::host {

// An attribute or method name, interned once per process and kept for its lifetime.
class Name {
 public:
  explicit constexpr Name(const char* text) noexcept : text_(text) {}
  [[nodiscard]] Borrowed get() const;
  [[nodiscard]] const char* text() const noexcept { return text_; }

 private:
  const char* text_;
  mutable PyObject* interned_ = nullptr;
};

// Names used across the module. A file that needs another name keeps its own
// `static const Name` at namespace scope (never a temporary: each Name interns once).
namespace names {
inline const Name dumps{"dumps"};
inline const Name loads{"loads"};
inline const Name dunder_name{"__name__"};
inline const Name dunder_qualname{"__qualname__"};
inline const Name dunder_module{"__module__"};
inline const Name dunder_doc{"__doc__"};
inline const Name quarn_kind{"__quarn_kind__"};
inline const Name quarn_metadata{"__quarn_metadata__"};
inline const Name quarn_original{"__quarn_original__"};
inline const Name asset{"asset"};  // the value of `__quarn_kind__` that marks an asset
}  // namespace names

// A module by its absolute name, through the host's import function.
[[nodiscard]] Owned import(const char* name);

[[nodiscard]] Owned getattr(Borrowed object, const Name& name);
[[nodiscard]] Owned getattr(Borrowed object, Borrowed name);

// An attribute probe whose failure is not an error: empty when the read raised (the
// exception is discarded). A PanicException is never discarded: it is resumed.
[[nodiscard]] Owned probe(Borrowed object, const Name& name);

// Whatever marks itself as an asset: its `__quarn_kind__` is a str whose text is exactly
// "asset". Duck-typed, never a class check; a failed read or a value that is not a str only
// means "not an asset".
[[nodiscard]] bool is_asset(Borrowed value);

// The object an asset stands for: its `__quarn_original__` (one step, never further), or
// the object itself when that read fails.
[[nodiscard]] Owned unwrap(Borrowed value);

// Calls with positional arguments only.
template <class... Args>
[[nodiscard]] Owned call(Borrowed callable, const Args&... args) {
  std::array<PyObject*, sizeof...(Args) + 1> vector{nullptr, Borrowed(args).get()...};
  return check(PyObject_Vectorcall(callable.get(), vector.data() + 1,
                                   sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Args>
[[nodiscard]] Owned call_method(Borrowed object, const Name& name, const Args&... args) {
  std::array<PyObject*, sizeof...(Args) + 1> vector{object.get(), Borrowed(args).get()...};
  return check(PyObject_VectorcallMethod(name.get().get(), vector.data(),
                                         (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

// str(object).
[[nodiscard]] Owned str(Borrowed object);
// A new str from UTF-8 text.
[[nodiscard]] Owned new_text(std::string_view utf8);

// The text of an exception as the skip line and the failure record show it: the type's
// __qualname__, ": ", then str() of the exception, or ": <exception str() failed>" after
// the type name. A lone surrogate shows as three U+FFFD characters.
[[nodiscard]] std::string exception_text(Borrowed exception);

}  // namespace quarn::host
