// A frozen context model is its file image, used in place: loading maps the file and
// checks it (model_format.cc), and lookups probe the mapped tables directly, so a
// model of any size costs no copy and every process that loads it shares the pages.
// The entropy at a position is that of the longest suffix of its context that a
// table holds: the table of length k first, down to the empty context.

#include "context_model.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <system_error>
#include <unordered_map>

#include "internal/closing_rule.h"
#include "internal/model_format.h"
#include "internal/window_key.h"

namespace qelt {

namespace {

using internal::ModelReader;
using internal::ModelSlot;

// The entropy of `key` in the table of `slots` slots at `table`, if it is there.
template <std::size_t KeyBytes>
bool find(const std::uint8_t* table, std::uint64_t slots, std::uint64_t key, float& entropy) {
  const ModelReader<KeyBytes> probing(reinterpret_cast<const ModelSlot<KeyBytes>*>(table),
                                      slots);
  const ModelSlot<KeyBytes>* slot = probing.find(key);
  if (slot == nullptr) return false;
  entropy = slot->entropy();
  return true;
}

}  // namespace

ContextModel ContextModel::build(std::uint64_t min_count,
                                 const std::vector<std::vector<ContextEntropy>>& orders) {
  return from_image(internal::write_model_image(min_count, orders));
}

ContextModel ContextModel::from_image(std::vector<std::uint8_t> image) {
  auto owned = std::make_shared<const std::vector<std::uint8_t>>(std::move(image));
  return over(owned, owned->data(), owned->size());
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
    return over(nullptr, nullptr, 0);  // refused as empty, as an empty image is
  }
  const std::size_t size = static_cast<std::size_t>(info.st_size);
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  const int error = errno;
  ::close(fd);  // the mapping outlives the descriptor
  if (mapped == MAP_FAILED) throw std::system_error(error, std::generic_category(), path);
  std::shared_ptr<const void> owner(mapped, [size](const void* p) {
    ::munmap(const_cast<void*>(p), size);
  });
  return over(std::move(owner), static_cast<const std::uint8_t*>(mapped), size);
}

ContextModel ContextModel::over(std::shared_ptr<const void> owner, const std::uint8_t* image,
                                std::size_t size) {
  const internal::ModelImageView view = internal::read_model_image(image, size);
  ContextModel model;
  model.owner_ = std::move(owner);
  model.image_ = image;
  model.image_size_ = size;
  model.k_ = view.k;
  model.min_count_ = view.min_count;
  model.contexts_ = view.contexts;
  for (int j = 0; j <= view.k; ++j) {
    model.tables_[j] = {view.tables[j], view.slots[j], view.contexts_of_length[j],
                        internal::model_key_bytes(j)};
  }
  return model;
}

float ContextModel::entropy(std::uint64_t context) const {
  for (int j = k_; j >= 0; --j) {
    const Table& table = tables_[j];
    if (table.slot_count == 0) continue;
    const std::uint64_t key = context & internal::window_mask(static_cast<std::size_t>(j));
    float h;
    const bool found = table.key_bytes == 4 ? find<4>(table.slots, table.slot_count, key, h)
                                            : find<8>(table.slots, table.slot_count, key, h);
    if (found) return h;
  }
  return 0.0f;
}

template <typename Visit>
void ContextModel::for_each_entropy(const std::uint8_t* data, std::size_t n, Visit visit) const {
  const std::size_t k = static_cast<std::size_t>(k_);
  if (n <= k) return;
  // The longest contexts' table is the largest, and its lookups would wait on memory:
  // the home slot of the context kAhead positions on is asked for early.
  constexpr std::size_t kAhead = 16;
  const Table& top = tables_[k];
  const internal::AnySizeHome top_home(top.slot_count);
  const std::size_t slot_bytes = top.key_bytes + 4;
  internal::RollingKey<> context(k), ahead(k);
  for (std::size_t i = 0; i < k; ++i) context.push(data[i]);
  ahead = context;
  const std::size_t ahead_end = std::min(n, k + kAhead);
  for (std::size_t i = k; i < ahead_end; ++i) ahead.push(data[i]);
  for (std::size_t i = k; i < n; ++i) {
    if (i + kAhead < n && top.slot_count != 0) {
      __builtin_prefetch(top.slots + top_home(internal::fmix64(ahead.key())) * slot_bytes);
      ahead.push(data[i + kAhead]);
    }
    visit(i, entropy(context.key()));
    context.push(data[i]);
  }
}

std::vector<std::size_t> ContextModel::patch_ends(const std::uint8_t* data, std::size_t n,
                                                  Thresholds thresholds) const {
  std::vector<std::size_t> ends;
  if (n == 0) return ends;
  float previous = 0.0f;
  for_each_entropy(data, n, [&](std::size_t i, float h) {
    if (internal::closes(h, previous, thresholds)) ends.push_back(i + 1);
    previous = h;
  });
  internal::end_last_patch(ends, n);
  return ends;
}

BatchEnds ContextModel::patch_ends_batch(const ByteSpan* documents, std::size_t count,
                                         Thresholds thresholds,
                                         std::size_t max_length) const {
  return qelt::patch_ends_batch(documents, count, max_length,
                                [&](const std::uint8_t* data, std::size_t size) {
                                  return patch_ends(data, size, thresholds);
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
      const bool rise = internal::rises(h, previous, theta_r);
      previous = h;
      if (i + 1 == document.size) return;
      if (rise) {
        ++fixed;
      } else {
        ++others[internal::float_bits(h)];
      }
    });
  }
  if (evaluated == 0) {
    throw std::invalid_argument("no document is longer than the context length k");
  }
  std::vector<std::pair<float, std::uint64_t>> levels;
  levels.reserve(others.size());
  for (const auto& [bits, positions] : others) {
    levels.emplace_back(internal::bits_float(bits), positions);
  }
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
