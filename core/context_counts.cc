// Context counts are counts of windows of k + 1 bytes: a context and the byte that
// followed it. The counts of a shorter suffix context follow from them, because it is
// counted at the same positions: those of the (j + 1)-byte suffixes of the windows,
// summed. So one store of windows is kept (window_counts.h), and the shorter lengths
// are derived only when a model is made: the windows go by in order of key once, each
// context's entropy is computed as its windows end, and their suffixes are counted
// for the next shorter length, which goes by in its turn.
//
// A document's windows go straight to the store's table, each looked up with the slot
// of a window some way ahead requested early: the table of a corpus is larger than
// the caches.

#include "context_counts.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "entropy_term.h"
#include "internal/kneser_ney.h"
#include "internal/model_format.h"
#include "internal/sorted_runs.h"
#include "internal/term_memo.h"
#include "internal/window_counts.h"
#include "internal/window_key.h"

namespace qelt {

namespace {

using internal::BigVector;
using internal::WindowCounts;

// In counts that carry continuation counts (for smoothing), a window's value is its
// count shifted left by this many bits, plus how many distinct longer windows end in
// it (at most 256, so the two never overlap as values are summed).
constexpr int kContinuationBits = 9;
constexpr std::uint64_t kContinuationMask = (std::uint64_t{1} << kContinuationBits) - 1;

// Gathers the contexts (the windows sharing all but their last byte) seen at least
// `min_count` times from windows given in ascending order of key. A context's windows
// come in ascending order of their last byte, so the terms of its entropy are summed
// in ascending byte order, with the rounding of FrequencyTable::compute_entropy.
// Values carry continuation counts when `packed`.
template <typename Key>
class ContextGatherer {
 public:
  // `windows` bounds how many contexts there can be: room for them is asked for at
  // once (memory that is never written is never taken), so that no copy is made as
  // they come.
  ContextGatherer(std::uint64_t min_count, internal::TermMemo& memo, std::uint64_t windows,
                  bool packed, bool smoothing, Gathered& out)
      : min_count_(min_count), memo_(memo), packed_(packed), smoothing_(smoothing), out_(out) {
    const std::uint64_t room = std::min<std::uint64_t>(windows, kMostRoom);
    out_.keys.reserve(room);
    out_.totals.reserve(room);
    out_.entropies.reserve(room);
    out_.ends.reserve(room);
    out_.bytes.reserve(room);
    out_.counts.reserve(room);
    if (smoothing_) out_.continuations.reserve(room);
  }

  void add(Key window, std::uint64_t value) {
    const Key context = window >> 8;
    if (size_ != 0 && context != context_) finish();
    context_ = context;
    bytes_[size_] = static_cast<std::uint8_t>(window);
    counts_[size_] = packed_ ? value >> kContinuationBits : value;
    continuations_[size_] = packed_ ? value & kContinuationMask : value;
    ++size_;
  }

  // Ends the last context.
  void finish() {
    if (size_ == 0) return;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < size_; ++i) total += counts_[i];
    if (total >= min_count_) {
      float entropy = 0.0f;
      for (std::size_t i = 0; i < size_; ++i) {
        entropy = subtract_entropy_term(entropy, memo_.term(counts_[i], total));
      }
      out_.keys.push_back(static_cast<std::uint64_t>(context_));
      out_.totals.push_back(total);
      out_.entropies.push_back(entropy);
      out_.bytes.insert(out_.bytes.end(), bytes_.begin(), bytes_.begin() + size_);
      out_.counts.insert(out_.counts.end(), counts_.begin(), counts_.begin() + size_);
      if (smoothing_) {
        out_.continuations.insert(out_.continuations.end(), continuations_.begin(),
                                  continuations_.begin() + size_);
      }
      out_.ends.push_back(out_.bytes.size());
    }
    size_ = 0;
  }

 private:
  static constexpr std::uint64_t kMostRoom = std::uint64_t{1} << 26;

  std::uint64_t min_count_;
  internal::TermMemo& memo_;
  bool packed_, smoothing_;
  Gathered& out_;
  Key context_ = 0;
  // The current context's windows.
  std::array<std::uint8_t, 256> bytes_;
  std::array<std::uint64_t, 256> counts_, continuations_;
  std::size_t size_ = 0;
};

// Counts of the windows of `length` (<= 8) bytes, given in the order of the longer
// windows they end (so in a few ascending runs), read back once in ascending order of
// key. Up to 3 bytes, and when there are enough windows to pay for it, a count per
// possible key; else their runs, merged when read.
class SuffixCounts {
 public:
  SuffixCounts(std::size_t length, std::uint64_t windows)
      // a run for each first byte of the longer windows
      : runs_(dense(length, windows) ? 0
                                     : internal::run_room(8 * length, windows / 256, windows)) {
    if (dense(length, windows)) direct_.assign(std::size_t{1} << (8 * length), 0);
  }

  void add(std::uint64_t key, std::uint64_t count) {
    if (!direct_.empty()) {
      direct_[key] += count;
    } else {
      runs_.add(key, count);
    }
  }

  std::uint64_t size_bound() const { return direct_.empty() ? runs_.size_bound() : direct_.size(); }

  template <typename Visit>
  void for_each_in_order(Visit visit) {
    if (direct_.empty()) {
      runs_.for_each_in_order(visit);
      return;
    }
    for (std::size_t key = 0; key < direct_.size(); ++key) {
      if (direct_[key] != 0) visit(std::uint64_t{key}, direct_[key]);
    }
  }

 private:
  static bool dense(std::size_t length, std::uint64_t windows) {
    return length <= 3 && (std::uint64_t{1} << (8 * length)) <= 4 * windows;
  }

  BigVector<std::uint64_t> direct_;
  internal::SortedRuns runs_;
};

// The contexts of length j into `gathered`, from the windows of j + 1 bytes that
// for_each(visit) gives in ascending order of key (at most `windows` of them); and the
// counts of their suffixes of j bytes, the windows of the contexts of length j - 1
// (none when j is 0). For smoothing, each suffix also counts the distinct windows it
// ends; its value is then packed (kContinuationBits), as are the values given for
// every length below the longest.
template <typename Key, typename ForEach>
std::unique_ptr<SuffixCounts> derive_order(int j, int k, const ForEach& for_each,
                                           std::uint64_t windows, std::uint64_t min_count,
                                           bool smoothing, internal::TermMemo& memo,
                                           Gathered& gathered) {
  const bool packed = smoothing && j < k;
  ContextGatherer<Key> contexts(min_count, memo, windows, packed, smoothing, gathered);
  if (j == 0) {
    for_each([&](Key window, std::uint64_t value) { contexts.add(window, value); });
    contexts.finish();
    return nullptr;
  }
  auto suffixes = std::make_unique<SuffixCounts>(static_cast<std::size_t>(j), windows);
  const std::uint64_t mask = internal::window_mask(static_cast<std::size_t>(j));
  for_each([&](Key window, std::uint64_t value) {
    contexts.add(window, value);
    const std::uint64_t suffix = static_cast<std::uint64_t>(window) & mask;
    if (!smoothing) {
      suffixes->add(suffix, value);
    } else {
      const std::uint64_t count = packed ? value >> kContinuationBits : value;
      suffixes->add(suffix, count << kContinuationBits | 1);
    }
  });
  contexts.finish();
  return suffixes;
}

// The contexts of length k and of every shorter one into `gathered`, from the windows
// of k + 1 bytes that for_each(visit) gives in ascending order of key.
template <typename Key, typename ForEach>
void derive_orders(int k, const ForEach& for_each, std::uint64_t windows,
                   std::uint64_t min_count, bool smoothing, std::vector<Gathered>& gathered) {
  internal::TermMemo memo(std::numeric_limits<std::size_t>::max());
  std::unique_ptr<SuffixCounts> suffixes =
      derive_order<Key>(k, k, for_each, windows, min_count, smoothing, memo, gathered[k]);
  for (int j = k - 1; suffixes != nullptr; --j) {
    SuffixCounts& longer = *suffixes;
    suffixes = derive_order<std::uint64_t>(
        j, k, [&](auto visit) { longer.for_each_in_order(visit); }, longer.size_bound(),
        min_count, smoothing, memo, gathered[j]);
  }
}

// The model orders without smoothing: every gathered context with its entropy, and
// the bytes that followed it with their shares of its count.
std::vector<ModelOrder> unsmoothed(const std::vector<Gathered>& gathered) {
  std::vector<ModelOrder> orders(gathered.size());
  for (std::size_t j = 0; j < gathered.size(); ++j) {
    const Gathered& g = gathered[j];
    ModelOrder& order = orders[j];
    order.contexts.reserve(g.keys.size());
    for (std::size_t c = 0; c < g.keys.size(); ++c) {
      order.contexts.push_back({g.keys[c], g.entropies[c]});
      const std::uint64_t first = c == 0 ? 0 : g.ends[c - 1];
      for (std::uint64_t p = first; p < g.ends[c]; ++p) {
        order.pair_probabilities.push_back(static_cast<float>(
            static_cast<double>(g.counts[p]) / static_cast<double>(g.totals[c])));
      }
    }
    order.pair_ends = g.ends;
    order.pair_bytes = g.bytes;
  }
  return orders;
}

using Sizes = std::array<std::uint64_t, ContextModel::kMaxOrder + 1>;

std::uint64_t image_size(int k, const Sizes& contexts, const Sizes& pairs) {
  const std::size_t size = internal::model_image_size(k, contexts.data(), pairs.data());
  return size == 0 ? ~std::uint64_t{0} : size;
}

// `order` with only the contexts `keep` marks, and their bytes.
void keep_marked(ModelOrder& order, const std::vector<bool>& keep) {
  ModelOrder kept;
  const bool weighted = !order.weights.empty();
  for (std::size_t c = 0; c < order.contexts.size(); ++c) {
    if (!keep[c]) continue;
    kept.contexts.push_back(order.contexts[c]);
    if (weighted) kept.weights.push_back(order.weights[c]);
    const std::uint64_t first = c == 0 ? 0 : order.pair_ends[c - 1];
    kept.pair_bytes.insert(kept.pair_bytes.end(), order.pair_bytes.begin() + first,
                           order.pair_bytes.begin() + order.pair_ends[c]);
    kept.pair_probabilities.insert(kept.pair_probabilities.end(),
                                   order.pair_probabilities.begin() + first,
                                   order.pair_probabilities.begin() + order.pair_ends[c]);
    kept.pair_ends.push_back(kept.pair_bytes.size());
  }
  order = std::move(kept);
}

// Leaves out of `orders` the contexts seen fewer than `min_count` times (gathered
// gives how often), and then those that a file of at most `max_bytes` (0: no limit)
// has no room for, each with its bytes: in ascending order of count, the longer first
// among equal counts, then in ascending order of key; never the empty context.
void keep_within(std::vector<ModelOrder>& orders, const std::vector<Gathered>& gathered,
                 std::uint64_t min_count, std::uint64_t max_bytes) {
  const int k = static_cast<int>(orders.size()) - 1;
  std::vector<std::vector<bool>> keep(orders.size());
  Sizes contexts{}, pairs{};
  for (int j = 0; j <= k; ++j) {
    const std::vector<std::uint64_t>& totals = gathered[j].totals;
    keep[j].resize(totals.size());
    for (std::size_t c = 0; c < totals.size(); ++c) {
      keep[j][c] = totals[c] >= min_count;
      if (!keep[j][c]) continue;
      ++contexts[j];
      pairs[j] += orders[j].pair_ends[c] - (c == 0 ? 0 : orders[j].pair_ends[c - 1]);
    }
  }
  if (max_bytes != 0 && image_size(k, contexts, pairs) > max_bytes) {
    struct Candidate {
      std::uint64_t total;
      int length;
      std::size_t index;  // ascending with the key
    };
    std::vector<Candidate> candidates;
    for (int j = 1; j <= k; ++j) {
      for (std::size_t c = 0; c < keep[j].size(); ++c) {
        if (keep[j][c]) candidates.push_back({gathered[j].totals[c], j, c});
      }
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
      if (a.total != b.total) return a.total < b.total;
      if (a.length != b.length) return a.length > b.length;
      return a.index < b.index;
    });
    bool fits = false;
    for (const Candidate& drop : candidates) {
      const std::vector<std::uint64_t>& ends = orders[drop.length].pair_ends;
      keep[drop.length][drop.index] = false;
      --contexts[drop.length];
      pairs[drop.length] -= ends[drop.index] - (drop.index == 0 ? 0 : ends[drop.index - 1]);
      if (image_size(k, contexts, pairs) <= max_bytes) {
        fits = true;
        break;
      }
    }
    if (!fits) {
      throw std::invalid_argument("max_bytes " + std::to_string(max_bytes) +
                                  " is below the smallest model of these counts, " +
                                  std::to_string(image_size(k, contexts, pairs)) + " bytes");
    }
  }
  for (int j = 0; j <= k; ++j) keep_marked(orders[j], keep[j]);
}

}  // namespace

ContextCounts::ContextCounts(int k) : k_(k) {
  if (k < 0 || k > ContextModel::kMaxOrder) {
    throw std::invalid_argument("k must be between 0 and 8, got " + std::to_string(k));
  }
  if (k + 1 <= 8) {
    table_ = std::make_unique<WindowCounts<std::uint64_t>>(k + 1);
  } else {
    table_ = std::make_unique<WindowCounts<Key128>>(k + 1);
  }
}

ContextCounts::~ContextCounts() = default;
ContextCounts::ContextCounts(ContextCounts&&) noexcept = default;
ContextCounts& ContextCounts::operator=(ContextCounts&&) noexcept = default;

void ContextCounts::add(const std::uint8_t* data, std::size_t n) {
  const std::size_t length = static_cast<std::size_t>(k_) + 1;
  if (n < length) return;
  if (length <= 8) {
    add_windows<std::uint64_t>(data, n);
  } else {
    add_windows<Key128>(data, n);
  }
}

template <typename Key>
void ContextCounts::add_windows(const std::uint8_t* data, std::size_t n) {
  const std::size_t length = static_cast<std::size_t>(k_) + 1;
  const std::size_t windows = n - length + 1;
  auto& table = *std::get<std::unique_ptr<WindowCounts<Key>>>(table_);
  // The slot of the window kAhead further on is requested before each window is
  // counted; its hash waits in `ahead_hashes` until then, so each is computed once.
  constexpr std::size_t kAhead = 32;
  std::uint64_t ahead_hashes[kAhead];
  internal::RollingKey<Key> key(length), ahead(length);
  for (std::size_t i = 0; i + 1 < length; ++i) key.push(data[i]);
  ahead = key;
  for (std::size_t w = 0; w < windows && w < kAhead; ++w) {
    ahead_hashes[w] = table.hash(ahead.push(data[w + length - 1]));
    table.prefetch_hash(ahead_hashes[w]);
  }
  for (std::size_t w = 0; w < windows; ++w) {
    std::uint64_t& slot = ahead_hashes[w % kAhead];
    const std::uint64_t hash = slot;
    if (w + kAhead < windows) {
      slot = table.hash(ahead.push(data[w + kAhead + length - 1]));
      table.prefetch_hash(slot);
    }
    table.add(key.push(data[w + length - 1]), hash, 1);
  }
  positions_ += windows;
}

void ContextCounts::add_batch(const ByteSpan* documents, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) add(documents[i].data, documents[i].size);
}

void ContextCounts::merge(const ContextCounts& other) {
  const ContextCounts* const one = &other;
  merge(&one, 1);
}

void ContextCounts::merge(const ContextCounts* const* others, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (others[i]->k_ != k_) {
      throw std::invalid_argument("cannot merge counts of k = " + std::to_string(others[i]->k_) +
                                  " into counts of k = " + std::to_string(k_));
    }
  }
  std::visit(
      [&](auto& table) {
        using Table = std::remove_reference_t<decltype(*table)>;
        std::vector<const Table*> tables;
        for (std::size_t i = 0; i < count; ++i) {
          tables.push_back(std::get<std::unique_ptr<Table>>(others[i]->table_).get());
        }
        table->merge(tables.data(), tables.size());
        // As in turn: a merge with itself doubles what it held, the others' included.
        for (std::size_t i = 0; i < count; ++i) {
          positions_ += others[i] == this ? positions_ : others[i]->positions_;
        }
      },
      table_);
}

ContextModel ContextCounts::to_model(std::uint64_t min_count, std::uint64_t max_bytes,
                                     Smoothing smoothing) const {
  if (min_count == 0) throw std::invalid_argument("min_count must be at least 1");
  const bool smoothed = smoothing == Smoothing::kKneserNey;
  if (!smoothed && smoothing != Smoothing::kNone) throw std::invalid_argument("unknown smoothing");
  // A count carried with its continuation count must leave it room (kContinuationBits).
  if (smoothed && positions_ >> (64 - kContinuationBits) != 0) {
    throw std::overflow_error("too many positions to smooth their counts");
  }
  std::vector<Gathered> gathered(static_cast<std::size_t>(k_) + 1);
  std::visit(
      [&](const auto& table) {
        using Key = typename std::remove_reference_t<decltype(*table)>::Key;
        // Smoothing needs every context, those seen too rarely to keep included.
        derive_orders<Key>(
            k_, [&](auto visit) { table->for_each_in_order(visit); }, table->size_bound(),
            smoothed ? 1 : min_count, smoothed, gathered);
      },
      table_);
  std::vector<ModelOrder> orders = smoothed ? internal::kneser_ney(gathered) : unsmoothed(gathered);
  keep_within(orders, gathered, min_count, max_bytes);
  return ContextModel::build(smoothing, min_count, orders);
}

std::uint64_t ContextCounts::smallest_model_bytes(std::uint64_t min_count) const {
  Sizes contexts{}, pairs{};
  if (positions_ > 0 && positions_ >= min_count) {
    contexts[0] = 1;
    std::array<bool, 256> followed{};
    std::visit(
        [&](const auto& table) {
          table->for_each_in_order([&](auto window, std::uint64_t) {
            followed[static_cast<std::uint8_t>(window)] = true;
          });
        },
        table_);
    pairs[0] = static_cast<std::uint64_t>(std::count(followed.begin(), followed.end(), true));
  }
  return image_size(k_, contexts, pairs);
}

}  // namespace qelt
