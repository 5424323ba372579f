// The decorator object that `asset(...)` returns.
#pragma once

#include "boundary/ref.hpp"
#include "declare/record.hpp"

namespace quarn::declare {

// A built-in function named "asset_decorator" whose self is a capsule owning `declaration`.
// Called with one function, it returns a new AssetWrapper with its own copy of the
// declaration.
[[nodiscard]] Owned make_decorator(Declaration declaration);

}  // namespace quarn::declare
