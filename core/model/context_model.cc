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
#include <atomic>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "format/model_format.h"
#include "model/slot_tags.h"
#include "util/prefetch.h"
#include "util/window_key.h"

namespace qelt {

namespace {

using internal::ModelSlot;
using internal::ModelSlot3;
using internal::StoredTable;

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
#if defined(MADV_HUGEPAGE)
  // The tables are read at random, and where the page cache holds the file in folios
  // of 2 MiB the kernel maps each whole, which spares a lookup its page walk (a tenth
  // of patching at k = 6). Advised before the first read (the check below), so that
  // reading the file in brings it in such folios. Advice only: a refusal changes
  // nothing.
  ::madvise(mapped, size, MADV_HUGEPAGE);
#endif
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
    length.slot_bytes = length.inline_records ? internal::slot_bytes3(j)
                                              : internal::slot_bytes12(length.key_bytes);
    for (const internal::BlockView& block : from.blocks) {
      length.blocks.push_back({block.table, block.slots, block.slots, nullptr, block.records,
                               block.pair_bytes, block.pair_probabilities});
    }
  }
  model.tag_slots();
  static std::atomic<std::uint64_t> images{0};
  model.identity_ = ++images;
  return model;
}

void ContextModel::tag_slots() {
  std::size_t bytes = 1;
  for (const Length& length : lengths_) {
    for (const Block& block : length.blocks) {
      bytes += internal::SlotTags::bytes_for(block.slot_count);
    }
  }
  auto tags = std::make_shared<internal::SlotTags>(bytes);
  std::uint8_t* at = tags->data();
  for (Length& length : lengths_) {
    for (Block& block : length.blocks) {
      if (block.slot_count == 0) continue;
      for (std::uint64_t s = 0; s < block.slot_count; ++s) {
        const std::uint8_t* slot = block.slots + s * length.slot_bytes;
        const bool empty =
            internal::slot_entropy_bits(slot, length.key_bytes) == internal::kEmptySlotBits;
        at[s] = empty ? 0 : internal::slot_tag(internal::fmix64(length.key_in(slot)));
      }
      internal::SlotTags::close(at, block.slot_count);
      block.tags = at;
      at += internal::SlotTags::bytes_for(block.slot_count);
    }
  }
  tags_ = std::move(tags);
}

std::uint64_t ContextModel::Length::key_in(const std::uint8_t* slot) const {
  return internal::slot_key(slot, key_bytes);
}

float ContextModel::entropy(std::uint64_t context) const { return entropy_of(context, k_); }

const ContextModel::Block& ContextModel::block_of(int length, std::uint64_t key) const {
  const Length& of = lengths_[length];
  return of.blocks[internal::block_of(key, bucket_, of.blocks_log2)];
}

const ContextModel::Block& ContextModel::block_at(int length, std::uint64_t bucket_hash) const {
  const Length& of = lengths_[length];
  return of.blocks[of.blocks_log2 == 0 ? 0 : bucket_hash >> (64 - of.blocks_log2)];
}

const std::uint8_t* ContextModel::find_slot(int length, std::uint64_t key, float& entropy) const {
  return find_in(block_of(length, key), length, key, internal::fmix64(key), entropy);
}

const std::uint8_t* ContextModel::find_in(const Block& block, int length, std::uint64_t key,
                                          std::uint64_t hash, float& entropy) const {
  if (block.slot_count == 0) return nullptr;
  const Length& of = lengths_[length];
  const std::uint8_t* slots = block.slots;
  const std::size_t width = of.slot_bytes;
  const std::size_t home = internal::AnySizeHome(block.home_scale)(hash);
  const std::int64_t found = internal::find_tagged(
      block.tags, block.slot_count, home, internal::slot_tag(hash),
      [&](std::size_t s) { return of.key_in(slots + s * width) == key; });
  if (found < 0) return nullptr;
  const std::uint8_t* slot = slots + static_cast<std::size_t>(found) * width;
  entropy = internal::bits_float(internal::slot_entropy_bits(slot, of.key_bytes));
  return slot;
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
    out.weight = internal::slot_weight3(slot, of.key_bytes);
    const std::uint32_t distance = internal::slot_list_distance3(slot, of.key_bytes);
    if (distance != 0) {
      const internal::StoredList list = internal::stored_list(slot + distance);
      out.count = list.count;
      out.bytes = list.bytes;
      out.probabilities = list.probabilities;
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

const std::uint8_t* ContextModel::kept_slot(int length, std::uint64_t key) const {
  float unused;
  return find_slot(length, key, unused);
}

void ContextModel::prefetch_kept(int length, std::uint64_t key) const {
  prefetch_home_in(block_of(length, key), length, internal::fmix64(key));
}

ContextModel::Listing ContextModel::listing(int length, const std::uint8_t* slot) const {
  const Listed list = listed(length, slot);
  return {list.bytes, list.probabilities, list.count, list.weight};
}

float ContextModel::Listing::probability(std::uint32_t i) const {
  return internal::stored_probability(probabilities, i);
}

void ContextModel::prefetch_home_in(const Block& block, int length, std::uint64_t hash) const {
  if (block.slot_count == 0) return;
  const std::size_t home = internal::AnySizeHome(block.home_scale)(hash);
  internal::prefetch(block.tags + home);
  internal::prefetch(block.slots + home * lengths_[length].slot_bytes);
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

void ContextModel::ask_suffix(SuffixLookup& lookup, std::uint64_t key,
                              std::size_t length) const {
  ask(lookup.pending_, key, static_cast<int>(std::min(length, static_cast<std::size_t>(k_))));
}

void ContextModel::narrow_suffix(SuffixLookup& lookup) const {
  if (lookup.pending_.likely == nullptr) narrow(lookup.pending_);
}

void ContextModel::find_suffix(const SuffixLookup& lookup, Suffix& into) const {
  finish_suffix(lookup.pending_, into, nullptr);
}

void ContextModel::prefetch_listed(int length, const std::uint8_t* slot) const {
  if (length < 0 || !has_probabilities()) return;
  // From the slot alone: reading the list (for its length) would wait for it.
  const Length& of = lengths_[length];
  if (of.inline_records) {
    const std::uint32_t distance = internal::slot_list_distance3(slot, of.key_bytes);
    if (distance == 0) return;
    internal::prefetch(slot + distance);       // the count, the bytes and
    internal::prefetch(slot + distance + 64);  // the probabilities of short lists
    return;
  }
  const Block& block = of.blocks[0];
  internal::prefetch(block.records + static_cast<std::uint64_t>(slot - block.slots) /
                                         of.slot_bytes * internal::kModelRecordBytes);
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
        out[i] = scale * internal::stored_probability(list.probabilities,
                                                      static_cast<std::size_t>(at - first));
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
      out[list.bytes[p]] = internal::stored_probability(list.probabilities, p);
    }
  }
}

ContextModel::Recall::Recall(std::size_t positions) {
  // A table of twice the positions, at least 2^8 and at most 2^16 entries (1.5 MiB);
  // with probabilities, as many of them.
  int log2 = 8;
  while (log2 < 16 && (std::size_t{1} << log2) < 2 * positions) ++log2;
  entries_.assign(std::size_t{1} << log2, kNothing);
  shift_ = 64 - log2;
}

void ContextModel::score_positions(const std::uint8_t* data, std::size_t n, std::size_t begin,
                                   std::size_t end, float* entropy, double* probability,
                                   Recall* recall) const {
  if (recall != nullptr && recall->model_ != identity_) {
    std::fill(recall->entries_.begin(), recall->entries_.end(), Recall::kNothing);
    recall->probabilities_.clear();
    recall->model_ = identity_;
  }
  if (recall != nullptr && probability != nullptr && recall->probabilities_.empty()) {
    recall->probabilities_.assign(recall->entries_.size(), Recall::Probability{0, 0, 0.0});
  }
  if (probability == nullptr) {
    look_up<false>(data, n, begin, end, entropy, nullptr, recall);
    return;
  }
  if (!has_probabilities()) {
    throw std::logic_error("a version 1 model file holds entropies only, no probabilities");
  }
  look_up<true>(data, n, begin, end, entropy, probability, recall);
}

template <bool kListed>
void ContextModel::look_up(const std::uint8_t* data, std::size_t n, std::size_t begin,
                           std::size_t end, float* entropy, double* probability,
                           Recall* recall) const {
  // Each position is asked for kStep positions before it is narrowed, and narrowed
  // kStep positions before its suffix is found: by then what each stage reads is in
  // the caches. With probabilities, the suffix is found kStep positions before the
  // probability is read, and the list it leads to prefetched meanwhile.
  constexpr std::size_t kStep = 8, kRing = 32;
  constexpr std::size_t kFound = kListed ? kStep : 0;  // how far ahead a suffix is found
  const std::size_t k = static_cast<std::size_t>(k_);
  Pending ring[kRing];
  Suffix found[kRing];
  double recalled[kListed ? kRing : 1];  // a probability recalled, or -1
  internal::RollingKey<> ahead(k);  // the context of position `asked`
  for (std::size_t i = begin - std::min(begin, k); i < begin; ++i) ahead.push(data[i]);
  std::size_t asked = begin;
  auto ask_next = [&] {
    const int length = static_cast<int>(std::min(asked, k));
    bool for_list = kListed;
    if (kListed) {
      recalled[asked % kRing] = -1.0;
      if (recall != nullptr) {
        const std::uint32_t pair = Recall::pair_of(length, data[asked]);
        const Recall::Probability& e = recall->probability_of(ahead.key(), pair);
        if (e.pair == pair && e.key == ahead.key()) {
          recalled[asked % kRing] = e.probability;
          for_list = false;
        }
      }
    }
    ask_unless_recalled(ring[asked % kRing], ahead.key(), length, recall, for_list);
    ahead.push(data[asked]);
    ++asked;
  };
  auto find = [&](std::size_t i) {
    finish_suffix(ring[i % kRing], found[i % kRing], recall);
    if (kListed && recalled[i % kRing] < 0.0) {
      prefetch_listed(found[i % kRing].length, found[i % kRing].slot);
    }
  };
  auto probability_at = [&](std::size_t i, const Suffix& suffix) {
    if (recalled[i % kRing] >= 0.0) return recalled[i % kRing];
    const double p = this->probability(suffix, data[i]);
    if (recall != nullptr) {
      const std::uint32_t pair =
          Recall::pair_of(static_cast<int>(std::min(i, k)), data[i]);
      recall->probability_of(suffix.context, pair) = {suffix.context, pair, p};
    }
    return p;
  };
  while (asked < std::min(n, begin + 2 * kStep + kFound)) ask_next();
  for (std::size_t i = begin; i < std::min(n, begin + kStep + kFound); ++i) {
    narrow(ring[i % kRing]);
  }
  for (std::size_t i = begin; i < std::min(n, begin + kFound); ++i) find(i);
  for (std::size_t i = begin; i < end; ++i) {
    if (asked < n) ask_next();
    if (i + kStep + kFound < n) narrow(ring[(i + kStep + kFound) % kRing]);
    if (i + kFound < n) find(i + kFound);
    const Suffix& suffix = found[i % kRing];
    entropy[i - begin] = suffix.entropy;
    if (kListed) probability[i - begin] = probability_at(i, suffix);
  }
}

void ContextModel::ask(Pending& pending, std::uint64_t key, int length) const {
  pending.key = key;
  pending.length = length;
  pending.context_length = length;
  pending.likely = nullptr;
  pending.bucket_hash = internal::bucket_hash(key, bucket_);
  pending.hash = internal::fmix64(key & internal::window_mask(static_cast<std::size_t>(length)));
  prefetch_home_in(block_at(length, pending.bucket_hash), length, pending.hash);
}

void ContextModel::narrow(Pending& pending) const {
  for (; pending.length >= 0; --pending.length) {
    const Block& block = block_at(pending.length, pending.bucket_hash);
    if (block.slot_count != 0) {
      const std::int64_t likely = internal::find_tagged(
          block.tags, block.slot_count, internal::AnySizeHome(block.home_scale)(pending.hash),
          internal::slot_tag(pending.hash), [](std::size_t) { return true; });
      if (likely >= 0) {
        const std::size_t width = lengths_[pending.length].slot_bytes;
        const std::uint8_t* slot = block.slots + static_cast<std::size_t>(likely) * width;
        internal::prefetch(slot);
        internal::prefetch(slot + width - 1);
        pending.likely = slot;
        return;
      }
    }
    if (pending.length > 0) {
      pending.hash = internal::fmix64(
          pending.key & internal::window_mask(static_cast<std::size_t>(pending.length - 1)));
    }
  }
}

int ContextModel::finish(const Pending& pending, const std::uint8_t*& slot, float& entropy) const {
  if (pending.likely != nullptr) {
    // The first slot whose tag matches is the one a search would find, if it holds
    // the key; a false match (one in 255 tags scanned) searches again below.
    const Length& of = lengths_[pending.length];
    const std::uint64_t key =
        pending.key & internal::window_mask(static_cast<std::size_t>(pending.length));
    if (of.key_in(pending.likely) == key) {
      slot = pending.likely;
      entropy = internal::bits_float(internal::slot_entropy_bits(slot, of.key_bytes));
      return pending.length;
    }
  }
  std::uint64_t hash = pending.hash;
  for (int j = pending.length; j >= 0; --j) {
    const std::uint64_t key = pending.key & internal::window_mask(static_cast<std::size_t>(j));
    if (j != pending.length) hash = internal::fmix64(key);
    slot = find_in(block_at(j, pending.bucket_hash), j, key, hash, entropy);
    if (slot != nullptr) return j;
  }
  return -1;
}

void ContextModel::ask_unless_recalled(Pending& pending, std::uint64_t key, int length,
                                       Recall* recall, bool for_list) const {
  if (recall != nullptr) {
    const Recall::Entry& e = recall->entry(key);
    if (e.key == key && e.length == length + 1) {
      // Copied now: a position between this one and its reading may take the entry.
      pending.key = key;
      pending.length = kRecalled;
      pending.recalled.length = e.kept;
      pending.recalled.slot = e.slot;
      pending.recalled.entropy = e.entropy;
      if (for_list && e.slot != nullptr) {  // the slot leads to its list
        internal::prefetch(e.slot);
        internal::prefetch(e.slot + lengths_[e.kept].slot_bytes - 1);
      }
      return;
    }
  }
  ask(pending, key, length);
}

void ContextModel::finish_suffix(const Pending& pending, Suffix& into, Recall* recall) const {
  if (pending.length == kRecalled) {
    into = pending.recalled;
    into.context = pending.key;
    return;
  }
  into.context = pending.key;
  into.length = finish(pending, into.slot, into.entropy);
  if (into.length < 0) {
    into.slot = nullptr;
    into.entropy = floor_entropy_;
  }
  if (recall != nullptr) {
    recall->entry(pending.key) = {pending.key, into.slot, into.entropy,
                                  static_cast<std::int16_t>(pending.context_length + 1),
                                  static_cast<std::int16_t>(into.length)};
  }
}

}  // namespace qelt
