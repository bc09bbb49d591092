// The model file: writing an image and reading one back (internal). The layout is
// specified in docs/formats.md ("Model file"); this is its only implementation.
#ifndef QELT_CORE_INTERNAL_MODEL_FORMAT_H_
#define QELT_CORE_INTERNAL_MODEL_FORMAT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "context_model.h"
#include "hash.h"
#include "little_endian.h"
#include "probing_table.h"

namespace qelt {
namespace internal {

constexpr int kMaxModelOrder = ContextModel::kMaxOrder;

// The entropy bits of an empty slot: a NaN, which no entropy is.
constexpr std::uint32_t kEmptySlotBits = 0xFFFFFFFF;

// A slot of a context table as stored: the key in KeyBytes bytes, then the bits of the
// entropy, both little-endian, with no padding.
template <std::size_t KeyBytes>
struct ModelSlot {
  using Key = std::uint64_t;
  std::uint8_t bytes[KeyBytes + 4];

  Key key() const {
    if constexpr (KeyBytes == 4) return load_le<std::uint32_t>(bytes);
    return load_le<std::uint64_t>(bytes);
  }
  std::uint32_t entropy_bits() const { return load_le<std::uint32_t>(bytes + KeyBytes); }
  bool empty() const { return entropy_bits() == kEmptySlotBits; }
  float entropy() const { return bits_float(entropy_bits()); }

  void clear() { store_le<std::uint32_t>(bytes + KeyBytes, kEmptySlotBits); }
  void set(Key key, float entropy) {
    if constexpr (KeyBytes == 4) {
      store_le<std::uint32_t>(bytes, static_cast<std::uint32_t>(key));
    } else {
      store_le<std::uint64_t>(bytes, key);
    }
    store_le<std::uint32_t>(bytes + KeyBytes, float_bits(entropy));
  }
};
static_assert(sizeof(ModelSlot<4>) == 8 && sizeof(ModelSlot<8>) == 12,
              "model slots are stored unpadded");

// A context table of a model file: the hash is fmix64 and the home slot
// floor(fmix64(key) * slots / 2^64), which version 1 fixes.
template <std::size_t KeyBytes>
using ModelTable = ProbingTable<ModelSlot<KeyBytes>, MurmurMix, AnySizeHome>;
// The same table, to read from a mapped model.
template <std::size_t KeyBytes>
using ModelReader = ProbingTable<const ModelSlot<KeyBytes>, MurmurMix, AnySizeHome>;

// Contexts of up to 4 bytes take 4-byte keys, longer ones 8.
inline std::size_t model_key_bytes(int length) { return length <= 4 ? 4 : 8; }

// The slots of the table of `contexts` contexts: a quarter more, and one, so that at
// least one is empty and a search for an absent key ends.
inline std::uint64_t model_slots(std::uint64_t contexts) {
  return contexts == 0 ? 0 : contexts + contexts / 4 + 1;
}

// The size in bytes of the image of a model whose contexts of length j number
// contexts[j], j = 0 .. k; 0 if it would not fit in memory.
std::size_t model_image_size(int k, const std::uint64_t* contexts);

// A valid image, read: its header and where its tables lie.
struct ModelImageView {
  int k = 0;
  std::uint64_t min_count = 1;
  std::uint64_t contexts = 0;
  std::array<const std::uint8_t*, kMaxModelOrder + 1> tables{};
  std::array<std::uint64_t, kMaxModelOrder + 1> slots{};
  std::array<std::uint64_t, kMaxModelOrder + 1> contexts_of_length{};
};

// The image of the model whose contexts of length j are orders[j], j = 0 .. k, each
// sorted by key, distinct, of its length, with the entropy of a byte distribution.
// Throws std::invalid_argument for contexts that are not so.
std::vector<std::uint8_t> write_model_image(
    std::uint64_t min_count, const std::vector<std::vector<ContextEntropy>>& orders);

// Reads the `size` bytes at `image` as a model file, checking everything a lookup
// relies on: framing, version, checksum, and every slot of every table. Throws
// ModelFormatError, with the reason, if they are not a valid image.
ModelImageView read_model_image(const std::uint8_t* image, std::size_t size);

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_INTERNAL_MODEL_FORMAT_H_
