// A frozen context model is its file image, used in place: loading maps the file and
// checks it (format/model_format.cc), and lookups probe the mapped tables directly, so
// a model of any size costs no copy and every process that loads it shares the pages.
// The entropy at a position is that of the longest suffix of its context that a
// table holds: the table of length k first, down to the empty context. A table is
// that of the context's block (files of version 3 cut the longer lengths into blocks
// by the context's last bytes; earlier ones have one block). Entropies read the tables
// alone; a probability also reads the record of the slot found (in the slot itself
// from version 3) and the bytes it lists, and goes on to shorter suffixes only for a
// byte not listed.

#include "context_model.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "format/model_format.h"
#include "util/window_key.h"

namespace qelt {

namespace {

using internal::ModelSlot;
using internal::ModelSlot3;
using internal::StoredTable;

// The slot of `key` in the table of `slots` slots at `table`, or null; its entropy.
template <typename Slot>
const std::uint8_t* find(const std::uint8_t* table, std::uint64_t slots, std::uint64_t key,
                         float& entropy) {
  const auto* begin = reinterpret_cast<const Slot*>(table);
  const StoredTable<const Slot> probing(begin, slots);
  const Slot* slot = probing.find(key);
  if (slot == nullptr) return nullptr;
  entropy = slot->entropy();
  return slot->bytes;
}

// The key of the `length` bytes before `end` (fewer if `length` is more than k).
std::uint64_t key_before(const std::uint8_t* end, std::size_t length) {
  std::uint64_t key = 0;
  for (std::size_t i = length; i > 0; --i) key = key << 8 | end[-static_cast<std::ptrdiff_t>(i)];
  return key;
}

}  // namespace

ContextModel ContextModel::build(const ModelKind& kind, std::uint64_t min_count,
                                 const std::vector<ModelOrder>& orders) {
  return from_image(internal::write_model_image(kind, min_count, orders));
}

ContextModel ContextModel::build(std::uint64_t min_count,
                                 const std::vector<std::vector<ContextEntropy>>& orders) {
  std::vector<ModelOrder> entropies_only(orders.size());
  for (std::size_t j = 0; j < orders.size(); ++j) entropies_only[j].contexts = orders[j];
  return build(unsmoothed_kind(), min_count, entropies_only);
}

ContextModel ContextModel::from_image(std::vector<std::uint8_t> image) {
  auto owned = std::make_shared<const std::vector<std::uint8_t>>(std::move(image));
  return view_image(owned, owned->data(), owned->size());
}

ContextModel ContextModel::load(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    throw std::system_error(errno, std::generic_category(), path);
  }
  if (!S_ISREG(info.st_mode)) {
    throw std::system_error(S_ISDIR(info.st_mode) ? EISDIR : EINVAL, std::generic_category(),
                            path + " is not a regular file");
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    throw std::system_error(error, std::generic_category(), path);
  }
  if (info.st_size == 0) {
    ::close(fd);
    return view_image(nullptr, nullptr, 0);  // refused as empty, as an empty image is
  }
  const std::size_t size = static_cast<std::size_t>(info.st_size);
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  const int error = errno;
  ::close(fd);  // the mapping outlives the descriptor
  if (mapped == MAP_FAILED) throw std::system_error(error, std::generic_category(), path);
  std::shared_ptr<const void> owner(mapped, [size](const void* p) {
    ::munmap(const_cast<void*>(p), size);
  });
  return view_image(std::move(owner), static_cast<const std::uint8_t*>(mapped), size);
}

ContextModel ContextModel::view_image(std::shared_ptr<const void> owner, const std::uint8_t* image,
                                std::size_t size) {
  const internal::ModelImageView view = internal::read_model_image(image, size);
  ContextModel model;
  model.owner_ = std::move(owner);
  model.image_ = image;
  model.image_size_ = size;
  model.k_ = view.k;
  model.min_count_ = view.min_count;
  model.contexts_ = view.contexts;
  model.kind_ = view.kind;
  // Below every kept context: the uniform distribution's entropy, or none.
  model.floor_entropy_ =
      view.kind->floor_probability > 0.0 ? static_cast<float>(std::log(256.0)) : 0.0f;
  model.version_ = view.version;
  model.bucket_ = view.bucket;
  for (int j = 0; j <= view.k; ++j) {
    const internal::LengthView& from = view.lengths[j];
    Length& length = model.lengths_[j];
    length.contexts = from.contexts;
    length.blocks_log2 = from.blocks_log2;
    length.inline_records = view.version >= 3;
    length.key_bytes = internal::model_key_bytes(j);
    length.slot_bytes = length.inline_records ? internal::slot_bytes3(j) : length.key_bytes + 4;
    for (const internal::BlockView& block : from.blocks) {
      length.blocks.push_back({block.table, block.slots, block.slots, block.records,
                               block.pair_bytes, block.pair_probabilities});
    }
  }
  return model;
}

float ContextModel::entropy(std::uint64_t context) const { return entropy_of(context, k_); }

const ContextModel::Block& ContextModel::block_of(int length, std::uint64_t key) const {
  const Length& of = lengths_[length];
  return of.blocks[internal::block_of(key, bucket_, of.blocks_log2)];
}

const std::uint8_t* ContextModel::find_slot(int length, std::uint64_t key, float& entropy) const {
  const Block& block = block_of(length, key);
  if (block.slot_count == 0) return nullptr;
  const Length& of = lengths_[length];
  if (of.inline_records) {
    return of.key_bytes == 4 ? find<ModelSlot3<4>>(block.slots, block.slot_count, key, entropy)
                             : find<ModelSlot3<8>>(block.slots, block.slot_count, key, entropy);
  }
  return of.key_bytes == 4 ? find<ModelSlot<4>>(block.slots, block.slot_count, key, entropy)
                           : find<ModelSlot<8>>(block.slots, block.slot_count, key, entropy);
}

int ContextModel::longest_kept(std::uint64_t key, int length, const std::uint8_t*& slot,
                               float& entropy) const {
  for (int j = length; j >= 0; --j) {
    slot = find_slot(j, key & internal::window_mask(static_cast<std::size_t>(j)), entropy);
    if (slot != nullptr) return j;
  }
  return -1;
}

ContextModel::Listed ContextModel::listed(int length, const std::uint8_t* slot) const {
  const Length& of = lengths_[length];
  Listed out;
  if (of.inline_records) {
    out.weight = internal::bits_float(internal::load_le<std::uint32_t>(slot + of.key_bytes + 4));
    const std::uint32_t distance = internal::load_le<std::uint32_t>(slot + of.key_bytes + 8);
    if (distance != 0) {
      const std::uint8_t* list = slot + distance;
      out.count = std::uint32_t{list[0]} + 1;
      out.bytes = list + 1;
      out.probabilities = list + 1 + out.count;
    }
    return out;
  }
  const Block& block = of.blocks[0];  // before version 3, a length is one block
  const internal::ModelRecord record = internal::load_model_record(
      block.records, static_cast<std::uint64_t>(slot - block.slots) / of.slot_bytes);
  out.weight = record.weight;
  out.count = record.pairs;
  out.bytes = block.pair_bytes + record.first_pair;
  out.probabilities = block.pair_probabilities + 4 * record.first_pair;
  return out;
}

void ContextModel::prefetch_home(int length, std::uint64_t key, bool record) const {
  const Block& block = block_of(length, key);
  if (block.slot_count == 0) return;
  const std::size_t home = internal::AnySizeHome(block.home_scale)(internal::fmix64(key));
  __builtin_prefetch(block.slots + home * lengths_[length].slot_bytes);
  if (record && block.records != nullptr) {
    __builtin_prefetch(block.records + home * internal::kModelRecordBytes);
  }
}

float ContextModel::entropy_after(const std::uint8_t* context, std::size_t length) const {
  const std::size_t used = std::min(length, static_cast<std::size_t>(k_));
  return entropy_of(key_before(context + length, used), used);
}

float ContextModel::entropy_of(std::uint64_t key, std::size_t length) const {
  const std::uint8_t* slot;
  float h;
  const int used = static_cast<int>(std::min(length, static_cast<std::size_t>(k_)));
  return longest_kept(key, used, slot, h) >= 0 ? h : floor_entropy_;
}

void ContextModel::longest_suffix(std::uint64_t key, std::size_t length, Suffix& into) const {
  into.context = key;
  const int used = static_cast<int>(std::min(length, static_cast<std::size_t>(k_)));
  into.length = longest_kept(key, used, into.slot, into.entropy);
  if (into.length < 0) into.entropy = floor_entropy_;
}

void ContextModel::prefetch(std::uint64_t key) const { prefetch_home(k_, key, true); }

void ContextModel::prefetch_listed(int length, const std::uint8_t* slot) const {
  if (length < 0 || !has_probabilities()) return;
  const Listed list = listed(length, slot);
  if (list.count == 0) return;
  __builtin_prefetch(list.bytes);
  __builtin_prefetch(list.probabilities);
}

double ContextModel::probability(const Suffix& suffix, std::uint8_t byte) const {
  double p;
  probabilities(suffix, &byte, 1, &p);
  return p;
}

void ContextModel::probabilities(const Suffix& suffix, const std::uint8_t* bytes,
                                 std::size_t count, double* out) const {
  // As probability() for each byte, level by level: a byte is looked for in the list
  // of each kept suffix, longest first, until one lists it.
  constexpr double kPending = -1.0;
  std::fill(out, out + count, kPending);
  std::size_t pending = count;
  double scale = 1.0;
  for (int j = suffix.length; j >= 0 && pending != 0 && scale != 0.0; --j) {
    const std::uint8_t* slot = suffix.slot;
    if (j != suffix.length) {
      float unused;
      slot = find_slot(j, suffix.context & internal::window_mask(static_cast<std::size_t>(j)),
                       unused);
      if (slot == nullptr) continue;
    }
    const Listed list = listed(j, slot);
    const std::uint8_t* first = list.bytes;
    for (std::size_t i = 0; i < count; ++i) {
      if (out[i] != kPending || list.count == 0) continue;
      const std::uint8_t* at =
          static_cast<const std::uint8_t*>(std::memchr(first, bytes[i], list.count));
      if (at != nullptr) {
        out[i] = scale * internal::bits_float(internal::load_le<std::uint32_t>(
                             list.probabilities + 4 * static_cast<std::size_t>(at - first)));
        --pending;
      }
    }
    scale *= list.weight;
  }
  const double floor = kind_->floor_probability;
  const double rest = suffix.length < 0 ? floor : scale * floor;
  for (std::size_t i = 0; i < count; ++i) {
    if (out[i] == kPending) out[i] = rest;
  }
}

void ContextModel::probabilities(const std::uint8_t* context, std::size_t length,
                                 double* out) const {
  if (!has_probabilities()) {
    throw std::logic_error("a version 1 model file holds entropies only, no probabilities");
  }
  const std::size_t used = std::min(length, static_cast<std::size_t>(k_));
  const std::uint64_t key = key_before(context + length, used);
  // The kept suffixes, longest first; the distribution is built from the shortest up.
  std::array<const std::uint8_t*, kMaxOrder + 1> slots{};
  for (int j = static_cast<int>(used); j >= 0; --j) {
    float unused;
    slots[j] = find_slot(j, key & internal::window_mask(static_cast<std::size_t>(j)), unused);
  }
  std::fill(out, out + 256, kind_->floor_probability);
  for (int j = 0; j <= static_cast<int>(used); ++j) {
    if (slots[j] == nullptr) continue;
    const Listed list = listed(j, slots[j]);
    for (int b = 0; b < 256; ++b) out[b] *= list.weight;
    for (std::uint32_t p = 0; p < list.count; ++p) {
      out[list.bytes[p]] =
          internal::bits_float(internal::load_le<std::uint32_t>(list.probabilities + 4 * p));
    }
  }
}

void ContextModel::score_positions(const std::uint8_t* data, std::size_t n, std::size_t begin,
                                   std::size_t end, float* entropy, double* probability) const {
  if (probability == nullptr) {
    entropies_at(data, n, begin, end, entropy);
    return;
  }
  if (!has_probabilities()) {
    throw std::logic_error("a version 1 model file holds entropies only, no probabilities");
  }
  const std::size_t k = static_cast<std::size_t>(k_);
  std::uint64_t key = key_before(data + begin, std::min(begin, k));  // before position i
  // The slot of the context kAhead positions on is prefetched in the longest contexts'
  // table and the two next largest, where a byte the longer context does not list is
  // looked for (the tables of 3 bytes or fewer stay in the caches), and their records
  // with them.
  constexpr std::size_t kAhead = 16;
  const int deepest = std::max(std::min(3, k_), k_ - 2);
  internal::RollingKey<> ahead(k);  // the up to k bytes before position i + kAhead
  if (begin + kAhead <= n) {
    const std::size_t to = begin + kAhead;
    for (std::size_t i = to - std::min(to, k); i < to; ++i) ahead.push(data[i]);
  }
  for (std::size_t i = begin; i < end; ++i) {
    if (i + kAhead < n) {
      for (int j = deepest; j <= k_; ++j) {
        if (i + kAhead < static_cast<std::size_t>(j)) continue;
        prefetch_home(j, ahead.key() & internal::window_mask(static_cast<std::size_t>(j)), true);
      }
      ahead.push(data[i + kAhead]);
    }
    Suffix suffix;
    longest_suffix(key, std::min(i, k), suffix);
    entropy[i - begin] = suffix.entropy;
    probability[i - begin] = this->probability(suffix, data[i]);
    key = (key << 8 | data[i]) & internal::window_mask(k);
  }
}

void ContextModel::entropies_at(const std::uint8_t* data, std::size_t n, std::size_t begin,
                                std::size_t end, float* entropy) const {
  const std::size_t k = static_cast<std::size_t>(k_);
  // The longest contexts' table is the largest, and its lookups would wait on memory:
  // the home slot of the context kAhead positions on is prefetched.
  constexpr std::size_t kAhead = 16;
  internal::RollingKey<> context(k), ahead(k);
  for (std::size_t i = begin - std::min(begin, k); i < begin; ++i) context.push(data[i]);
  ahead = context;
  for (std::size_t i = begin; i < std::min(n, begin + kAhead); ++i) ahead.push(data[i]);
  for (std::size_t i = begin; i < end; ++i) {
    if (i + kAhead < n) {
      prefetch_home(k_, ahead.key(), false);
      ahead.push(data[i + kAhead]);
    }
    entropy[i - begin] = entropy_of(context.key(), std::min(i, k));
    context.push(data[i]);
  }
}

}  // namespace qelt
