// The host services: each wraps one fallible C-API call and throws on failure.
#include "boundary/host.hpp"

#include "boundary/convert.hpp"
#include "boundary/messages.hpp"

namespace quarn::host {

Borrowed Name::get() const {
  // Filled under the interpreter lock; an interned name is never released.
  if (interned_ == nullptr) {
    interned_ = check(PyUnicode_InternFromString(text_)).release();
  }
  return interned_;
}

Owned import(const char* name) { return check(PyImport_ImportModule(name)); }

Owned getattr(Borrowed object, const Name& name) { return getattr(object, name.get()); }

Owned getattr(Borrowed object, Borrowed name) {
  return check(PyObject_GetAttr(object.get(), name.get()));
}

Owned probe(Borrowed object, const Name& name) {
  // The optional lookup spares the host from creating an AttributeError for the common
  // miss (discovery probes every member of every module).
  PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  const int found = PyObject_GetOptionalAttr(object.get(), name.get().get(), &value);
#else
  const int found = _PyObject_LookupAttr(object.get(), name.get().get(), &value);
#endif
  if (found < 0) {
    (void)fetch_error();  // discarded, unless it resumes a panic
  }
  return Owned::steal(value);
}

bool is_asset(Borrowed value) {
  const Owned kind = probe(value, names::quarn_kind);
  // The comparison works on the code points and never raises, so a str with a lone
  // surrogate is simply not "asset".
  return kind && PyUnicode_Check(kind.get()) &&
         PyUnicode_CompareWithASCIIString(kind.get(), names::asset.text()) == 0;
}

Owned unwrap(Borrowed value) {
  Owned original = probe(value, names::quarn_original);
  return original ? std::move(original) : Owned::borrow(value);
}

Owned str(Borrowed object) { return check(PyObject_Str(object.get())); }

Owned new_text(std::string_view utf8) {
  return check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

std::string exception_text(Borrowed exception) {
  std::string text = type_qualname(exception);
  Owned message = Owned::steal(PyObject_Str(exception.get()));
  if (!message) {
    (void)fetch_error();
    text += messages::kStrFailed;
    return text;
  }
  // Every surrogate code point becomes the three replacement characters that stand for
  // the three bytes of its encoding.
  Owned bytes = check(PyUnicode_AsEncodedString(message.get(), "utf-8", "surrogatepass"));
  const std::string_view raw(PyBytes_AS_STRING(bytes.get()),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  text += ": ";
  text.reserve(text.size() + raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const auto lead = static_cast<unsigned char>(raw[i]);
    const bool surrogate = lead == 0xED && i + 2 < raw.size() &&
                           (static_cast<unsigned char>(raw[i + 1]) & 0xE0) == 0xA0;
    if (surrogate) {
      text += "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
      i += 2;
    } else {
      text += raw[i];
    }
  }
  return text;
}

}  // namespace quarn::host
