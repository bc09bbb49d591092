// The model file (docs/formats.md, "Model file"): a fixed header, the sizes of each
// length's tables, the tables, then a CRC-32C. Versions 1 and 2 keep one probing table
// per length (version 2 with the records of its slots and the bytes listed beside it);
// version 3, which is written, keeps a table per block of each length, each slot
// holding its record, each table followed by the lists of its contexts (format/
// model_layout.h). Written from contexts sorted by key, so that equal models give
// equal bytes; read by checking the framing first (size, magic, version, checksum) and
// the tables second, so that every fault is reported by its kind.

#include "format/model_format.h"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "format_error.h"
#include "util/crc32c.h"
#include "util/window_key.h"

namespace qelt {
namespace internal {

namespace {

using Reason = ModelFormatError::Reason;

constexpr char kMagic[8] = {'Q', 'E', 'L', 'T', 'M', 'O', 'D', 'L'};
// No entropy of 256 byte values exceeds ln 256 = 5.545...; a stored one beyond this
// bound cannot come from a model.
constexpr float kMaxEntropy = 5.6f;

[[noreturn]] void refuse(Reason reason, const std::string& why) {
  throw ModelFormatError(reason, "not a valid qelt context model: " + why);
}

bool is_entropy(float h) { return h >= 0.0f && h <= kMaxEntropy; }
bool is_weight(float w) { return w >= 0.0f && w <= 1.0f; }
bool is_probability(float p) { return p > 0.0f && p <= 1.0f; }

// --- Versions 1 and 2 -----------------------------------------------------------------------

// The fixed header, and the bytes per length that follow it.
std::size_t fixed_header(std::uint32_t version) { return version == 1 ? 40 : 48; }
std::size_t per_length(std::uint32_t version) { return version == 1 ? 16 : 24; }
std::size_t header_bytes(std::uint32_t version, int k) {
  return fixed_header(version) + per_length(version) * static_cast<std::size_t>(k + 1);
}
std::size_t slot_bytes(int length) { return model_key_bytes(length) + 4; }

// Where each length's sections start, and the image size.
struct Layout {
  std::array<std::size_t, kMaxOrder + 1> table{}, records{}, pair_bytes{},
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
  offset = static_cast<std::size_t>(align8(offset));
  return true;
}

// The layout of a version 1 or 2 image with slots[j] slots and pairs[j] listed bytes
// per length (pairs unused in version 1); false if the sizes overflow.
bool lay_out(std::uint32_t version, int k, const std::uint64_t* slots, const std::uint64_t* pairs,
             Layout& layout) {
  std::size_t offset = static_cast<std::size_t>(align8(header_bytes(version, k)));
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

// How many slots of the table of `slots` slots at `table` (contexts of `length`) are
// filled; refuses a slot no writer writes. Each filled slot's key must fall in `block`
// of 2^log2.
template <typename Slot>
std::uint64_t filled_slots(const std::uint8_t* table, std::uint64_t slots, int length,
                           int bucket, int log2, std::uint32_t block) {
  const auto* begin = reinterpret_cast<const Slot*>(table);
  const std::uint64_t mask = window_mask(static_cast<std::size_t>(length));
  std::uint64_t filled = 0;
  for (const Slot* slot = begin; slot != begin + slots; ++slot) {
    if (slot->empty()) continue;
    if (!is_entropy(slot->entropy()) || (slot->key() & ~mask) != 0 ||
        block_of(slot->key(), bucket, log2) != block) {
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

// The tables of an image of version 1 or 2, checked, into `view`.
void read_version_1_or_2(const std::uint8_t* image, std::size_t size, ModelImageView& view) {
  const std::uint32_t version = view.version;
  const int k = view.k;
  if (size < header_bytes(version, k) + kTrailer) refuse(Reason::kTruncated, "it is truncated");
  if (version >= 2) {
    if (load_le<std::uint32_t>(image + 44) != 0) refuse(Reason::kLayout, "a reserved field is not zero");
  }
  std::array<std::uint64_t, kMaxOrder + 1> slots{}, pairs{};
  std::uint64_t total = 0;
  for (int j = 0; j <= k; ++j) {
    const std::uint8_t* entry = image + fixed_header(version) + per_length(version) * j;
    LengthView& length = view.lengths[j];
    length.contexts = load_le<std::uint64_t>(entry);
    slots[j] = load_le<std::uint64_t>(entry + 8);
    pairs[j] = version >= 2 ? load_le<std::uint64_t>(entry + 16) : 0;
    length.pairs = pairs[j];
    // Each context and each listed byte takes more than nothing, so no count is larger
    // than the image (and their sums cannot wrap).
    if (length.contexts > size || slots[j] != model_slots(length.contexts)) {
      refuse(Reason::kLayout, "a table has the wrong number of slots");
    }
    if (pairs[j] > size) refuse(Reason::kLayout, "a length lists more bytes than fit");
    total += length.contexts;
  }
  if (total != view.contexts) refuse(Reason::kLayout, "the context counts do not add up");
  Layout layout;
  if (!lay_out(version, k, slots.data(), pairs.data(), layout) || layout.size != size) {
    refuse(Reason::kLayout, "its tables do not fill it");
  }
  // Every slot is checked, so that lookups can trust what they read: keys of the right
  // length, entropies that can be, as many filled slots as the header says, and
  // records that list bytes within their length's.
  for (int j = 0; j <= k; ++j) {
    BlockView block;
    block.table = image + layout.table[j];
    block.slots = slots[j];
    const bool narrow = model_key_bytes(j) == 4;
    const std::uint64_t filled =
        narrow ? filled_slots<ModelSlot<4>>(block.table, block.slots, j, 0, 0, 0)
               : filled_slots<ModelSlot<8>>(block.table, block.slots, j, 0, 0, 0);
    if (filled != view.lengths[j].contexts) {
      refuse(Reason::kLayout, "a table holds more or fewer contexts than declared");
    }
    if (version >= 2) {
      block.records = image + layout.records[j];
      block.pair_bytes = image + layout.pair_bytes[j];
      block.pair_probabilities = image + layout.pair_probabilities[j];
      if (narrow) {
        check_records<4>(block.table, block.records, block.slots, block.pair_bytes,
                         block.pair_probabilities, pairs[j]);
      } else {
        check_records<8>(block.table, block.records, block.slots, block.pair_bytes,
                         block.pair_probabilities, pairs[j]);
      }
    }
    view.lengths[j].blocks = {block};
  }
}

// --- Version 3 ------------------------------------------------------------------------------

// Checks the filled slots of a block's table (keys of its length and block, entropies
// and weights that can be) and its lists, which follow the table in the order of its
// slots, each its number of bytes less one, the bytes ascending, their probabilities
// in (0, 1]; the lists take `lists_bytes` exactly. Adds its contexts and listed bytes.
template <std::size_t KeyBytes>
void check_block3(const std::uint8_t* table, std::uint64_t slots, std::uint64_t lists_bytes,
                  int length, int bucket, int log2, std::uint32_t block,
                  std::uint64_t& contexts, std::uint64_t& pairs) {
  using Slot = ModelSlot3<KeyBytes>;
  contexts += filled_slots<Slot>(table, slots, length, bucket, log2, block);
  const auto* begin = reinterpret_cast<const Slot*>(table);
  const std::uint8_t* lists = table + slots * sizeof(Slot);
  std::uint64_t at = 0;  // in the lists
  for (std::uint64_t s = 0; s < slots; ++s) {
    const Slot& slot = begin[s];
    if (slot.empty()) {
      if (float_bits(slot.weight()) != 0 || slot.list_distance() != 0) {
        refuse(Reason::kLayout, "an empty slot has a record");
      }
      continue;
    }
    if (!is_weight(slot.weight())) refuse(Reason::kLayout, "a context's record is impossible");
    if (slot.list_distance() == 0) continue;  // it lists no byte
    const std::uint64_t expected = (slots - s) * sizeof(Slot) + at;
    if (slot.list_distance() != expected || at >= lists_bytes) {
      refuse(Reason::kLayout, "a context's list is not where it belongs");
    }
    const std::uint64_t n = std::uint64_t{lists[at]} + 1;
    if (1 + 5 * n > lists_bytes - at) refuse(Reason::kLayout, "a context's list runs past its block");
    const std::uint8_t* bytes = lists + at + 1;
    const std::uint8_t* probabilities = bytes + n;
    for (std::uint64_t p = 0; p < n; ++p) {
      if ((p > 0 && bytes[p] <= bytes[p - 1]) ||
          !is_probability(bits_float(load_le<std::uint32_t>(probabilities + 4 * p)))) {
        refuse(Reason::kLayout, "a context lists impossible bytes");
      }
    }
    pairs += n;
    at += 1 + 5 * n;
  }
  if (at != lists_bytes) refuse(Reason::kLayout, "a block's lists take more or fewer bytes than declared");
}

void read_version_3(const std::uint8_t* image, std::size_t size, ModelImageView& view) {
  const int k = view.k;
  if (size < kFixedHeader3 + kLengthEntry3 * static_cast<std::size_t>(k + 1) + kTrailer) {
    refuse(Reason::kTruncated, "it is truncated");
  }
  view.bucket = image[44];
  if (view.bucket != bucket_bytes(k) || image[45] != 0 || image[46] != 0 || image[47] != 0) {
    refuse(Reason::kLayout, "its blocks are not those of its context length");
  }
  std::array<std::uint64_t, kMaxOrder + 1> contexts{}, pairs{};
  std::array<int, kMaxOrder + 1> log2{};
  std::uint64_t total = 0;
  for (int j = 0; j <= k; ++j) {
    const std::uint8_t* entry = image + kFixedHeader3 + kLengthEntry3 * j;
    contexts[j] = load_le<std::uint64_t>(entry);
    pairs[j] = load_le<std::uint64_t>(entry + 8);
    const std::uint32_t blocks_log2_stored = load_le<std::uint32_t>(entry + 16);
    if (contexts[j] > size || pairs[j] > size) refuse(Reason::kLayout, "a length counts more than fit");
    log2[j] = blocks_log2(contexts[j], j, view.bucket);
    if (blocks_log2_stored != static_cast<std::uint32_t>(log2[j]) || load_le<std::uint32_t>(entry + 20) != 0) {
      refuse(Reason::kLayout, "a length has the wrong number of blocks");
    }
    total += contexts[j];
  }
  if (total != view.contexts) refuse(Reason::kLayout, "the context counts do not add up");
  const std::uint64_t header = header_bytes3(k, log2);
  if (header + kTrailer > size) refuse(Reason::kTruncated, "it is truncated");
  // The directories, where the layout puts them; then every section, where the layout
  // puts it from the sizes the directories give.
  std::uint64_t directory = kFixedHeader3 + kLengthEntry3 * static_cast<std::uint64_t>(k + 1);
  for (int j = 0; j <= k; ++j) {
    if (load_le<std::uint64_t>(image + kFixedHeader3 + kLengthEntry3 * j + 24) != directory) {
      refuse(Reason::kLayout, "a directory is not where it belongs");
    }
    view.lengths[j] = {contexts[j], pairs[j], log2[j], {}};
    view.lengths[j].blocks.resize(std::size_t{1} << log2[j]);
    directory += kBlockEntry3 << log2[j];
  }
  std::array<std::uint64_t, kMaxOrder + 1> directory_of{};
  directory = kFixedHeader3 + kLengthEntry3 * static_cast<std::uint64_t>(k + 1);
  for (int j = 0; j <= k; ++j) {
    directory_of[j] = directory;
    directory += kBlockEntry3 << log2[j];
  }
  std::uint64_t offset = align8(header);
  std::uint64_t written = header;  // the end of what was read so far: what follows is padding
  std::array<std::uint64_t, kMaxOrder + 1> counted{}, listed{};
  auto zero_until = [&](std::uint64_t end) {
    for (std::uint64_t p = written; p < end; ++p) {
      if (image[p] != 0) refuse(Reason::kLayout, "padding that is not zero");
    }
  };
  for (const SectionId& id : section_order(k, log2)) {
    const std::uint8_t* entry = image + directory_of[id.length] + kBlockEntry3 * id.block;
    const std::uint64_t table_offset = load_le<std::uint64_t>(entry);
    const std::uint64_t slots = load_le<std::uint64_t>(entry + 8);
    const std::uint64_t lists_offset = load_le<std::uint64_t>(entry + 16);
    const std::uint64_t lists_bytes = load_le<std::uint64_t>(entry + 24);
    BlockView& block = view.lengths[id.length].blocks[id.block];
    if (slots == 0) {
      if (table_offset != 0 || lists_offset != 0 || lists_bytes != 0) {
        refuse(Reason::kLayout, "an empty block has a place");
      }
      continue;
    }
    if (slots > size || lists_bytes > size || table_offset != offset ||
        lists_offset != offset + slots * slot_bytes3(id.length) ||
        lists_offset + lists_bytes > size - kTrailer) {
      refuse(Reason::kLayout, "its tables do not fill it");
    }
    zero_until(table_offset);
    block.table = image + table_offset;
    block.slots = slots;
    block.lists = image + lists_offset;
    std::uint64_t in_block = 0;
    if (key_bytes3(id.length) == 4) {
      check_block3<4>(block.table, slots, lists_bytes, id.length, view.bucket, log2[id.length],
                      id.block, in_block, listed[id.length]);
    } else {
      check_block3<8>(block.table, slots, lists_bytes, id.length, view.bucket, log2[id.length],
                      id.block, in_block, listed[id.length]);
    }
    if (in_block == 0 || slots != model_slots(in_block)) {
      refuse(Reason::kLayout, "a table has the wrong number of slots");
    }
    counted[id.length] += in_block;
    written = lists_offset + lists_bytes;
    offset = align8(written);
  }
  if (offset + kTrailer != size) refuse(Reason::kLayout, "its tables do not fill it");
  zero_until(size - kTrailer);
  for (int j = 0; j <= k; ++j) {
    if (counted[j] != contexts[j]) refuse(Reason::kLayout, "a table holds more or fewer contexts than declared");
    if (listed[j] != pairs[j]) refuse(Reason::kLayout, "the contexts list more or fewer bytes than declared");
  }
}

// Places the contexts of `order` in the table of `slots` slots at `table`; the slot of
// each into `slot_of`. Refuses contents that no model has.
template <std::size_t KeyBytes>
void place_contexts(std::uint8_t* table, std::uint64_t slots, int length, const ModelOrder& order,
                    std::vector<std::uint64_t>& slot_of) {
  using Slot = ModelSlot3<KeyBytes>;
  auto* begin = reinterpret_cast<Slot*>(table);
  StoredTable<Slot> probing(begin, slots);
  for (Slot& slot : probing) slot.clear();
  const std::vector<ContextEntropy>& contexts = order.contexts;
  slot_of.resize(contexts.size());
  const std::uint64_t mask = window_mask(static_cast<std::size_t>(length));
  // Keys come in ascending order, their homes anywhere: the slot of the context
  // kAhead further on is prefetched.
  constexpr std::size_t kAhead = 16;
  std::uint64_t previous = 0;
  for (std::size_t c = 0; c < contexts.size(); ++c) {
    if (c + kAhead < contexts.size()) probing.prefetch(contexts[c + kAhead].key);
    const ContextEntropy& context = contexts[c];
    const float weight = order.weights.empty() ? 0.0f : order.weights[c];
    if ((c > 0 && context.key <= previous) || (context.key & ~mask) != 0 ||
        !is_entropy(context.entropy) || !is_weight(weight)) {
      throw std::invalid_argument("contexts must be sorted, distinct, of their length, "
                                  "with entropies of byte distributions and weights in [0, 1]");
    }
    previous = context.key;
    Slot* const slot = probing.probe(context.key);
    slot->set(context.key, context.entropy);
    slot->set_weight(weight);
    slot->set_list_distance(0);
    slot_of[c] = static_cast<std::uint64_t>(slot - begin);
  }
}

}  // namespace

std::size_t model_image_size(int k, const std::uint64_t* contexts, const std::uint64_t* pairs) {
  std::array<std::uint64_t, kMaxOrder + 1> slots{};
  for (int j = 0; j <= k; ++j) slots[j] = model_slots(contexts[j]);
  Layout layout;
  return lay_out(2, k, slots.data(), pairs, layout) ? layout.size : 0;
}

SectionBytes write_section(int length, const ModelOrder& order) {
  const std::size_t n = order.contexts.size();
  if ((!order.weights.empty() && order.weights.size() != n) ||
      (!order.pair_ends.empty() && order.pair_ends.size() != n) ||
      order.pair_bytes.size() != order.pair_probabilities.size() ||
      (order.pair_ends.empty() ? 0 : order.pair_ends.back()) != order.pair_bytes.size()) {
    throw std::invalid_argument("a model order's arrays do not match");
  }
  SectionBytes section;
  section.contexts = n;
  section.pairs = order.pair_bytes.size();
  section.slots = model_slots(n);
  const std::uint64_t table_bytes = section.slots * slot_bytes3(length);
  std::uint64_t lists = 0;
  for (std::size_t c = 0; c < n; ++c) {
    const std::uint64_t first = c == 0 || order.pair_ends.empty() ? 0 : order.pair_ends[c - 1];
    const std::uint64_t end = order.pair_ends.empty() ? 0 : order.pair_ends[c];
    if (end < first || end - first > 256) {
      throw std::invalid_argument("a context lists at most 256 bytes");
    }
    lists += list_bytes(end - first);
  }
  if (table_bytes + lists > std::uint64_t{0xFFFFFFFF}) {
    throw std::length_error("a block of a model over 4 GiB");
  }
  section.lists_bytes = lists;
  section.bytes.assign(table_bytes + lists, 0);
  std::uint8_t* table = section.bytes.data();
  std::vector<std::uint64_t> slot_of;
  if (key_bytes3(length) == 4) {
    place_contexts<4>(table, section.slots, length, order, slot_of);
  } else {
    place_contexts<8>(table, section.slots, length, order, slot_of);
  }
  // The lists, in the order of the slots.
  std::vector<std::int64_t> context_in(section.slots, -1);
  for (std::size_t c = 0; c < n; ++c) context_in[slot_of[c]] = static_cast<std::int64_t>(c);
  const std::size_t width = slot_bytes3(length);
  std::uint64_t at = table_bytes;
  for (std::uint64_t s = 0; s < section.slots; ++s) {
    if (context_in[s] < 0) continue;
    const std::size_t c = static_cast<std::size_t>(context_in[s]);
    const std::uint64_t first = c == 0 || order.pair_ends.empty() ? 0 : order.pair_ends[c - 1];
    const std::uint64_t end = order.pair_ends.empty() ? 0 : order.pair_ends[c];
    if (end == first) continue;
    std::uint8_t* list = table + at;
    list[0] = static_cast<std::uint8_t>(end - first - 1);
    for (std::uint64_t p = first; p < end; ++p) {
      if ((p > first && order.pair_bytes[p] <= order.pair_bytes[p - 1]) ||
          !is_probability(order.pair_probabilities[p])) {
        throw std::invalid_argument("a context's bytes ascend, with probabilities in (0, 1]");
      }
      list[1 + (p - first)] = order.pair_bytes[p];
      store_le<std::uint32_t>(list + 1 + (end - first) + 4 * (p - first),
                              float_bits(order.pair_probabilities[p]));
    }
    set_slot_list_distance3(table + s * width, key_bytes3(length),
                            static_cast<std::uint32_t>(at - s * width));
    at += list_bytes(end - first);
  }
  return section;
}

void append_context(ModelOrder& to, const ModelOrder& from, std::size_t c) {
  to.contexts.push_back(from.contexts[c]);
  if (!from.weights.empty()) to.weights.push_back(from.weights[c]);
  if (from.pair_ends.empty()) return;
  const std::uint64_t begin = c == 0 ? 0 : from.pair_ends[c - 1];
  const std::uint64_t end = from.pair_ends[c];
  to.pair_bytes.insert(to.pair_bytes.end(), from.pair_bytes.begin() + begin,
                       from.pair_bytes.begin() + end);
  to.pair_probabilities.insert(to.pair_probabilities.end(),
                               from.pair_probabilities.begin() + begin,
                               from.pair_probabilities.begin() + end);
  to.pair_ends.push_back(to.pair_bytes.size());
}

std::vector<ModelOrder> orders_by_block(const ModelOrder& order, int bucket, int log2,
                                        std::uint32_t first, std::uint32_t count) {
  std::vector<ModelOrder> blocks(count);
  for (std::size_t c = 0; c < order.contexts.size(); ++c) {
    const std::uint32_t block = block_of(order.contexts[c].key, bucket, log2);
    if (block < first || block - first >= count) {
      throw std::logic_error("a context outside the blocks of its share");
    }
    append_context(blocks[block - first], order, c);
  }
  return blocks;
}

ImageLayout::ImageLayout(const ModelKind& kind, std::uint64_t min_count, int k,
                         const std::array<std::uint64_t, kMaxOrder + 1>& contexts,
                         const std::array<std::uint64_t, kMaxOrder + 1>& pairs)
    : kind_(&kind), min_count_(min_count), k_(k), contexts_(contexts), pairs_(pairs) {
  if (k < 0 || k > kMaxOrder) throw std::invalid_argument("a model has contexts of 1 to " + std::to_string(kMaxOrder + 1) + " lengths");
  if (min_count == 0) throw std::invalid_argument("min_count must be at least 1");
  if (model_kind_numbered(kind.number) != &kind) throw std::invalid_argument("unknown model kind");
  for (int j = 0; j <= k; ++j) log2_[j] = internal::blocks_log2(contexts[j], j, bucket_bytes(k));
  order_ = section_order(k, log2_);
  sizes_.resize(order_.size());
}

void ImageLayout::set_section(std::size_t position, std::uint64_t slots,
                              std::uint64_t lists_bytes, std::uint64_t contexts,
                              std::uint64_t pairs) {
  sizes_.at(position) = {slots, lists_bytes, contexts, pairs, true};
  placed_ = false;
}

void ImageLayout::place() const {
  if (placed_) return;
  offsets_.assign(order_.size(), 0);
  starts_.assign(order_.size() + 1, 0);
  std::uint64_t offset = header_bytes();
  for (std::size_t i = 0; i < order_.size(); ++i) {
    const Sizes& s = sizes_[i];
    if (!s.set) throw std::logic_error("a section of the model has no size yet");
    starts_[i] = offset;
    if (s.slots == 0) continue;
    offsets_[i] = offset;
    offset = align8(offset + s.slots * slot_bytes3(order_[i].length) + s.lists_bytes);
  }
  starts_[order_.size()] = offset;
  size_ = offset + kTrailer;
  placed_ = true;
}

std::uint64_t ImageLayout::section_start(std::size_t position) const {
  place();
  return starts_.at(position);
}

std::uint64_t ImageLayout::section_end(std::size_t position) const {
  place();
  return starts_.at(position + 1);
}

std::uint64_t ImageLayout::section_offset(std::size_t position) const {
  place();
  return offsets_.at(position);
}

std::uint64_t ImageLayout::size() const {
  place();
  return size_;
}

std::vector<std::uint8_t> ImageLayout::header() const {
  place();
  std::array<std::uint64_t, kMaxOrder + 1> contexts{}, pairs{};
  for (std::size_t i = 0; i < order_.size(); ++i) {
    contexts[order_[i].length] += sizes_[i].contexts;
    pairs[order_[i].length] += sizes_[i].pairs;
  }
  if (contexts != contexts_ || pairs != pairs_) {
    throw std::invalid_argument("the sections of a model hold other contexts than its counts");
  }
  std::vector<std::uint8_t> header(header_bytes(), 0);
  std::uint8_t* p = header.data();
  std::uint64_t total = 0;
  for (int j = 0; j <= k_; ++j) total += contexts_[j];
  std::memcpy(p, kMagic, 8);
  store_le<std::uint32_t>(p + 8, kVersion3);
  store_le<std::uint32_t>(p + 12, static_cast<std::uint32_t>(k_));
  store_le<std::uint64_t>(p + 16, min_count_);
  store_le<std::uint64_t>(p + 24, total);
  store_le<std::uint64_t>(p + 32, size_);
  store_le<std::uint32_t>(p + 40, kind_->number);
  p[44] = static_cast<std::uint8_t>(bucket_bytes(k_));
  std::uint64_t directory = kFixedHeader3 + kLengthEntry3 * static_cast<std::uint64_t>(k_ + 1);
  std::array<std::uint64_t, kMaxOrder + 1> directory_of{};
  for (int j = 0; j <= k_; ++j) {
    std::uint8_t* entry = p + kFixedHeader3 + kLengthEntry3 * j;
    store_le<std::uint64_t>(entry, contexts_[j]);
    store_le<std::uint64_t>(entry + 8, pairs_[j]);
    store_le<std::uint32_t>(entry + 16, static_cast<std::uint32_t>(log2_[j]));
    store_le<std::uint64_t>(entry + 24, directory);
    directory_of[j] = directory;
    directory += kBlockEntry3 << log2_[j];
  }
  for (std::size_t i = 0; i < order_.size(); ++i) {
    const Sizes& s = sizes_[i];
    if (s.slots == 0) continue;
    std::uint8_t* entry = p + directory_of[order_[i].length] + kBlockEntry3 * order_[i].block;
    store_le<std::uint64_t>(entry, offsets_[i]);
    store_le<std::uint64_t>(entry + 8, s.slots);
    store_le<std::uint64_t>(entry + 16, offsets_[i] + s.slots * slot_bytes3(order_[i].length));
    store_le<std::uint64_t>(entry + 24, s.lists_bytes);
  }
  return header;
}

void seal_image(std::uint8_t* image, std::size_t size) {
  store_le<std::uint32_t>(image + size - kTrailer, crc32c(image, size - kTrailer));
  store_le<std::uint32_t>(image + size - 4, 0);
}

std::vector<std::uint8_t> write_model_image(const ModelKind& kind, std::uint64_t min_count,
                                            const std::vector<ModelOrder>& orders) {
  if (orders.empty() || orders.size() > kMaxOrder + 1) {
    throw std::invalid_argument("a model has contexts of 1 to " + std::to_string(kMaxOrder + 1) + " lengths");
  }
  const int k = static_cast<int>(orders.size()) - 1;
  std::array<std::uint64_t, kMaxOrder + 1> contexts{}, pairs{};
  for (int j = 0; j <= k; ++j) {
    contexts[j] = orders[j].contexts.size();
    pairs[j] = orders[j].pair_bytes.size();
  }
  ImageLayout layout(kind, min_count, k, contexts, pairs);
  std::vector<std::vector<ModelOrder>> blocks(orders.size());
  for (int j = 0; j <= k; ++j) {
    const int log2 = layout.blocks_log2()[j];
    blocks[j] = orders_by_block(orders[j], bucket_bytes(k), log2, 0, std::uint32_t{1} << log2);
  }
  std::vector<SectionBytes> sections;
  sections.reserve(layout.order().size());
  for (std::size_t i = 0; i < layout.order().size(); ++i) {
    const SectionId id = layout.order()[i];
    sections.push_back(write_section(id.length, blocks[id.length][id.block]));
    const SectionBytes& s = sections.back();
    layout.set_section(i, s.slots, s.lists_bytes, s.contexts, s.pairs);
  }
  std::vector<std::uint8_t> image(layout.size(), 0);
  const std::vector<std::uint8_t> header = layout.header();
  std::memcpy(image.data(), header.data(), header.size());
  for (std::size_t i = 0; i < sections.size(); ++i) {
    if (sections[i].slots == 0) continue;
    std::memcpy(image.data() + layout.section_offset(i), sections[i].bytes.data(),
                sections[i].bytes.size());
  }
  seal_image(image.data(), image.size());
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
  if (version < 1 || version > kVersion3) {
    refuse(Reason::kVersion, "unsupported version " + std::to_string(version) +
                                 " (this build reads versions 1 to 3)");
  }
  const std::uint32_t k = load_le<std::uint32_t>(image + 12);
  if (k > kMaxOrder) refuse(Reason::kLayout, "context length " + std::to_string(k) + " is over " + std::to_string(kMaxOrder));
  if (size < 48 + kTrailer) refuse(Reason::kTruncated, "it is truncated");
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

  ModelImageView view;
  view.version = version;
  view.k = static_cast<int>(k);
  view.min_count = load_le<std::uint64_t>(image + 16);
  view.contexts = load_le<std::uint64_t>(image + 24);
  if (view.min_count == 0) refuse(Reason::kLayout, "min_count is 0");
  view.kind = &unsmoothed_kind();
  if (version >= 2) {
    const std::uint32_t number = load_le<std::uint32_t>(image + 40);
    view.kind = model_kind_numbered(number);
    if (view.kind == nullptr) refuse(Reason::kLayout, "unknown smoothing " + std::to_string(number));
  }
  if (version <= 2) {
    read_version_1_or_2(image, size, view);
  } else {
    read_version_3(image, size, view);
  }
  return view;
}

}  // namespace internal
}  // namespace qelt
