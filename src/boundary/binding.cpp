// Binding: fills a fixed array of slots, no intermediate tuple or dict.
#include "boundary/binding.hpp"

#include <vector>

#include "boundary/errors.hpp"
#include "boundary/messages.hpp"

namespace quarn {
namespace {

// The keyword's text for a message; a name that is not valid UTF-8 is shown with
// replacement characters rather than failing the report of the real problem.
std::string keyword_text(PyObject* keyword) {
  Owned bytes = Owned::steal(PyUnicode_AsEncodedString(keyword, "utf-8", "replace"));
  if (!bytes) {
    PyErr_Clear();
    return std::string(messages::kUnreadableKeyword);
  }
  return {PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))};
}

// Whether the keyword's text is exactly the parameter's name.
bool keyword_matches(PyObject* keyword, std::string_view parameter) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (text == nullptr) {
    PyErr_Clear();  // not valid text: it names no parameter
    return false;
  }
  return std::string_view(text, static_cast<std::size_t>(size)) == parameter;
}

}  // namespace

std::string Signature::display_name() const {
  std::string out(function);
  out += "()";
  return out;
}

void bind_vector(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                 PyObject* kwnames, std::span<PyObject*> slots) {
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  const std::size_t positional = signature.positional.size();
  for (std::size_t i = 0; i < given && i < positional; ++i) {
    slots[i] = args[i];
  }
  // The surplus check comes before every keyword check.
  if (given > positional) {
    raise(PyExc_TypeError,
          messages::too_many_positional(signature.display_name(), signature.required_positional,
                                        positional, given));
  }
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[given + static_cast<std::size_t>(k)];
    std::size_t slot = slots.size();
    for (std::size_t i = 0; i < signature.keyword_only.size() && slot == slots.size(); ++i) {
      if (keyword_matches(keyword, signature.keyword_only[i])) {
        slot = positional + i;
      }
    }
    for (std::size_t i = 0; i < positional && slot == slots.size(); ++i) {
      if (keyword_matches(keyword, signature.positional[i])) {
        slot = i;
      }
    }
    if (slot == slots.size()) {
      raise(PyExc_TypeError,
            messages::unexpected_keyword(signature.display_name(), keyword_text(keyword)));
    }
    if (slots[slot] != nullptr) {
      const std::string_view name = slot < positional ? signature.positional[slot]
                                                      : signature.keyword_only[slot - positional];
      raise(PyExc_TypeError, messages::multiple_values(signature.display_name(), name));
    }
    slots[slot] = value;
  }
  if (given < signature.required_positional) {
    std::vector<std::string_view> missing;
    for (std::size_t i = given; i < signature.required_positional; ++i) {
      if (slots[i] == nullptr) {
        missing.push_back(signature.positional[i]);
      }
    }
    if (!missing.empty()) {
      raise(PyExc_TypeError, messages::missing_positional(signature.display_name(), missing));
    }
  }
}

}  // namespace quarn
