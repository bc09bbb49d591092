// The model file (docs/formats.md, "Model file"): a fixed header, the sizes of each
// length's tables, then per length a probing table of contexts and their entropies
// and, from version 2, the records of its slots and the bytes listed with their
// probabilities; then a CRC-32C. Written from contexts sorted by key, so that equal
// models give equal bytes; read by checking the framing first (size, magic, version,
// checksum) and the tables second, so that every fault is reported by its kind.
// Version 1 (entropies only) is still read; version 2 is written.

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "format_error.h"
#include "util/crc32c.h"
#include "format/model_format.h"
#include "util/window_key.h"

namespace qelt {
namespace internal {

namespace {

using Reason = ModelFormatError::Reason;

constexpr char kMagic[8] = {'Q', 'E', 'L', 'T', 'M', 'O', 'D', 'L'};
constexpr std::uint32_t kVersion = 2;  // the version written
constexpr std::size_t kTrailer = 8;
// No entropy of 256 byte values exceeds ln 256 = 5.545...; a stored one beyond this
// bound cannot come from a model.
constexpr float kMaxEntropy = 5.6f;

// The fixed header, and the bytes per length that follow it.
std::size_t fixed_header(std::uint32_t version) { return version == 1 ? 40 : 48; }
std::size_t per_length(std::uint32_t version) { return version == 1 ? 16 : 24; }
std::size_t header_bytes(std::uint32_t version, int k) {
  return fixed_header(version) + per_length(version) * static_cast<std::size_t>(k + 1);
}
std::size_t align8(std::size_t x) { return (x + 7) & ~std::size_t{7}; }
std::size_t slot_bytes(int length) { return model_key_bytes(length) + 4; }

[[noreturn]] void refuse(Reason reason, const std::string& why) {
  throw ModelFormatError(reason, "not a valid qelt context model: " + why);
}

// Where each length's sections start, and the image size.
struct Layout {
  std::array<std::size_t, kMaxModelOrder + 1> table{}, records{}, pair_bytes{},
      pair_probabilities{};
  std::size_t size = 0;
};

// Appends a section of `count` items of `bytes` each at `offset`, 8-aligned after;
// false if the sizes overflow.
bool place(std::size_t& offset, std::uint64_t count, std::size_t bytes, std::size_t& at) {
  if (count > (SIZE_MAX - offset) / bytes) return false;
  at = offset;
  offset += static_cast<std::size_t>(count) * bytes;
  if (offset > SIZE_MAX - 7 - kTrailer) return false;
  offset = align8(offset);
  return true;
}

// The layout of a version's image with slots[j] slots and pairs[j] listed bytes per
// length (pairs unused in version 1); false if the sizes overflow.
bool lay_out(std::uint32_t version, int k, const std::uint64_t* slots, const std::uint64_t* pairs,
             Layout& layout) {
  std::size_t offset = align8(header_bytes(version, k));
  for (int j = 0; j <= k; ++j) {
    if (!place(offset, slots[j], slot_bytes(j), layout.table[j])) return false;
    if (version == 1) continue;
    if (!place(offset, slots[j], kModelRecordBytes, layout.records[j]) ||
        !place(offset, pairs[j], 1, layout.pair_bytes[j]) ||
        !place(offset, pairs[j], 4, layout.pair_probabilities[j])) {
      return false;
    }
  }
  layout.size = offset + kTrailer;
  return true;
}

bool is_entropy(float h) { return h >= 0.0f && h <= kMaxEntropy; }
bool is_weight(float w) { return w >= 0.0f && w <= 1.0f; }
bool is_probability(float p) { return p > 0.0f && p <= 1.0f; }

// Fills the table of `slots` slots at `table` (contexts of `length`) with `contexts`.
template <std::size_t KeyBytes>
void write_table(std::uint8_t* table, std::uint64_t slots, int length,
                 const std::vector<ContextEntropy>& contexts, std::vector<std::uint64_t>& slot_of) {
  auto* begin = reinterpret_cast<ModelSlot<KeyBytes>*>(table);
  ModelTable<KeyBytes> probing(begin, slots);
  for (ModelSlot<KeyBytes>& slot : probing) slot.clear();
  slot_of.resize(contexts.size());
  const std::uint64_t mask = window_mask(static_cast<std::size_t>(length));
  // Keys come in ascending order, their homes anywhere: the slot of the context
  // kAhead further on is prefetched.
  constexpr std::size_t kAhead = 16;
  std::uint64_t previous = 0;
  for (std::size_t c = 0; c < contexts.size(); ++c) {
    if (c + kAhead < contexts.size()) probing.prefetch(contexts[c + kAhead].key);
    const ContextEntropy& context = contexts[c];
    if ((c > 0 && context.key <= previous) || (context.key & ~mask) != 0 ||
        !is_entropy(context.entropy)) {
      throw std::invalid_argument("contexts must be sorted, distinct, of their length, "
                                  "with entropies of byte distributions");
    }
    previous = context.key;
    ModelSlot<KeyBytes>* const slot = probing.probe(context.key);
    slot->set(context.key, context.entropy);
    slot_of[c] = static_cast<std::uint64_t>(slot - begin);
  }
}

// How many slots of the table of `slots` slots at `table` (contexts of `length`) are
// filled; refuses a slot no writer writes.
template <std::size_t KeyBytes>
std::uint64_t filled_slots(const std::uint8_t* table, std::uint64_t slots, int length) {
  const auto* begin = reinterpret_cast<const ModelSlot<KeyBytes>*>(table);
  const std::uint64_t mask = window_mask(static_cast<std::size_t>(length));
  std::uint64_t filled = 0;
  for (const ModelSlot<KeyBytes>* slot = begin; slot != begin + slots; ++slot) {
    if (slot->empty()) continue;
    if (!is_entropy(slot->entropy()) || (slot->key() & ~mask) != 0) {
      refuse(Reason::kLayout, "a table holds an impossible context");
    }
    ++filled;
  }
  return filled;
}

// Checks the records of the table of `slots` slots at `table` and the `pairs` listed
// bytes of its length: an empty slot's record is zero; a filled one's lists at most
// 256 bytes, ascending, within the length's, with probabilities that can be and a
// weight in [0, 1]; and the records list every byte of the length once in all.
template <std::size_t KeyBytes>
void check_records(const std::uint8_t* table, const std::uint8_t* records, std::uint64_t slots,
                   const std::uint8_t* bytes, const std::uint8_t* probabilities,
                   std::uint64_t pairs) {
  const auto* begin = reinterpret_cast<const ModelSlot<KeyBytes>*>(table);
  std::uint64_t listed = 0;
  for (std::uint64_t s = 0; s < slots; ++s) {
    const ModelRecord record = load_model_record(records, s);
    if (begin[s].empty()) {
      if (record.first_pair != 0 || record.pairs != 0 || float_bits(record.weight) != 0) {
        refuse(Reason::kLayout, "an empty slot has a record");
      }
      continue;
    }
    if (!is_weight(record.weight) || record.pairs > 256 || record.first_pair > pairs ||
        record.pairs > pairs - record.first_pair) {
      refuse(Reason::kLayout, "a context's record is impossible");
    }
    for (std::uint64_t p = record.first_pair; p < record.first_pair + record.pairs; ++p) {
      if ((p > record.first_pair && bytes[p] <= bytes[p - 1]) ||
          !is_probability(bits_float(load_le<std::uint32_t>(probabilities + 4 * p)))) {
        refuse(Reason::kLayout, "a context lists impossible bytes");
      }
    }
    listed += record.pairs;
  }
  if (listed != pairs) refuse(Reason::kLayout, "the contexts list more or fewer bytes than declared");
}

// Fills the records (version 2) of the table whose slots slot_of gives, from `order`.
void write_records(std::uint8_t* records, const std::vector<std::uint64_t>& slot_of,
                   const ModelOrder& order) {
  for (std::size_t c = 0; c < order.contexts.size(); ++c) {
    const std::uint64_t first = c == 0 || order.pair_ends.empty() ? 0 : order.pair_ends[c - 1];
    const std::uint64_t end = order.pair_ends.empty() ? 0 : order.pair_ends[c];
    const float weight = order.weights.empty() ? 0.0f : order.weights[c];
    if (end < first || end - first > 256 || end > order.pair_bytes.size() || !is_weight(weight)) {
      throw std::invalid_argument("a context lists at most 256 bytes, with a weight in [0, 1]");
    }
    for (std::uint64_t p = first; p < end; ++p) {
      if ((p > first && order.pair_bytes[p] <= order.pair_bytes[p - 1]) ||
          !is_probability(order.pair_probabilities[p])) {
        throw std::invalid_argument("a context's bytes ascend, with probabilities in (0, 1]");
      }
    }
    std::uint8_t* at = records + slot_of[c] * kModelRecordBytes;
    store_le<std::uint64_t>(at, first);
    store_le<std::uint32_t>(at + 8, static_cast<std::uint32_t>(end - first));
    store_le<std::uint32_t>(at + 12, float_bits(weight));
  }
}

}  // namespace

std::size_t model_image_size(int k, const std::uint64_t* contexts, const std::uint64_t* pairs) {
  std::array<std::uint64_t, kMaxModelOrder + 1> slots{};
  for (int j = 0; j <= k; ++j) slots[j] = model_slots(contexts[j]);
  Layout layout;
  return lay_out(kVersion, k, slots.data(), pairs, layout) ? layout.size : 0;
}

std::vector<std::uint8_t> write_model_image(const ModelKind& kind, std::uint64_t min_count,
                                            const std::vector<ModelOrder>& orders) {
  if (orders.empty() || orders.size() > kMaxModelOrder + 1) {
    throw std::invalid_argument("a model has contexts of 1 to 9 lengths");
  }
  if (min_count == 0) throw std::invalid_argument("min_count must be at least 1");
  if (model_kind_numbered(kind.number) != &kind) throw std::invalid_argument("unknown model kind");
  const int k = static_cast<int>(orders.size()) - 1;
  std::array<std::uint64_t, kMaxModelOrder + 1> slots{}, pairs{};
  std::uint64_t contexts = 0;
  for (int j = 0; j <= k; ++j) {
    const ModelOrder& order = orders[j];
    const std::size_t n = order.contexts.size();
    if ((!order.weights.empty() && order.weights.size() != n) ||
        (!order.pair_ends.empty() && order.pair_ends.size() != n) ||
        order.pair_bytes.size() != order.pair_probabilities.size() ||
        (order.pair_ends.empty() ? 0 : order.pair_ends.back()) != order.pair_bytes.size()) {
      throw std::invalid_argument("a model order's arrays do not match");
    }
    slots[j] = model_slots(n);
    pairs[j] = order.pair_bytes.size();
    contexts += n;
  }
  Layout layout;
  if (!lay_out(kVersion, k, slots.data(), pairs.data(), layout)) throw std::bad_alloc();

  std::vector<std::uint8_t> image(layout.size, 0);
  std::uint8_t* p = image.data();
  std::memcpy(p, kMagic, 8);
  store_le<std::uint32_t>(p + 8, kVersion);
  store_le<std::uint32_t>(p + 12, static_cast<std::uint32_t>(k));
  store_le<std::uint64_t>(p + 16, min_count);
  store_le<std::uint64_t>(p + 24, contexts);
  store_le<std::uint64_t>(p + 32, layout.size);
  store_le<std::uint32_t>(p + 40, kind.number);
  for (int j = 0; j <= k; ++j) {
    const ModelOrder& order = orders[j];
    std::uint8_t* entry = p + fixed_header(kVersion) + per_length(kVersion) * j;
    store_le<std::uint64_t>(entry, order.contexts.size());
    store_le<std::uint64_t>(entry + 8, slots[j]);
    store_le<std::uint64_t>(entry + 16, pairs[j]);
    std::vector<std::uint64_t> slot_of;
    std::uint8_t* table = p + layout.table[j];
    if (model_key_bytes(j) == 4) {
      write_table<4>(table, slots[j], j, order.contexts, slot_of);
    } else {
      write_table<8>(table, slots[j], j, order.contexts, slot_of);
    }
    write_records(p + layout.records[j], slot_of, order);
    if (pairs[j] != 0) {
      std::memcpy(p + layout.pair_bytes[j], order.pair_bytes.data(), pairs[j]);
      for (std::uint64_t q = 0; q < pairs[j]; ++q) {
        store_le<std::uint32_t>(p + layout.pair_probabilities[j] + 4 * q,
                                float_bits(order.pair_probabilities[q]));
      }
    }
  }
  store_le<std::uint32_t>(p + layout.size - kTrailer, crc32c(p, layout.size - kTrailer));
  return image;
}

ModelImageView read_model_image(const std::uint8_t* image, std::size_t size) {
  // The framing: what the bytes are, and whether they are whole.
  if (size == 0) refuse(Reason::kTruncated, "it is empty");
  if (std::memcmp(image, kMagic, size < 8 ? size : 8) != 0) {
    refuse(Reason::kForeign, "it does not start with the model magic \"QELTMODL\"");
  }
  if (size < 16) refuse(Reason::kTruncated, "it is truncated");
  const std::uint32_t version = load_le<std::uint32_t>(image + 8);
  if (version != 1 && version != 2) {
    refuse(Reason::kVersion, "unsupported version " + std::to_string(version) +
                                 " (this build reads versions 1 and 2)");
  }
  const std::uint32_t k = load_le<std::uint32_t>(image + 12);
  if (k > kMaxModelOrder) refuse(Reason::kLayout, "context length " + std::to_string(k) + " is over 8");
  if (size < header_bytes(version, static_cast<int>(k)) + kTrailer) {
    refuse(Reason::kTruncated, "it is truncated");
  }
  const std::uint64_t declared = load_le<std::uint64_t>(image + 32);
  if (declared != size) {
    refuse(declared > size ? Reason::kTruncated : Reason::kLayout,
           "it is " + std::to_string(size) + " bytes long, its header says " +
               std::to_string(declared) + (declared > size ? " (truncated)" : " (extended)"));
  }
  if (load_le<std::uint32_t>(image + size - kTrailer) != crc32c(image, size - kTrailer)) {
    refuse(Reason::kChecksum, "checksum mismatch (the file is corrupted)");
  }
  if (load_le<std::uint32_t>(image + size - 4) != 0) refuse(Reason::kLayout, "a reserved field is not zero");

  // The header's fields, and the tables they describe.
  ModelImageView view;
  view.version = version;
  view.k = static_cast<int>(k);
  view.min_count = load_le<std::uint64_t>(image + 16);
  view.contexts = load_le<std::uint64_t>(image + 24);
  if (view.min_count == 0) refuse(Reason::kLayout, "min_count is 0");
  if (version >= 2) {
    const std::uint32_t number = load_le<std::uint32_t>(image + 40);
    view.kind = model_kind_numbered(number);
    if (view.kind == nullptr) refuse(Reason::kLayout, "unknown smoothing " + std::to_string(number));
    if (load_le<std::uint32_t>(image + 44) != 0) refuse(Reason::kLayout, "a reserved field is not zero");
  } else {
    view.kind = &unsmoothed_kind();
  }
  std::array<std::uint64_t, kMaxModelOrder + 1> contexts{};
  std::uint64_t total = 0;
  for (int j = 0; j <= view.k; ++j) {
    const std::uint8_t* entry = image + fixed_header(version) + per_length(version) * j;
    contexts[j] = load_le<std::uint64_t>(entry);
    view.slots[j] = load_le<std::uint64_t>(entry + 8);
    view.pairs[j] = version >= 2 ? load_le<std::uint64_t>(entry + 16) : 0;
    // Each context and each listed byte takes more than nothing, so no count is larger
    // than the image (and their sums cannot wrap).
    if (contexts[j] > size || view.slots[j] != model_slots(contexts[j])) {
      refuse(Reason::kLayout, "a table has the wrong number of slots");
    }
    if (view.pairs[j] > size) refuse(Reason::kLayout, "a length lists more bytes than fit");
    total += contexts[j];
  }
  if (total != view.contexts) refuse(Reason::kLayout, "the context counts do not add up");
  view.contexts_of_length = contexts;
  Layout layout;
  if (!lay_out(version, view.k, view.slots.data(), view.pairs.data(), layout) ||
      layout.size != size) {
    refuse(Reason::kLayout, "its tables do not fill it");
  }
  // Every slot is checked, so that lookups can trust what they read: keys of the right
  // length, entropies that can be, as many filled slots as the header says, and
  // records that list bytes within their length's.
  for (int j = 0; j <= view.k; ++j) {
    view.tables[j] = image + layout.table[j];
    const bool narrow = model_key_bytes(j) == 4;
    const std::uint64_t filled = narrow ? filled_slots<4>(view.tables[j], view.slots[j], j)
                                        : filled_slots<8>(view.tables[j], view.slots[j], j);
    if (filled != contexts[j]) refuse(Reason::kLayout, "a table holds more or fewer contexts than declared");
    if (version == 1) continue;
    view.records[j] = image + layout.records[j];
    view.pair_bytes[j] = image + layout.pair_bytes[j];
    view.pair_probabilities[j] = image + layout.pair_probabilities[j];
    if (narrow) {
      check_records<4>(view.tables[j], view.records[j], view.slots[j], view.pair_bytes[j],
                       view.pair_probabilities[j], view.pairs[j]);
    } else {
      check_records<8>(view.tables[j], view.records[j], view.slots[j], view.pair_bytes[j],
                       view.pair_probabilities[j], view.pairs[j]);
    }
  }
  return view;
}

}  // namespace internal
}  // namespace qelt
