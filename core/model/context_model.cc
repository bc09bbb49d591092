// A frozen context model is its file image, used in place: loading maps the file and
// checks it (format/model_format.cc), and lookups probe the mapped tables directly, so
// a model of any size costs no copy and every process that loads it shares the pages.
// The entropy at a position is that of the longest suffix of its context that a
// table holds: the table of length k first, down to the empty context. Entropies
// read the tables alone; a probability also reads the record of the slot found and
// the bytes it lists, and goes on to shorter suffixes only for a byte not listed.

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

using internal::ModelReader;
using internal::ModelSlot;

// The slot of `key` in the table of `slots` slots at `table`, or -1; its entropy.
template <std::size_t KeyBytes>
std::int64_t find(const std::uint8_t* table, std::uint64_t slots, std::uint64_t key,
                  float& entropy) {
  const auto* begin = reinterpret_cast<const ModelSlot<KeyBytes>*>(table);
  const ModelReader<KeyBytes> probing(begin, slots);
  const ModelSlot<KeyBytes>* slot = probing.find(key);
  if (slot == nullptr) return -1;
  entropy = slot->entropy();
  return slot - begin;
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
  for (int j = 0; j <= view.k; ++j) {
    model.tables_[j] = {view.tables[j],     view.slots[j],      view.contexts_of_length[j],
                        internal::model_key_bytes(j), view.records[j], view.pair_bytes[j],
                        view.pair_probabilities[j]};
  }
  return model;
}

float ContextModel::entropy(std::uint64_t context) const { return entropy_of(context, k_); }

std::int64_t ContextModel::find_slot(int length, std::uint64_t key, float& entropy) const {
  const Table& table = tables_[length];
  if (table.slot_count == 0) return -1;
  return table.key_bytes == 4 ? find<4>(table.slots, table.slot_count, key, entropy)
                              : find<8>(table.slots, table.slot_count, key, entropy);
}

int ContextModel::longest_kept(std::uint64_t key, int length, std::int64_t& slot,
                               float& entropy) const {
  for (int j = length; j >= 0; --j) {
    slot = find_slot(j, key & internal::window_mask(static_cast<std::size_t>(j)), entropy);
    if (slot >= 0) return j;
  }
  return -1;
}

float ContextModel::entropy_after(const std::uint8_t* context, std::size_t length) const {
  const std::size_t used = std::min(length, static_cast<std::size_t>(k_));
  return entropy_of(key_before(context + length, used), used);
}

float ContextModel::entropy_of(std::uint64_t key, std::size_t length) const {
  std::int64_t slot;
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

void ContextModel::prefetch(std::uint64_t key) const {
  const Table& top = tables_[k_];
  if (top.slot_count == 0) return;
  const std::size_t home = internal::AnySizeHome(top.slot_count)(internal::fmix64(key));
  __builtin_prefetch(top.slots + home * (top.key_bytes + 4));
  if (top.records != nullptr) __builtin_prefetch(top.records + home * internal::kModelRecordBytes);
}

void ContextModel::prefetch_listed(int length, std::int64_t slot) const {
  if (length < 0) return;
  const Table& table = tables_[length];
  if (table.records == nullptr) return;
  const internal::ModelRecord record =
      internal::load_model_record(table.records, static_cast<std::uint64_t>(slot));
  __builtin_prefetch(table.pair_bytes + record.first_pair);
  __builtin_prefetch(table.pair_probabilities + 4 * record.first_pair);
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
    std::int64_t slot = suffix.slot;
    if (j != suffix.length) {
      float unused;
      slot = find_slot(j, suffix.context & internal::window_mask(static_cast<std::size_t>(j)),
                       unused);
      if (slot < 0) continue;
    }
    const Table& table = tables_[j];
    const internal::ModelRecord record =
        internal::load_model_record(table.records, static_cast<std::uint64_t>(slot));
    const std::uint8_t* first = table.pair_bytes + record.first_pair;
    const std::uint8_t* last = first + record.pairs;
    for (std::size_t i = 0; i < count; ++i) {
      if (out[i] != kPending) continue;
      const std::uint8_t* at = static_cast<const std::uint8_t*>(
          std::memchr(first, bytes[i], static_cast<std::size_t>(last - first)));
      if (at != nullptr) {
        const std::uint64_t pair = record.first_pair + static_cast<std::uint64_t>(at - first);
        out[i] = scale * internal::bits_float(
                             internal::load_le<std::uint32_t>(table.pair_probabilities + 4 * pair));
        --pending;
      }
    }
    scale *= record.weight;
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
  std::array<std::int64_t, kMaxOrder + 1> slots;
  slots.fill(-1);
  for (int j = static_cast<int>(used); j >= 0; --j) {
    float unused;
    slots[j] = find_slot(j, key & internal::window_mask(static_cast<std::size_t>(j)), unused);
  }
  std::fill(out, out + 256, kind_->floor_probability);
  for (int j = 0; j <= static_cast<int>(used); ++j) {
    if (slots[j] < 0) continue;
    const Table& table = tables_[j];
    const internal::ModelRecord record =
        internal::load_model_record(table.records, static_cast<std::uint64_t>(slots[j]));
    for (int b = 0; b < 256; ++b) out[b] *= record.weight;
    for (std::uint32_t p = 0; p < record.pairs; ++p) {
      const std::uint64_t pair = record.first_pair + p;
      out[table.pair_bytes[pair]] = internal::bits_float(
          internal::load_le<std::uint32_t>(table.pair_probabilities + 4 * pair));
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
  std::array<internal::AnySizeHome, kMaxOrder + 1> homes;
  for (int j = deepest; j <= k_; ++j) homes[j] = internal::AnySizeHome(tables_[j].slot_count);
  internal::RollingKey<> ahead(k);  // the up to k bytes before position i + kAhead
  if (begin + kAhead <= n) {
    const std::size_t to = begin + kAhead;
    for (std::size_t i = to - std::min(to, k); i < to; ++i) ahead.push(data[i]);
  }
  for (std::size_t i = begin; i < end; ++i) {
    if (i + kAhead < n) {
      for (int j = deepest; j <= k_; ++j) {
        const Table& table = tables_[j];
        if (table.slot_count == 0 || i + kAhead < static_cast<std::size_t>(j)) continue;
        const std::size_t home = homes[j](internal::fmix64(
            ahead.key() & internal::window_mask(static_cast<std::size_t>(j))));
        __builtin_prefetch(table.slots + home * (table.key_bytes + 4));
        if (table.records != nullptr) {
          __builtin_prefetch(table.records + home * internal::kModelRecordBytes);
        }
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
  const Table& top = tables_[k];
  const internal::AnySizeHome top_home(top.slot_count);
  const std::size_t slot_bytes = top.key_bytes + 4;
  internal::RollingKey<> context(k), ahead(k);
  for (std::size_t i = begin - std::min(begin, k); i < begin; ++i) context.push(data[i]);
  ahead = context;
  for (std::size_t i = begin; i < std::min(n, begin + kAhead); ++i) ahead.push(data[i]);
  for (std::size_t i = begin; i < end; ++i) {
    if (i + kAhead < n && top.slot_count != 0) {
      __builtin_prefetch(top.slots + top_home(internal::fmix64(ahead.key())) * slot_bytes);
      ahead.push(data[i + kAhead]);
    }
    entropy[i - begin] = entropy_of(context.key(), std::min(i, k));
    context.push(data[i]);
  }
}

}  // namespace qelt
