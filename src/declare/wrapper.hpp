// Making AssetWrapper instances and looking into them.
#pragma once

#include "boundary/ref.hpp"
#include "declare/record.hpp"

namespace quarn::declare {

// A new AssetWrapper around `function` (any object), with its own declaration.
[[nodiscard]] Owned new_asset_wrapper(Borrowed function, Declaration declaration);

// The record of an AssetWrapper, or null when `object` is not one.
[[nodiscard]] const AssetRecord* asset_record(Borrowed object) noexcept;

// Puts the `__doc__` descriptor into the freshly made AssetWrapper class (doc_descriptor.cpp).
void install_instance_doc(PyTypeObject* wrapper_type);

}  // namespace quarn::declare
