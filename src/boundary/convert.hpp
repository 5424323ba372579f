// Conversions of bound arguments and host results to the module's own types.
#pragma once

#include <Python.h>

#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "boundary/errors.hpp"
#include "boundary/ref.hpp"

namespace quarn {

// The `__qualname__` of the object's type, or the placeholder when it cannot be read.
[[nodiscard]] std::string type_qualname(Borrowed object);

// A TypeError "'{type}' object cannot be converted to '{expected}'".
[[nodiscard]] PyError conversion_error(Borrowed object, std::string_view expected);

// A str or str subclass, as a view of its UTF-8 form. The view lives as long as the
// object does. Fails with the "PyString" conversion message, or the host's
// UnicodeEncodeError for text with no UTF-8 form (a lone surrogate).
[[nodiscard]] std::string_view text_view(Borrowed object);
[[nodiscard]] inline std::string to_text(Borrowed object) { return std::string(text_view(object)); }
// None (or a missing argument) gives nothing; anything else as `to_text`.
[[nodiscard]] std::optional<std::string> to_optional_text(Borrowed object);

// The host's MemoryError, the one it raises itself for a length it cannot hold.
[[noreturn]] void raise_no_memory();

// Room for `count` elements, where `count` is a length the caller chose (a sequence's
// __len__, a list's size). More than can be had is the caller's doing, not an internal
// failure: it is the host's MemoryError, as for `list()` of such a sequence.
template <class Container>
void reserve_room(Container& container, std::size_t count) {
  try {
    container.reserve(count);
  } catch (const std::bad_alloc&) {
    raise_no_memory();
  } catch (const std::length_error&) {
    raise_no_memory();
  }
}

// A sequence of str that is not itself a str (the `modules` argument).
[[nodiscard]] std::vector<std::string> to_text_list(Borrowed object);

// Type-flag checks that accept subclasses and hand back the object itself.
Borrowed expect_list(Borrowed object);
Borrowed expect_dict(Borrowed object);
Borrowed expect_tuple(Borrowed object);

// Runs the conversion of one bound argument. A failure whose type is exactly TypeError
// is replaced by "argument '{name}': {text}", keeping the replaced error's __cause__;
// any other failure passes unchanged.
void prefix_argument_error(std::string_view parameter, PyError& error);

template <class Convert>
auto convert_argument(std::string_view parameter, Convert&& convert) -> decltype(convert()) {
  try {
    return std::forward<Convert>(convert)();
  } catch (PyError& error) {
    prefix_argument_error(parameter, error);
    throw;
  }
}

}  // namespace quarn
