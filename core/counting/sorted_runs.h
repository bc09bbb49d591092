// Counts of keys given as a few ascending runs, read back merged (internal).
//
// The suffixes of windows given in ascending order of key come in a few ascending
// runs: dropping the first byte of each window leaves, for every value of that byte,
// the rest of the windows in order. So they need no table and no sort: each run is
// written as it comes, encoded as a run of windows is (window_run.h), and the runs
// are read back merged by a tournament of losers, whose every step is one comparison
// per level of a tree over the runs. Up to a few hundred runs this reads and writes
// memory only in order.
#ifndef QELT_CORE_COUNTING_SORTED_RUNS_H_
#define QELT_CORE_COUNTING_SORTED_RUNS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "counting/window_run.h"

namespace qelt {
namespace internal {

// Counts of 64-bit keys. add() takes keys in any order, but costs a run each time a key
// comes below the one before; it is meant for keys that mostly ascend.
class SortedRuns {
 public:
  // `bytes` is room made at once for the runs, so that they are not copied as they
  // grow: room that is never written takes no memory.
  explicit SortedRuns(std::size_t bytes = 0) { bytes_.reserve(bytes); }

  // Adds `count` (>= 1) to the count of `key`.
  void add(std::uint64_t key, std::uint64_t count) {
    if (items_ != 0 && key == last_) {
      pending_ += count;
      return;
    }
    if (items_ != 0) {
      writer_->add(last_, pending_);
      if (key < last_) {
        end_run();
        start_run();
      }
    } else {
      start_run();
    }
    last_ = key;
    pending_ = count;
    ++items_;
  }

  // At least the number of distinct keys: the items written, before equal keys of
  // different runs are summed.
  std::uint64_t size_bound() const { return items_; }

  // Calls visit(key, count) for every key, in ascending order, the counts of a key
  // summed. Ends the runs: nothing may be added after.
  template <typename Visit>
  void for_each_in_order(Visit visit) {
    if (items_ == 0) return;
    writer_->add(last_, pending_);
    end_run();
    if (largest_ != ~std::uint64_t{0}) {
      merge<std::uint64_t>(visit);
    } else {
      merge<unsigned __int128>(visit);
    }
  }

 private:
  void start_run() { writer_.emplace(bytes_); }

  void end_run() {
    largest_ = std::max(largest_, last_);  // the last key of a run is its largest
    writer_->finish();
    ends_.push_back(bytes_.size());
  }

  using Source = RunReader<std::uint64_t>;  // a run being read, its front in key()

  // The rank of a source in the tournament: its front key, or past every key once it
  // has ended, Rank's largest value. So a Rank of 64 bits serves only if no key is the
  // largest of 64 bits.
  template <typename Rank>
  static Rank advance(Source& source) {
    return source.next() ? Rank{source.key()} : ~Rank{0};
  }

  template <typename Rank, typename Visit>
  void merge(Visit visit) {
    constexpr Rank kEnded = ~Rank{0};
    std::size_t leaves = 1;
    while (leaves < ends_.size()) leaves *= 2;
    std::vector<Source> sources(leaves, Source(nullptr, nullptr));
    std::vector<Rank> ranks(leaves, kEnded);
    std::size_t begin = 0;
    for (std::size_t r = 0; r < ends_.size(); ++r) {
      sources[r] = Source(bytes_.data() + begin, bytes_.data() + ends_[r]);
      ranks[r] = advance<Rank>(sources[r]);
      begin = ends_[r];
    }
    // losers[node] is the source that lost the match at that node; a node's two
    // subtrees are nodes 2 node and 2 node + 1, and leaf s hangs at node leaves + s.
    std::vector<std::uint32_t> losers(leaves, 0);
    std::vector<std::uint32_t> winners(2 * leaves);
    for (std::size_t s = 0; s < leaves; ++s) winners[leaves + s] = static_cast<std::uint32_t>(s);
    for (std::size_t node = leaves - 1; node >= 1; --node) {
      const std::uint32_t left = winners[2 * node], right = winners[2 * node + 1];
      const bool right_wins = ranks[right] < ranks[left];
      winners[node] = right_wins ? right : left;
      losers[node] = right_wins ? left : right;
    }
    std::uint32_t winner = winners[1];
    std::uint64_t key = 0, count = 0;
    bool any = false;
    while (ranks[winner] != kEnded) {
      Source& source = sources[winner];
      if (any && source.key() == key) {
        count += source.count();
      } else {
        if (any) visit(key, count);
        key = source.key();
        count = source.count();
        any = true;
      }
      ranks[winner] = advance<Rank>(source);
      for (std::size_t node = (leaves + winner) / 2; node >= 1; node /= 2) {
        const std::uint32_t loser = losers[node];
        const bool loser_wins = ranks[loser] < ranks[winner];
        losers[node] = loser_wins ? winner : loser;
        winner = loser_wins ? loser : winner;
      }
    }
    if (any) visit(key, count);
  }

  RunBytes bytes_;
  std::vector<std::size_t> ends_;  // where each run ends in bytes_
  std::optional<RunWriter<std::uint64_t>> writer_;  // of the run being added to
  std::uint64_t last_ = 0;     // the key last added, not yet written
  std::uint64_t pending_ = 0;  // its count
  std::uint64_t items_ = 0;
  std::uint64_t largest_ = 0;  // of the keys of the runs ended
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_COUNTING_SORTED_RUNS_H_
