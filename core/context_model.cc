// A frozen context model is its file image, used in place: loading maps the file and
// checks it, and lookups read the mapped tables directly, so a model of any size
// costs no copy and every process that loads it shares the pages.
//
// Image layout (version 1), all integers little-endian:
//
//   offset  size  field
//        0     8  magic "QELTMODL"
//        8     4  version (1)
//       12     4  k: the longest context length (0 .. 8)
//       16     8  min_count: contexts seen fewer times were dropped
//       24     8  contexts kept, all lengths
//       32     8  size of the image in bytes, this trailer included
//       40  16(k+1)  for each length j = 0 .. k: contexts of length j, then slots
//                 of its table
//        .     .  the tables of lengths 0 .. k in turn, each starting at a multiple
//                 of 8 (zeros between)
//     size-8   4  CRC-32C of every byte before it
//     size-4   4  zero
//
// The table of length j is an open-addressing hash table of `slots` slots, with
// slots = contexts + contexts / 4 + 1 (none when there are no contexts), so that at
// least one slot is empty and lookups of absent keys end. A slot is the context's key
// (4 bytes for j <= 4, 8 beyond), then its entropy as a float; an empty slot has
// entropy bits 0xFFFFFFFF (a NaN, which no entropy is). A key's home slot is
// (fmix64(key) * slots) >> 64; a key sits in the first free slot from its home on,
// wrapping around. Keys are inserted in ascending order, so equal contents give
// byte-identical images.

#include "context_model.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <system_error>
#include <unordered_map>

#include "crc32c.h"
#include "fmix64.h"

namespace qelt {

namespace {

constexpr char kMagic[8] = {'Q', 'E', 'L', 'T', 'M', 'O', 'D', 'L'};
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kEmpty = 0xFFFFFFFF;
constexpr std::size_t kFixedHeader = 40;
constexpr std::size_t kTrailer = 8;
// No entropy of 256 byte values exceeds ln 256 = 5.545...; a stored one beyond this
// bound cannot come from a model.
constexpr float kMaxEntropy = 5.6f;

std::size_t key_bytes(int length) { return length <= 4 ? 4 : 8; }
std::size_t slot_bytes(int length) { return key_bytes(length) + 4; }
std::size_t header_bytes(int k) { return kFixedHeader + 16 * static_cast<std::size_t>(k + 1); }
std::size_t align8(std::size_t x) { return (x + 7) & ~std::size_t{7}; }
std::uint64_t slots_for(std::uint64_t contexts) {
  return contexts == 0 ? 0 : contexts + contexts / 4 + 1;
}
// The keys of contexts of `length` bytes are below 2^(8 length).
std::uint64_t key_mask(int length) {
  return length >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * length)) - 1;
}

std::uint64_t home_slot(std::uint64_t key, std::uint64_t slots) {
  return static_cast<std::uint64_t>(
      (static_cast<unsigned __int128>(internal::fmix64(key)) * slots) >> 64);
}

// Little-endian reads and writes that need no alignment.
template <typename T>
T load_le(const std::uint8_t* p) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(p[i]) << (8 * i);
  return value;
}
template <typename T>
void store_le(std::uint8_t* p, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t float_bits(float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, 4);
  return bits;
}
float bits_float(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

[[noreturn]] void malformed(const std::string& why) {
  throw ModelFormatError("not a valid qelt context model: " + why);
}

// Where each table starts, and the image size, for the given slot counts.
struct Layout {
  std::array<std::size_t, ContextModel::kMaxOrder + 1> table_offset{};
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

}  // namespace

ContextModel ContextModel::build(std::uint64_t min_count,
                                 const std::vector<std::vector<ContextEntropy>>& orders) {
  if (orders.empty() || orders.size() > kMaxOrder + 1) {
    throw std::invalid_argument("a model has contexts of 1 to 9 lengths");
  }
  if (min_count == 0) throw std::invalid_argument("min_count must be at least 1");
  const int k = static_cast<int>(orders.size()) - 1;
  std::array<std::uint64_t, kMaxOrder + 1> slots{};
  std::uint64_t contexts = 0;
  for (int j = 0; j <= k; ++j) {
    slots[j] = slots_for(orders[j].size());
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
    const std::size_t bytes = slot_bytes(j);
    const std::size_t keys = key_bytes(j);
    for (std::uint64_t s = 0; s < slots[j]; ++s) store_le<std::uint32_t>(table + s * bytes + keys, kEmpty);
    std::uint64_t previous = 0;
    for (std::size_t c = 0; c < orders[j].size(); ++c) {
      const ContextEntropy& context = orders[j][c];
      if ((c > 0 && context.key <= previous) || (context.key & ~key_mask(j)) != 0 ||
          !(context.entropy >= 0.0f && context.entropy <= kMaxEntropy)) {
        throw std::invalid_argument("contexts must be sorted, distinct, of their length, "
                                    "with entropies of byte distributions");
      }
      previous = context.key;
      std::uint64_t s = home_slot(context.key, slots[j]);
      while (load_le<std::uint32_t>(table + s * bytes + keys) != kEmpty) {
        if (++s == slots[j]) s = 0;
      }
      if (keys == 4) {
        store_le<std::uint32_t>(table + s * bytes, static_cast<std::uint32_t>(context.key));
      } else {
        store_le<std::uint64_t>(table + s * bytes, context.key);
      }
      store_le<std::uint32_t>(table + s * bytes + keys, float_bits(context.entropy));
    }
  }
  store_le<std::uint32_t>(p + layout.size - kTrailer, crc32c(p, layout.size - kTrailer));
  return from_image(std::move(image));
}

ContextModel ContextModel::from_image(std::vector<std::uint8_t> image) {
  auto owned = std::make_shared<const std::vector<std::uint8_t>>(std::move(image));
  return view(owned, owned->data(), owned->size());
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
    malformed("the file is empty");
  }
  const std::size_t size = static_cast<std::size_t>(info.st_size);
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  const int error = errno;
  ::close(fd);  // the mapping outlives the descriptor
  if (mapped == MAP_FAILED) throw std::system_error(error, std::generic_category(), path);
  std::shared_ptr<const void> owner(mapped, [size](const void* p) {
    ::munmap(const_cast<void*>(p), size);
  });
  return view(std::move(owner), static_cast<const std::uint8_t*>(mapped), size);
}

ContextModel ContextModel::view(std::shared_ptr<const void> owner, const std::uint8_t* image,
                                std::size_t size) {
  if (size == 0) malformed("it is empty");
  if (size < header_bytes(0) + kTrailer || std::memcmp(image, kMagic, 8) != 0) {
    malformed("it does not start with the model magic \"QELTMODL\"");
  }
  const std::uint32_t version = load_le<std::uint32_t>(image + 8);
  if (version != kVersion) {
    malformed("version " + std::to_string(version) + ", this build reads version " +
              std::to_string(kVersion));
  }
  const std::uint32_t k = load_le<std::uint32_t>(image + 12);
  if (k > kMaxOrder) malformed("context length " + std::to_string(k) + " is over 8");
  if (size < header_bytes(static_cast<int>(k)) + kTrailer) malformed("it is truncated");
  const std::uint64_t declared = load_le<std::uint64_t>(image + 32);
  if (declared != size) {
    malformed("it is " + std::to_string(size) + " bytes long, its header says " +
              std::to_string(declared) + " (truncated or extended)");
  }
  if (load_le<std::uint32_t>(image + size - kTrailer) != crc32c(image, size - kTrailer) ||
      load_le<std::uint32_t>(image + size - 4) != 0) {
    malformed("checksum mismatch (the file is corrupted)");
  }

  ContextModel model;
  model.owner_ = std::move(owner);
  model.image_ = image;
  model.image_size_ = size;
  model.k_ = static_cast<int>(k);
  model.min_count_ = load_le<std::uint64_t>(image + 16);
  model.contexts_ = load_le<std::uint64_t>(image + 24);
  if (model.min_count_ == 0) malformed("min_count is 0");

  std::array<std::uint64_t, kMaxOrder + 1> contexts{}, slots{};
  std::uint64_t total = 0;
  for (std::uint32_t j = 0; j <= k; ++j) {
    contexts[j] = load_le<std::uint64_t>(image + kFixedHeader + 16 * j);
    slots[j] = load_le<std::uint64_t>(image + kFixedHeader + 16 * j + 8);
    // Each context takes more than a byte, so no count is larger than the image (and
    // their sum cannot wrap).
    if (contexts[j] > size || slots[j] != slots_for(contexts[j])) {
      malformed("a table has the wrong number of slots");
    }
    total += contexts[j];
  }
  if (total != model.contexts_) malformed("the context counts do not add up");
  Layout layout;
  if (!lay_out(static_cast<int>(k), slots.data(), layout) || layout.size != size) {
    malformed("its tables do not fill it");
  }
  // Every slot is checked, so that lookups can trust what they read: keys of the right
  // length, entropies that can be, and as many filled slots as the header says.
  for (std::uint32_t j = 0; j <= k; ++j) {
    Table& table = model.tables_[j];
    table.slots = image + layout.table_offset[j];
    table.slot_count = slots[j];
    table.key_bytes = key_bytes(static_cast<int>(j));
    const std::size_t bytes = slot_bytes(static_cast<int>(j));
    std::uint64_t filled = 0;
    for (std::uint64_t s = 0; s < slots[j]; ++s) {
      const std::uint8_t* slot = table.slots + s * bytes;
      const std::uint32_t bits = load_le<std::uint32_t>(slot + table.key_bytes);
      const std::uint64_t key = table.key_bytes == 4 ? load_le<std::uint32_t>(slot)
                                                     : load_le<std::uint64_t>(slot);
      if (bits == kEmpty) continue;
      const float entropy = bits_float(bits);
      if (!(entropy >= 0.0f && entropy <= kMaxEntropy) || (key & ~key_mask(static_cast<int>(j)))) {
        malformed("a table holds an impossible context");
      }
      ++filled;
    }
    if (filled != contexts[j]) malformed("a table holds more or fewer contexts than declared");
  }
  return model;
}

namespace {

// The entropy of `key` in `table`, if it is there.
template <typename Key>
bool find(const std::uint8_t* slots, std::uint64_t slot_count, std::uint64_t key, float& entropy) {
  constexpr std::size_t kBytes = sizeof(Key) + 4;
  std::uint64_t s = home_slot(key, slot_count);
  for (;;) {
    const std::uint8_t* slot = slots + s * kBytes;
    const std::uint32_t bits = load_le<std::uint32_t>(slot + sizeof(Key));
    if (bits == kEmpty) return false;
    if (load_le<Key>(slot) == key) {
      entropy = bits_float(bits);
      return true;
    }
    if (++s == slot_count) s = 0;
  }
}

}  // namespace

float ContextModel::entropy(std::uint64_t context) const {
  for (int j = k_; j >= 0; --j) {
    const Table& table = tables_[j];
    if (table.slot_count == 0) continue;
    const std::uint64_t key = context & key_mask(j);
    float h;
    const bool found = table.key_bytes == 4
                           ? find<std::uint32_t>(table.slots, table.slot_count, key, h)
                           : find<std::uint64_t>(table.slots, table.slot_count, key, h);
    if (found) return h;
  }
  return 0.0f;
}

template <typename Visit>
void ContextModel::for_each_entropy(const std::uint8_t* data, std::size_t n, Visit visit) const {
  const std::size_t k = static_cast<std::size_t>(k_);
  if (n <= k) return;
  const std::uint64_t mask = key_mask(k_);
  auto roll = [mask](std::uint64_t context, std::uint8_t byte) {
    return ((context << 8) | byte) & mask;
  };
  // The longest contexts' table is the largest, and its lookups would wait on memory:
  // the home slot of the context kAhead positions on is asked for early.
  constexpr std::size_t kAhead = 16;
  const Table& top = tables_[k];
  const std::size_t bytes = top.key_bytes + 4;
  std::uint64_t context = 0;
  for (std::size_t i = 0; i < k; ++i) context = roll(context, data[i]);
  std::uint64_t ahead = context;
  const std::size_t ahead_end = std::min(n, k + kAhead);
  for (std::size_t i = k; i < ahead_end; ++i) ahead = roll(ahead, data[i]);
  for (std::size_t i = k; i < n; ++i) {
    if (i + kAhead < n && top.slot_count != 0) {
      __builtin_prefetch(top.slots + home_slot(ahead, top.slot_count) * bytes);
      ahead = roll(ahead, data[i + kAhead]);
    }
    visit(i, entropy(context));
    context = roll(context, data[i]);
  }
}

std::vector<std::size_t> ContextModel::patch_ends(const std::uint8_t* data, std::size_t n,
                                                  float theta, float theta_r) const {
  std::vector<std::size_t> ends;
  if (n == 0) return ends;
  float previous = 0.0f;
  for_each_entropy(data, n, [&](std::size_t i, float h) {
    // The rise is formed in double so that it is not rounded before the comparison.
    if (h > theta || static_cast<double>(h) - static_cast<double>(previous) > theta_r) {
      ends.push_back(i + 1);
    }
    previous = h;
  });
  if (ends.empty() || ends.back() != n) ends.push_back(n);
  return ends;
}

BatchEnds ContextModel::patch_ends_batch(const ByteSpan* documents, std::size_t count,
                                         float theta, float theta_r,
                                         std::size_t max_length) const {
  return qelt::patch_ends_batch(documents, count, max_length,
                                [&](const std::uint8_t* data, std::size_t size) {
                                  return patch_ends(data, size, theta, theta_r);
                                });
}

float ContextModel::calibrate(const ByteSpan* documents, std::size_t count,
                              double target_mean_length, float theta_r) const {
  // A document's patches are its ends: one per closing position other than its last,
  // plus the end of the document. A position closes when its rise passes theta_r,
  // whatever theta is, or else when its entropy is above theta; so the patches at a
  // given theta are the fixed ones plus the entropies above it among the others.
  std::uint64_t bytes = 0, fixed = 0, evaluated = 0;
  std::unordered_map<std::uint32_t, std::uint64_t> others;  // entropy bits -> positions
  for (std::size_t d = 0; d < count; ++d) {
    const ByteSpan& document = documents[d];
    if (document.size == 0) continue;
    bytes += document.size;
    ++fixed;
    float previous = 0.0f;
    for_each_entropy(document.data, document.size, [&](std::size_t i, float h) {
      ++evaluated;
      const bool rise = static_cast<double>(h) - static_cast<double>(previous) > theta_r;
      previous = h;
      if (i + 1 == document.size) return;
      if (rise) {
        ++fixed;
      } else {
        ++others[float_bits(h)];
      }
    });
  }
  if (evaluated == 0) {
    throw std::invalid_argument("no document is longer than the context length k");
  }
  std::vector<std::pair<float, std::uint64_t>> levels;
  levels.reserve(others.size());
  for (const auto& [bits, positions] : others) levels.emplace_back(bits_float(bits), positions);
  std::sort(levels.begin(), levels.end());
  if (levels.empty()) {
    throw std::invalid_argument("theta changes none of the patches of these documents");
  }

  auto distance = [&](std::uint64_t patches) {
    return std::fabs(static_cast<double>(bytes) / static_cast<double>(patches) -
                     target_mean_length);
  };
  // Below the least entropy every other position closes; at levels[t], those above it.
  std::uint64_t above = 0;
  for (const auto& level : levels) above += level.second;
  float best = std::nextafter(levels.front().first, -INFINITY);
  double best_distance = distance(fixed + above);
  for (const auto& [theta, positions] : levels) {
    above -= positions;
    const double d = distance(fixed + above);
    if (d <= best_distance) {
      best = theta;
      best_distance = d;
    }
  }
  return best;
}

}  // namespace qelt
