// The `Partitions` marker: the static keys of one partition dimension, as JSON values.
#pragma once

#include <vector>

#include "boundary/ref.hpp"
#include "json/value.hpp"

namespace quarn::declare {

using PartitionValues = std::vector<json::Value>;

// The keys held by a `Partitions` instance, or null when `object` is not one.
[[nodiscard]] const PartitionValues* partition_values(Borrowed object) noexcept;

}  // namespace quarn::declare
