// The "asset_decorator" object: a built-in function bound to a capsule holding the declaration.
#include "declare/decorator.hpp"

#include <memory>

#include "boundary/guard.hpp"
#include "boundary/messages.hpp"
#include "declare/wrapper.hpp"

namespace quarn::declare {
namespace {

constexpr char kCapsuleName[] = "quarn.asset_declaration";

const Declaration& captured(PyObject* capsule) {
  const auto* declaration =
      static_cast<const Declaration*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (declaration == nullptr) {
    throw_error();
  }
  return *declaration;
}

// The capsule's destructor: the declaration goes with the decorator object.
void release_declaration(PyObject* capsule) noexcept {
  guard_destruction([&] { delete &captured(capsule); });
}

// decorator(function): exactly one positional argument, any object; keywords are ignored.
PyObject* decorator_call(PyObject* capsule, PyObject* args, PyObject* /*kwargs*/) noexcept {
  return guard([&] {
    if (PyTuple_GET_SIZE(args) != 1) {
      raise(PyExc_TypeError, messages::kDecoratorArity);
    }
    return new_asset_wrapper(PyTuple_GET_ITEM(args, 0), captured(capsule));
  });
}

// No docstring and no module: `__doc__` and `__module__` read as None.
PyMethodDef decorator_definition = {
    "asset_decorator",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decorator_call)),
    METH_VARARGS | METH_KEYWORDS,
    nullptr,
};

}  // namespace

Owned make_decorator(Declaration declaration) {
  auto held = std::make_unique<Declaration>(std::move(declaration));
  Owned capsule = check(PyCapsule_New(held.get(), kCapsuleName, release_declaration));
  static_cast<void>(held.release());  // the capsule owns it now
  return check(PyCFunction_NewEx(&decorator_definition, capsule.get(), nullptr));
}

}  // namespace quarn::declare
