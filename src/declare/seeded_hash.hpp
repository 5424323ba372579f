// Keyed hashing of text for the declaration's maps, seeded once per process from the OS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quarn::declare {

// SipHash-1-3 under a 128-bit key drawn once per process from the OS's random bytes, so
// that a caller cannot choose keys that collide, and the order in which a map visits its
// entries changes from one process to the next. Constructing a hasher reads the process
// key (drawing it the first time), which may fail; hashing itself cannot.
class SeededHash {
 public:
  SeededHash();
  [[nodiscard]] std::size_t operator()(std::string_view text) const noexcept;

 private:
  std::uint64_t k0_;
  std::uint64_t k1_;
};

// A hash map keyed by text. Its visiting order is unspecified.
template <class Value>
using TextMap = std::unordered_map<std::string, Value, SeededHash>;

}  // namespace quarn::declare
