// `__doc__` of AssetWrapper: the class docstring on the class, the function's docstring on
// an instance.
//
// The host writes the class docstring into the class namespace under `__doc__` when it makes
// the class, in place of the forwarding property of that name; a property could not serve
// both reads anyway, since read on the class it yields itself. This descriptor takes that
// namespace entry instead: the host's `type.__doc__` calls it with no instance and gets the
// class docstring, and an instance read forwards to the function, as `functools.wraps`
// users expect.
#include <string>

#include "boundary/convert.hpp"
#include "boundary/guard.hpp"
#include "boundary/host.hpp"
#include "boundary/messages.hpp"
#include "boundary/types.hpp"
#include "declare/wrapper.hpp"

namespace quarn::declare {
namespace {

struct DocDescriptorObject {
  PyObject ob_base;
  Owned record;  // the class docstring, as the host put it in the namespace
};

PyObject* doc_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) noexcept {
  return guard([&] {
    if (instance == nullptr || instance == Py_None) {
      return reinterpret_cast<DocDescriptorObject*>(self)->record.copy();
    }
    const AssetRecord* record = asset_record(instance);
    if (record == nullptr) {
      raise(PyExc_TypeError, messages::doc_not_applicable(type_qualname(instance)));
    }
    return host::getattr(record->function, host::names::dunder_doc);
  });
}

PyType_Slot doc_descriptor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<DocDescriptorObject>)},
    {Py_tp_descr_get, reinterpret_cast<void*>(doc_get)},
    {0, nullptr},
};

PyType_Spec doc_descriptor_spec = {
    "_quarn_runtime.doc_descriptor",
    sizeof(DocDescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT,
    doc_descriptor_slots,
};

LazyType doc_descriptor_type{&doc_descriptor_spec, "doc_descriptor"};

}  // namespace

void install_instance_doc(PyTypeObject* wrapper_type) {
  PyObject* namespace_dict = wrapper_type->tp_dict;  // borrowed from the class
  Borrowed class_doc = PyDict_GetItemWithError(namespace_dict, host::names::dunder_doc.get().get());
  if (!class_doc) {
    if (PyErr_Occurred() != nullptr) {
      throw_error();
    }
    throw Panic(std::string(messages::kClassWithoutDocstring));
  }
  auto* descriptor_type =
      reinterpret_cast<PyTypeObject*>(doc_descriptor_type.get_or_create().get());
  Owned descriptor = new_instance<DocDescriptorObject>(descriptor_type, Owned::borrow(class_doc));
  check(PyDict_SetItem(namespace_dict, host::names::dunder_doc.get().get(), descriptor.get()));
  PyType_Modified(wrapper_type);
}

}  // namespace quarn::declare
