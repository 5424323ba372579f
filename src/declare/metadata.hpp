// The `__quarn_metadata__` view: a fresh dict describing a declaration.
#pragma once

#include "boundary/ref.hpp"
#include "declare/record.hpp"

namespace quarn::declare {

// A new dict with the keys "kind", "name", "serializer", "inputs", "partitions", in that
// order. Changing it has no effect on the declaration.
[[nodiscard]] Owned metadata_view(const Declaration& declaration);

}  // namespace quarn::declare
