// SipHash-1-3 and the per-process key it is run under.
#include "declare/seeded_hash.hpp"

#include <sys/random.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include "boundary/errors.hpp"

namespace quarn::declare {
namespace {

struct Key {
  std::uint64_t k0;
  std::uint64_t k1;
};

// getrandom(2) may hand back fewer bytes than asked for, or be interrupted by a signal.
Key draw_key() {
  std::array<unsigned char, 16> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw Panic(std::string("could not read random bytes to seed map hashing: ") +
                  std::strerror(errno));
    }
    filled += static_cast<std::size_t>(got);
  }
  Key key{};
  std::memcpy(&key.k0, bytes.data(), sizeof key.k0);
  std::memcpy(&key.k1, bytes.data() + sizeof key.k0, sizeof key.k1);
  return key;
}

const Key& process_key() {
  // Drawn under the interpreter lock on first need; the same key for the whole process.
  static const Key key = draw_key();
  return key;
}

class SipState {
 public:
  SipState(std::uint64_t k0, std::uint64_t k1) noexcept
      : v0_(k0 ^ 0x736f6d6570736575ULL),
        v1_(k1 ^ 0x646f72616e646f6dULL),
        v2_(k0 ^ 0x6c7967656e657261ULL),
        v3_(k1 ^ 0x7465646279746573ULL) {}

  void absorb(std::uint64_t word) noexcept {
    v3_ ^= word;
    round();
    v0_ ^= word;
  }

  [[nodiscard]] std::uint64_t finish() noexcept {
    v2_ ^= 0xff;
    round();
    round();
    round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

 private:
  void round() noexcept {
    v0_ += v1_;
    v1_ = std::rotl(v1_, 13);
    v1_ ^= v0_;
    v0_ = std::rotl(v0_, 32);
    v2_ += v3_;
    v3_ = std::rotl(v3_, 16);
    v3_ ^= v2_;
    v0_ += v3_;
    v3_ = std::rotl(v3_, 21);
    v3_ ^= v0_;
    v2_ += v1_;
    v1_ = std::rotl(v1_, 17);
    v1_ ^= v2_;
    v2_ = std::rotl(v2_, 32);
  }

  std::uint64_t v0_;
  std::uint64_t v1_;
  std::uint64_t v2_;
  std::uint64_t v3_;
};

// Little-endian load of up to eight bytes.
std::uint64_t load(const char* bytes, std::size_t count) noexcept {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < count; ++i) {
    word |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  }
  return word;
}

}  // namespace

SeededHash::SeededHash() : k0_(process_key().k0), k1_(process_key().k1) {}

std::size_t SeededHash::operator()(std::string_view text) const noexcept {
  SipState state(k0_, k1_);
  const char* data = text.data();
  const std::size_t whole = text.size() / 8 * 8;
  for (std::size_t i = 0; i < whole; i += 8) {
    state.absorb(load(data + i, 8));
  }
  // The last word carries the length in its top byte.
  state.absorb(load(data + whole, text.size() - whole) |
               (static_cast<std::uint64_t>(text.size()) << 56));
  return static_cast<std::size_t>(state.finish());
}

}  // namespace quarn::declare
