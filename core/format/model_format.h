// The model file: reading an image of any version and writing one of the current
// version (internal). The layout is specified in docs/formats.md ("Model file"); this
// is its only implementation, with format/model_layout.h for where things lie in
// version 3.
#ifndef QELT_CORE_FORMAT_MODEL_FORMAT_H_
#define QELT_CORE_FORMAT_MODEL_FORMAT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/model_layout.h"
#include "model_contents.h"
#include "model_kinds.h"
#include "util/hash.h"
#include "util/little_endian.h"
#include "util/probing_table.h"

namespace qelt {
namespace internal {

// The entropy bits of an empty slot: a NaN, which no entropy is.
constexpr std::uint32_t kEmptySlotBits = 0xFFFFFFFF;

// A slot of a context table as stored: the key (4 or 8 bytes), then the bits of the
// entropy, both little-endian, with no padding; in version 3, then the weight and the
// distance from the slot to the context's list (0: it lists no byte). The fields are
// read and written here alone, for a key whose width is known at run time; StoredSlot
// is the same slot for a width known at compile time.
inline std::uint64_t slot_key(const std::uint8_t* slot, std::size_t key_bytes) {
  return key_bytes == 4 ? load_le<std::uint32_t>(slot) : load_le<std::uint64_t>(slot);
}
inline void set_slot_key(std::uint8_t* slot, std::size_t key_bytes, std::uint64_t key) {
  if (key_bytes == 4) {
    store_le<std::uint32_t>(slot, static_cast<std::uint32_t>(key));
  } else {
    store_le<std::uint64_t>(slot, key);
  }
}
inline std::uint32_t slot_entropy_bits(const std::uint8_t* slot, std::size_t key_bytes) {
  return load_le<std::uint32_t>(slot + key_bytes);
}
inline void set_slot_entropy_bits(std::uint8_t* slot, std::size_t key_bytes,
                                  std::uint32_t bits) {
  store_le<std::uint32_t>(slot + key_bytes, bits);
}
inline float slot_weight3(const std::uint8_t* slot, std::size_t key_bytes) {
  return bits_float(load_le<std::uint32_t>(slot + key_bytes + 4));
}
inline void set_slot_weight3(std::uint8_t* slot, std::size_t key_bytes, float weight) {
  store_le<std::uint32_t>(slot + key_bytes + 4, float_bits(weight));
}
inline std::uint32_t slot_list_distance3(const std::uint8_t* slot, std::size_t key_bytes) {
  return load_le<std::uint32_t>(slot + key_bytes + 8);
}
inline void set_slot_list_distance3(std::uint8_t* slot, std::size_t key_bytes,
                                    std::uint32_t distance) {
  store_le<std::uint32_t>(slot + key_bytes + 8, distance);
}
// The bytes of a slot of versions 1 and 2: the key and the entropy.
inline std::size_t slot_bytes12(std::size_t key_bytes) { return key_bytes + 4; }

template <std::size_t KeyBytes, std::size_t Extra>
struct StoredSlot {
  using Key = std::uint64_t;
  std::uint8_t bytes[KeyBytes + 4 + Extra];

  Key key() const { return slot_key(bytes, KeyBytes); }
  std::uint32_t entropy_bits() const { return slot_entropy_bits(bytes, KeyBytes); }
  bool empty() const { return entropy_bits() == kEmptySlotBits; }
  float entropy() const { return bits_float(entropy_bits()); }

  void clear() { set_slot_entropy_bits(bytes, KeyBytes, kEmptySlotBits); }
  void set(Key key, float entropy) {
    set_slot_key(bytes, KeyBytes, key);
    set_slot_entropy_bits(bytes, KeyBytes, float_bits(entropy));
  }
};

// A context's list in version 3 (list_bytes): the number of bytes less one, the bytes
// ascending, then their probabilities (f32, little-endian).
struct StoredList {
  std::uint32_t count;
  const std::uint8_t* bytes;
  const std::uint8_t* probabilities;
};
inline StoredList stored_list(const std::uint8_t* list) {
  const std::uint32_t count = std::uint32_t{list[0]} + 1;
  return {count, list + 1, list + 1 + count};
}
// The i-th of the probabilities stored from `probabilities` on (a list's, or the pairs'
// of versions 1 and 2).
inline float stored_probability(const std::uint8_t* probabilities, std::size_t i) {
  return bits_float(load_le<std::uint32_t>(probabilities + 4 * i));
}

// Versions 1 and 2: key and entropy.
template <std::size_t KeyBytes>
using ModelSlot = StoredSlot<KeyBytes, 0>;
static_assert(sizeof(ModelSlot<4>) == 8 && sizeof(ModelSlot<8>) == 12,
              "model slots are stored unpadded");

// Version 3: key, entropy, weight (f32) and list distance (u32).
template <std::size_t KeyBytes>
struct ModelSlot3 : StoredSlot<KeyBytes, 8> {
  float weight() const { return slot_weight3(this->bytes, KeyBytes); }
  std::uint32_t list_distance() const { return slot_list_distance3(this->bytes, KeyBytes); }
  void set_weight(float weight) { set_slot_weight3(this->bytes, KeyBytes, weight); }
  void set_list_distance(std::uint32_t d) { set_slot_list_distance3(this->bytes, KeyBytes, d); }
};
static_assert(sizeof(ModelSlot3<4>) == 16 && sizeof(ModelSlot3<8>) == 20,
              "model slots are stored unpadded");

// A context table of a model file: the hash is fmix64 and the home slot
// floor(fmix64(key) * slots / 2^64), which version 1 fixes.
template <typename Slot>
using StoredTable = ProbingTable<Slot, MurmurMix, AnySizeHome>;

// Contexts of up to 4 bytes take 4-byte keys, longer ones 8.
inline std::size_t model_key_bytes(int length) { return length <= 4 ? 4 : 8; }

// The record of a slot of version 2, beside the table: where the context's listed bytes
// start among those of its length, how many there are, and the weight of the shorter
// context's distribution. An empty slot's record is zero.
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

// The size in bytes of the image of version 2 of a model whose contexts of length j
// number contexts[j] and list pairs[j] bytes, j = 0 .. k; 0 if it would not fit in
// memory. A budget of bytes leaves contexts out by it (docs/formats.md, "Budgets").
std::size_t model_image_size(int k, const std::uint64_t* contexts, const std::uint64_t* pairs);

// A block of a valid image: its table of `slots` slots, and (version 3) the start of
// its lists or (version 2) the records of its slots and the bytes of its length.
struct BlockView {
  const std::uint8_t* table = nullptr;
  std::uint64_t slots = 0;
  const std::uint8_t* lists = nullptr;               // version 3
  const std::uint8_t* records = nullptr;             // version 2
  const std::uint8_t* pair_bytes = nullptr;          // version 2
  const std::uint8_t* pair_probabilities = nullptr;  // version 2 (f32 each)
};

// The contexts of one length of a valid image.
struct LengthView {
  std::uint64_t contexts = 0;
  std::uint64_t pairs = 0;
  int blocks_log2 = 0;  // 0 before version 3
  std::vector<BlockView> blocks;
};

// A valid image, read: its header and where its tables lie.
struct ModelImageView {
  std::uint32_t version = 0;
  const ModelKind* kind = nullptr;  // the unsmoothed kind for version 1
  int k = 0;
  int bucket = 0;  // the bytes that place contexts in blocks (version 3)
  std::uint64_t min_count = 1;
  std::uint64_t contexts = 0;
  std::array<LengthView, kMaxOrder + 1> lengths{};
};

// Reads the `size` bytes at `image` as a model file of any version this build reads,
// checking everything a lookup relies on: framing, version, checksum, and every slot
// of every table. Throws ModelFormatError, with the reason, if they are not a valid
// image.
ModelImageView read_model_image(const std::uint8_t* image, std::size_t size);

// The bytes of one section of a file of version 3: the table of the contexts of one
// length in one block, then their lists.
struct SectionBytes {
  std::vector<std::uint8_t> bytes;
  std::uint64_t slots = 0;
  std::uint64_t lists_bytes = 0;  // the table's bytes are the rest
  std::uint64_t contexts = 0;
  std::uint64_t pairs = 0;
};

// The section of the contexts `order` holds (sorted by key, no key repeated, of their
// length, with entropies of byte distributions; each with its list, and weights in
// [0, 1]), all of length `length`. Throws std::invalid_argument for contents that are
// not those of a model.
SectionBytes write_section(int length, const ModelOrder& order);

// A file of version 3 being put together: its header from the counts of each length
// and the sizes of its sections, then where each section goes.
class ImageLayout {
 public:
  // For a model of `kind`, `min_count`, with contexts[j] contexts listing pairs[j]
  // bytes of each length j = 0 .. k.
  ImageLayout(const ModelKind& kind, std::uint64_t min_count, int k,
              const std::array<std::uint64_t, kMaxOrder + 1>& contexts,
              const std::array<std::uint64_t, kMaxOrder + 1>& pairs);

  int k() const { return k_; }
  const std::array<int, kMaxOrder + 1>& blocks_log2() const { return log2_; }
  // The sections in the order of the file.
  const std::vector<SectionId>& order() const { return order_; }

  // The size of the section at `position` of the order (its table of `slots` slots and
  // its lists), given once each. Then offsets and the header can be had.
  void set_section(std::size_t position, std::uint64_t slots, std::uint64_t lists_bytes,
                   std::uint64_t contexts, std::uint64_t pairs);

  // Where each section starts (its table), in the file; 0 for one with no context. Its
  // bytes go up to the start of the next (zero bytes of padding after them).
  std::uint64_t section_offset(std::size_t position) const;
  // Where the section at `position` starts, or would if it had a context, and where it
  // ends with its padding: the bytes of sections first .. last are start(first) ..
  // end(last).
  std::uint64_t section_start(std::size_t position) const;
  std::uint64_t section_end(std::size_t position) const;
  // The size of the file.
  std::uint64_t size() const;
  // The header and the directories: the file's first header_bytes() bytes. Throws
  // std::invalid_argument if the sections do not add up to the counts given.
  std::vector<std::uint8_t> header() const;
  std::uint64_t header_bytes() const { return align8(header_bytes3(k_, log2_)); }

 private:
  void place() const;

  const ModelKind* kind_;
  std::uint64_t min_count_;
  int k_;
  std::array<std::uint64_t, kMaxOrder + 1> contexts_{}, pairs_{};
  std::array<int, kMaxOrder + 1> log2_{};
  std::vector<SectionId> order_;
  struct Sizes {
    std::uint64_t slots = 0, lists_bytes = 0, contexts = 0, pairs = 0;
    bool set = false;
  };
  std::vector<Sizes> sizes_;
  mutable std::vector<std::uint64_t> offsets_, starts_;
  mutable std::uint64_t size_ = 0;
  mutable bool placed_ = false;
};

// The image (of the current version) of the model of `kind` whose contexts of length j
// are orders[j], j = 0 .. k, made in one process. Throws std::invalid_argument for
// contents that are not those of a model.
std::vector<std::uint8_t> write_model_image(const ModelKind& kind, std::uint64_t min_count,
                                            const std::vector<ModelOrder>& orders);

// Appends context `c` of `from` to `to`: its key and entropy, its weight if `from` has
// weights, and its listed bytes if `from` lists any.
void append_context(ModelOrder& to, const ModelOrder& from, std::size_t c);

// The part of `order` (of contexts sorted by key) in each of the 2^log2 blocks of
// their length from `first` to `first + count` (bucket bytes `bucket`), each sorted by
// key. Throws std::logic_error for a context in none of them.
std::vector<ModelOrder> orders_by_block(const ModelOrder& order, int bucket, int log2,
                                        std::uint32_t first, std::uint32_t count);

// Fills in the checksum of a whole image, whose last 8 bytes are the trailer.
void seal_image(std::uint8_t* image, std::size_t size);

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_FORMAT_MODEL_FORMAT_H_
