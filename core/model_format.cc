// The model file, version 1 (docs/formats.md, "Model file"): a fixed header, the
// number of contexts and of slots of each length, then one probing table per length,
// then a CRC-32C. Written from contexts sorted by key, so that equal models give equal
// bytes; read by checking the framing first (size, magic, version, checksum) and the
// tables second, so that every fault is reported by its kind.

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "format_error.h"
#include "internal/crc32c.h"
#include "internal/model_format.h"
#include "internal/window_key.h"

namespace qelt {
namespace internal {

namespace {

using Reason = ModelFormatError::Reason;

constexpr char kMagic[8] = {'Q', 'E', 'L', 'T', 'M', 'O', 'D', 'L'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kFixedHeader = 40;
constexpr std::size_t kTrailer = 8;
// No entropy of 256 byte values exceeds ln 256 = 5.545...; a stored one beyond this
// bound cannot come from a model.
constexpr float kMaxEntropy = 5.6f;

std::size_t header_bytes(int k) { return kFixedHeader + 16 * static_cast<std::size_t>(k + 1); }
std::size_t align8(std::size_t x) { return (x + 7) & ~std::size_t{7}; }
std::size_t slot_bytes(int length) { return model_key_bytes(length) + 4; }

[[noreturn]] void refuse(Reason reason, const std::string& why) {
  throw ModelFormatError(reason, "not a valid qelt context model: " + why);
}

// Where each table starts, and the image size, for the given slot counts.
struct Layout {
  std::array<std::size_t, kMaxModelOrder + 1> table_offset{};
  std::size_t size = 0;
};

// The layout for tables of slots[0..k]; false if the sizes overflow.
bool lay_out(int k, const std::uint64_t* slots, Layout& layout) {
  std::size_t offset = align8(header_bytes(k));
  for (int j = 0; j <= k; ++j) {
    const std::size_t bytes = slot_bytes(j);
    if (slots[j] > (SIZE_MAX - offset) / bytes) return false;
    layout.table_offset[j] = offset;
    offset = offset + static_cast<std::size_t>(slots[j]) * bytes;
    if (offset > SIZE_MAX - 7 - kTrailer) return false;
    offset = align8(offset);
  }
  layout.size = offset + kTrailer;
  return true;
}

bool is_entropy(float h) { return h >= 0.0f && h <= kMaxEntropy; }

// Fills the table of `slots` slots at `table` (contexts of `length`) with `contexts`.
template <std::size_t KeyBytes>
void write_table(std::uint8_t* table, std::uint64_t slots, int length,
                 const std::vector<ContextEntropy>& contexts) {
  auto* begin = reinterpret_cast<ModelSlot<KeyBytes>*>(table);
  ModelTable<KeyBytes> probing(begin, slots);
  for (ModelSlot<KeyBytes>& slot : probing) slot.clear();
  const std::uint64_t mask = window_mask(static_cast<std::size_t>(length));
  // Keys come in ascending order, their homes anywhere: the slot of the context
  // kAhead further on is requested early.
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
    probing.probe(context.key)->set(context.key, context.entropy);
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

}  // namespace

std::size_t model_image_size(int k, const std::uint64_t* contexts) {
  std::array<std::uint64_t, kMaxModelOrder + 1> slots{};
  for (int j = 0; j <= k; ++j) slots[j] = model_slots(contexts[j]);
  Layout layout;
  return lay_out(k, slots.data(), layout) ? layout.size : 0;
}

std::vector<std::uint8_t> write_model_image(
    std::uint64_t min_count, const std::vector<std::vector<ContextEntropy>>& orders) {
  if (orders.empty() || orders.size() > kMaxModelOrder + 1) {
    throw std::invalid_argument("a model has contexts of 1 to 9 lengths");
  }
  if (min_count == 0) throw std::invalid_argument("min_count must be at least 1");
  const int k = static_cast<int>(orders.size()) - 1;
  std::array<std::uint64_t, kMaxModelOrder + 1> slots{};
  std::uint64_t contexts = 0;
  for (int j = 0; j <= k; ++j) {
    slots[j] = model_slots(orders[j].size());
    contexts += orders[j].size();
  }
  Layout layout;
  if (!lay_out(k, slots.data(), layout)) throw std::bad_alloc();

  std::vector<std::uint8_t> image(layout.size, 0);
  std::uint8_t* p = image.data();
  std::memcpy(p, kMagic, 8);
  store_le<std::uint32_t>(p + 8, kVersion);
  store_le<std::uint32_t>(p + 12, static_cast<std::uint32_t>(k));
  store_le<std::uint64_t>(p + 16, min_count);
  store_le<std::uint64_t>(p + 24, contexts);
  store_le<std::uint64_t>(p + 32, layout.size);
  for (int j = 0; j <= k; ++j) {
    store_le<std::uint64_t>(p + kFixedHeader + 16 * j, orders[j].size());
    store_le<std::uint64_t>(p + kFixedHeader + 16 * j + 8, slots[j]);
    std::uint8_t* table = p + layout.table_offset[j];
    if (model_key_bytes(j) == 4) {
      write_table<4>(table, slots[j], j, orders[j]);
    } else {
      write_table<8>(table, slots[j], j, orders[j]);
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
  if (version != kVersion) {
    refuse(Reason::kVersion, "unsupported version " + std::to_string(version) +
                                 " (this build reads version " + std::to_string(kVersion) + ")");
  }
  const std::uint32_t k = load_le<std::uint32_t>(image + 12);
  if (k > kMaxModelOrder) refuse(Reason::kLayout, "context length " + std::to_string(k) + " is over 8");
  if (size < header_bytes(static_cast<int>(k)) + kTrailer) refuse(Reason::kTruncated, "it is truncated");
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
  view.k = static_cast<int>(k);
  view.min_count = load_le<std::uint64_t>(image + 16);
  view.contexts = load_le<std::uint64_t>(image + 24);
  if (view.min_count == 0) refuse(Reason::kLayout, "min_count is 0");
  std::array<std::uint64_t, kMaxModelOrder + 1> contexts{};
  std::uint64_t total = 0;
  for (int j = 0; j <= view.k; ++j) {
    contexts[j] = load_le<std::uint64_t>(image + kFixedHeader + 16 * j);
    view.slots[j] = load_le<std::uint64_t>(image + kFixedHeader + 16 * j + 8);
    // Each context takes more than a byte, so no count is larger than the image (and
    // their sum cannot wrap).
    if (contexts[j] > size || view.slots[j] != model_slots(contexts[j])) {
      refuse(Reason::kLayout, "a table has the wrong number of slots");
    }
    total += contexts[j];
  }
  if (total != view.contexts) refuse(Reason::kLayout, "the context counts do not add up");
  view.contexts_of_length = contexts;
  Layout layout;
  if (!lay_out(view.k, view.slots.data(), layout) || layout.size != size) {
    refuse(Reason::kLayout, "its tables do not fill it");
  }
  // Every slot is checked, so that lookups can trust what they read: keys of the right
  // length, entropies that can be, and as many filled slots as the header says.
  for (int j = 0; j <= view.k; ++j) {
    view.tables[j] = image + layout.table_offset[j];
    const std::uint64_t filled = model_key_bytes(j) == 4
                                     ? filled_slots<4>(view.tables[j], view.slots[j], j)
                                     : filled_slots<8>(view.tables[j], view.slots[j], j);
    if (filled != contexts[j]) refuse(Reason::kLayout, "a table holds more or fewer contexts than declared");
  }
  return view;
}

}  // namespace internal
}  // namespace qelt
