// The model file: writing an image and reading one back (internal). The layout is
// specified in docs/formats.md ("Model file"); this is its only implementation.
#ifndef QELT_CORE_FORMAT_MODEL_FORMAT_H_
#define QELT_CORE_FORMAT_MODEL_FORMAT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "util/hash.h"
#include "util/little_endian.h"
#include "model_contents.h"
#include "model_kinds.h"
#include "util/probing_table.h"

namespace qelt {
namespace internal {

constexpr int kMaxModelOrder = 8;

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
// contexts[j] and list pairs[j] bytes, j = 0 .. k; 0 if it would not fit in memory.
std::size_t model_image_size(int k, const std::uint64_t* contexts, const std::uint64_t* pairs);

// The record of a slot of a context table, beside the table (version 2): where the
// context's listed bytes start among those of its length, how many there are, and
// the weight of the shorter context's distribution. An empty slot's record is zero.
struct ModelRecord {
  std::uint64_t first_pair = 0;
  std::uint32_t pairs = 0;
  float weight = 0.0f;
};
constexpr std::size_t kModelRecordBytes = 16;

inline ModelRecord load_model_record(const std::uint8_t* records, std::uint64_t slot) {
  const std::uint8_t* at = records + slot * kModelRecordBytes;
  return {load_le<std::uint64_t>(at), load_le<std::uint32_t>(at + 8),
          bits_float(load_le<std::uint32_t>(at + 12))};
}

// A valid image, read: its header and where its tables lie.
struct ModelImageView {
  std::uint32_t version = 0;
  const ModelKind* kind = nullptr;  // the unsmoothed kind for version 1
  int k = 0;
  std::uint64_t min_count = 1;
  std::uint64_t contexts = 0;
  std::array<const std::uint8_t*, kMaxModelOrder + 1> tables{};
  std::array<std::uint64_t, kMaxModelOrder + 1> slots{};
  std::array<std::uint64_t, kMaxModelOrder + 1> contexts_of_length{};
  // Version 2 only (null in version 1): the records of each table's slots, and the
  // listed bytes and their probabilities (f32) of each length.
  std::array<const std::uint8_t*, kMaxModelOrder + 1> records{};
  std::array<const std::uint8_t*, kMaxModelOrder + 1> pair_bytes{};
  std::array<const std::uint8_t*, kMaxModelOrder + 1> pair_probabilities{};
  std::array<std::uint64_t, kMaxModelOrder + 1> pairs{};
};

// The image (the current version) of the model of `kind` whose contexts of length j
// are orders[j], j = 0 .. k. Throws std::invalid_argument for contents that are not
// those of a model: keys unsorted, repeated or too long, entropies no distribution
// has, weights outside [0, 1], bytes unsorted, probabilities outside (0, 1].
std::vector<std::uint8_t> write_model_image(const ModelKind& kind, std::uint64_t min_count,
                                            const std::vector<ModelOrder>& orders);

// Reads the `size` bytes at `image` as a model file of any version this build reads,
// checking everything a lookup relies on: framing, version, checksum, and every slot
// of every table. Throws ModelFormatError, with the reason, if they are not a valid
// image.
ModelImageView read_model_image(const std::uint8_t* image, std::size_t size);

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_FORMAT_MODEL_FORMAT_H_
