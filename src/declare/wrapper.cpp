// The AssetWrapper class: a callable proxy that keeps the decorated function and its declaration.
#include "boundary/types.hpp"
#include "entries.hpp"

namespace quarn::declare {
namespace {

struct AssetWrapperObject {
  PyObject ob_base;
  Owned record;  // the decorated function
};

constexpr char kAssetWrapperClassDoc[] =
    "The `@asset()` decorator wrapper. Stores the original function and metadata.";

PyType_Slot asset_wrapper_slots[] = {
    {Py_tp_doc, const_cast<char*>(kAssetWrapperClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<AssetWrapperObject>)},
    {0, nullptr},
};

PyType_Spec asset_wrapper_spec = {
    "builtins.AssetWrapper", sizeof(AssetWrapperObject), 0, Py_TPFLAGS_DEFAULT, asset_wrapper_slots,
};

}  // namespace

LazyType asset_wrapper_type{&asset_wrapper_spec, "AssetWrapper"};

}  // namespace quarn::declare
