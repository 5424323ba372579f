// What an asset declares and what an AssetWrapper keeps: the declaration and the function.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "boundary/ref.hpp"
#include "declare/partitions.hpp"

namespace quarn::declare {

// Entries keyed by text, one per key, in the order the user declared them.
template <class Value>
using TextMap = std::vector<std::pair<std::string, Value>>;

// One partition dimension. Its keys are listed in the declaration itself (the "inline"
// kind, the only one there is, so the kind needs no storage).
struct PartitionSpec {
  PartitionValues values;  // in the order given to `partitions([...])`, duplicates kept
};

// The validated arguments of `asset(...)`. An absent field was not given or given as None;
// an empty text or an empty map is present.
struct Declaration {
  std::optional<std::string> name;
  std::optional<std::string> serializer;
  std::optional<TextMap<std::string>> inputs;        // parameter name -> asset reference
  std::optional<TextMap<PartitionSpec>> partitions;  // dimension name -> its keys
};

// The record of one AssetWrapper: set once at creation, never changed, except that the cyclic
// collector may swap the function for None to break a cycle (wrapper.cpp). Each wrapper owns
// its own copy of the declaration, so wrappers made by one decorator share nothing mutable.
struct AssetRecord {
  Owned function;  // the decorated object, normally the user's function; any object
  Declaration declaration;

  // The function is released first (that may run Python finalizers), then the texts and
  // maps, as the members go.
  ~AssetRecord() { function.reset(); }
};

}  // namespace quarn::declare
