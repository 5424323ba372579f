// Parameter descriptions and the binding of a vector call to parameter slots.
#pragma once

#include <Python.h>

#include <array>
#include <span>
#include <string>
#include <string_view>

namespace quarn {

// One static record per callable. No callable of the module has positional-only or
// required keyword-only parameters, and none collects surplus arguments through this
// path, so the description carries only what binding needs.
struct Signature {
  std::string_view function;
  std::span<const std::string_view> positional;
  std::size_t required_positional;
  std::span<const std::string_view> keyword_only;

  // "name()": the display name used in every binding message.
  [[nodiscard]] std::string display_name() const;
  [[nodiscard]] constexpr std::size_t slot_count() const {
    return positional.size() + keyword_only.size();
  }
};

// One slot per parameter of `signature`, positional parameters first; all start empty.
template <const Signature& signature>
using Slots = std::array<PyObject*, signature.slot_count()>;

// Binds the host's vector call (positional arguments, then the values of `kwnames`) to
// `slots`: positional parameters first, then keyword-only ones. Slots left null are
// absent parameters. The slots borrow from the caller's vector. Throws PyError with the
// binding messages.
void bind_vector(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                 PyObject* kwnames, std::span<PyObject*> slots);

}  // namespace quarn
