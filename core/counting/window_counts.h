// Counts of windows of bytes, the store behind ContextCounts (internal).
//
// Windows are counted into a probing table, which takes each position in constant
// time wherever its window lies. Everything else wants them in order of key: models
// and encodings are made from the windows in order, and sets of counts in order merge
// in one pass that reads and writes memory in order. So a store is a few runs of
// windows in order, each kept encoded (window_run.h: a few bytes a window, where a
// table takes twenty or more), and a table of the windows counted since.
//
// Merging large sets in sorts the tables of them all (this store's among them)
// together into one run and takes their runs as they are (copied, not decoded); only
// when the runs grow too many are they merged into one.
// Whatever reads the windows in order merges the runs as it goes. A set much smaller
// than the store goes into its table instead, and a store small enough to stay in
// the caches stays a table, so that a merge costs time in proportion to what is
// merged in.
#ifndef QELT_CORE_COUNTING_WINDOW_COUNTS_H_
#define QELT_CORE_COUNTING_WINDOW_COUNTS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "util/big_buffer.h"
#include "util/hash.h"
#include "util/probing_table.h"
#include "util/radix_sort.h"
#include "counting/window_run.h"

namespace qelt {
namespace internal {

// A window's key and how often it was seen, in 16 bytes whatever the key, so that a
// table or a run of a corpus takes as few cache lines as can be. A count of 0 marks
// an empty slot of a table.
template <typename KeyType>
struct CountSlot;

// Keys of up to 8 bytes (windows of k + 1 <= 8 bytes), with a 64-bit count.
template <>
struct CountSlot<std::uint64_t> {
  using Key = std::uint64_t;
  static constexpr std::uint64_t kMaxCount = ~std::uint64_t{0};
  std::uint64_t stored_key = 0;
  std::uint64_t count = 0;

  static CountSlot make(Key key, std::uint64_t count) { return {key, count}; }
  Key key() const { return stored_key; }
  bool empty() const { return count == 0; }
  std::uint64_t counted() const { return count; }
  void add(std::uint64_t more) { count += more; }
};

// Keys of 9 bytes (k = 8): the low 8 bytes, and the ninth above a 56-bit count.
template <>
struct CountSlot<unsigned __int128> {
  using Key = unsigned __int128;
  static constexpr std::uint64_t kMaxCount = (std::uint64_t{1} << 56) - 1;
  std::uint64_t low = 0;
  std::uint64_t high_count = 0;

  static CountSlot make(Key key, std::uint64_t count) {
    if (count > kMaxCount) too_many();
    return {static_cast<std::uint64_t>(key), static_cast<std::uint64_t>(key >> 64) << 56 | count};
  }
  Key key() const { return static_cast<Key>(high_count >> 56) << 64 | low; }
  bool empty() const { return (high_count & kMaxCount) == 0; }
  std::uint64_t counted() const { return high_count & kMaxCount; }
  void add(std::uint64_t more) {
    if (more > kMaxCount - counted()) too_many();
    high_count += more;
  }

  [[noreturn]] static void too_many() {
    throw std::overflow_error("a window of 9 bytes is counted 2^56 times or more");
  }
};

// Counts keyed by windows of `bytes` bytes: runs of windows in ascending order of key,
// and a table of the windows counted since.
template <typename KeyType>
class WindowCounts {
 public:
  using Key = KeyType;
  using Slot = CountSlot<Key>;

  explicit WindowCounts(std::size_t bytes) : bytes_(bytes), table_(kInitialKeys) {}

  static std::uint64_t hash(Key key) { return Table::hash(key); }
  void prefetch_hash(std::uint64_t hash) const { table_.prefetch_hash(hash); }

  // From now on the table takes `table_bytes` bytes at most (0: it grows as it needs):
  // it grows as before up to the largest room within that, and once it is full there
  // its windows are sealed into a run and it starts empty in the same room. The counts
  // are the same either way; a bounded store grows beyond its table by its runs alone,
  // a few bytes a window. Merges into a bounded store keep the bound too.
  void bound_table(std::uint64_t table_bytes) {
    seal();
    table_bound_ = 0;
    if (table_bytes != 0) {
      std::size_t slots = 16;
      while (2 * slots * sizeof(Slot) <= table_bytes) slots *= 2;
      table_bound_ = slots / 4 * 3;
    }
    if (table_.room() > table_bound_ && table_bound_ != 0) table_ = Table(kInitialKeys);
  }

  // Adds `count` (>= 1) to the count of `key`, whose hash is `hash`.
  void add(Key key, std::uint64_t hash, std::uint64_t count) {
    if (table_bound_ != 0 && table_.size() >= table_bound_) seal();
    bool inserted;
    Slot& slot = table_.find_or_insert(key, hash, [&] { return Slot::make(key, count); }, inserted);
    if (!inserted) slot.add(count);
  }
  void add(Key key, std::uint64_t count) { add(key, hash(key), count); }

  // Takes `run`, an encoded run of `windows` windows, as these counts, which must be
  // empty. The run must be valid: made by RunWriter, or checked.
  void take_run(RunBytes run, std::uint64_t windows) {
    if (windows != 0) runs_.push_back({std::move(run), windows});
  }

  // Adds the counts of the `count` stores at `others`, as merging each in turn does
  // (this one may be among them: merging with itself doubles its counts).
  void merge(const WindowCounts* const* others, std::size_t count) {
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= count; ++i) {
      if (i == count || others[i] == this) {
        merge_others(others + begin, i - begin);
        if (i < count) double_counts();
        begin = i + 1;
      }
    }
  }

  // Doubles every count: these counts merged with themselves.
  void double_counts() {
    for (Run& run : runs_) {
      RunBytes doubled;
      doubled.reserve(run.bytes.size() + run.windows / 8);
      RunWriter<Key> writer(doubled);
      RunReader<Key> reader(run.bytes.data(), run.bytes.data() + run.bytes.size());
      while (reader.next()) writer.add(reader.key(), 2 * checked(reader.count()));
      writer.finish();
      run.bytes = std::move(doubled);
    }
    table_.change_each([](Slot& w) { w.add(w.counted()); });
  }

  // At least the number of distinct windows; exact unless the runs and the table
  // share some.
  std::uint64_t size_bound() const {
    std::uint64_t windows = table_.size();
    for (const Run& run : runs_) windows += run.windows;
    return windows;
  }

  // The bytes it holds: its table's slots and its runs.
  std::uint64_t memory_bytes() const {
    std::uint64_t bytes = table_.slot_count() * sizeof(Slot);
    for (const Run& run : runs_) bytes += run.bytes.capacity();
    return bytes;
  }

  // Calls visit(key, count) for every window, in ascending order of key.
  template <typename Visit>
  void for_each_in_order(Visit visit) const {
    const WindowCounts* self = this;
    merge_stores(&self, 1, visit);
  }

  // The encoded run of all the windows, and how many there are.
  RunBytes encoded(std::uint64_t& windows) const {
    if (table_.size() == 0 && runs_.size() <= 1) {
      windows = runs_.empty() ? 0 : runs_.front().windows;
      return runs_.empty() ? RunBytes{} : runs_.front().bytes;
    }
    const WindowCounts* self = this;
    RunBytes out;
    windows = write_run(&self, 1, out);
    return out;
  }

 private:
  // A new table starts in the least room: stores made of runs (split shares, decoded
  // counts) come in the thousands and never use their table, and a table that counts
  // grows from there in a few cheap steps.
  static constexpr std::size_t kInitialKeys = 0;
  // Up to this many windows, counts stay in a table (of 2 MiB at most, so in the
  // caches), which merges faster than it sorts; beyond, they are kept as runs. A
  // larger table merges by random access to memory, slower than sorting it.
  static constexpr std::size_t kTableWindows = std::size_t{1} << 16;
  // Runs kept side by side at most; more are merged into one.
  static constexpr std::size_t kMaxRuns = 8;
  // Keys are packed bytes, for which one multiplication mixes well enough; no file
  // depends on this table's order.
  using Table = GrowingTable<Slot, FibonacciMix>;

  struct Run {
    RunBytes bytes;
    std::uint64_t windows = 0;
  };

  // The table's windows sealed into a run, and the table emptied in its room. Runs are
  // kept as a stack of sizes that at least halve from bottom to top: a new run is
  // merged with the one below it while that one is no more than twice its size. So
  // each window is rewritten a logarithmic number of times and the runs stay few,
  // however small the table is beside what it counts.
  void seal() {
    if (table_.size() == 0) return;
    const WindowCounts* self = this;
    runs_.push_back(tables_run(&self, 1));
    table_.clear_in_place();
    while (runs_.size() >= 2 &&
           runs_[runs_.size() - 2].bytes.size() <= 2 * runs_.back().bytes.size()) {
      const Run* top[] = {&runs_[runs_.size() - 2], &runs_.back()};
      Run merged;
      merged.bytes.reserve(top[0]->bytes.size() + top[1]->bytes.size());
      RunWriter<Key> writer(merged.bytes);
      merge_runs(top, 2, BigVector<Slot>{}, [&](Key key, std::uint64_t c) { writer.add(key, c); });
      writer.finish();
      merged.windows = writer.windows();
      runs_.pop_back();
      runs_.back() = std::move(merged);
    }
  }

  std::uint64_t checked(std::uint64_t count) const {
    Slot probe = Slot::make(0, count);  // refuses a count the slot cannot hold
    probe.add(count);
    return count;
  }

  // The windows of the tables of the `count` stores at `stores`, in ascending order of
  // key, the counts of a key summed.
  static BigVector<Slot> sorted_tables(const WindowCounts* const* stores, std::size_t count) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += stores[i]->table_.size();
    BigVector<Slot> windows(total), room(total);
    radix_sort_of(
        [&](auto visit) {
          for (std::size_t i = 0; i < count; ++i) stores[i]->table_.for_each(visit);
        },
        windows, room, stores[0]->bytes_, [](const Slot& w, std::size_t d) {
          return static_cast<std::size_t>(w.key() >> (8 * d)) & 0xFF;
        });
    if (count > 1) {  // a key may be in several
      std::size_t kept = 0;
      for (std::size_t i = 0; i < total;) {
        Slot window = windows[i++];
        while (i < total && windows[i].key() == window.key()) window.add(windows[i++].counted());
        windows[kept++] = window;
      }
      windows.resize(kept);
    }
    return windows;
  }

  // The windows of the tables of the `count` stores at `stores` as one run.
  static Run tables_run(const WindowCounts* const* stores, std::size_t count) {
    const BigVector<Slot> windows = sorted_tables(stores, count);
    Run run;
    run.bytes.reserve(run_room(8 * stores[0]->bytes_, windows.size(), windows.size()));
    RunWriter<Key> writer(run.bytes);
    for (const Slot& w : windows) writer.add(w.key(), w.counted());
    writer.finish();
    run.windows = writer.windows();
    return run;
  }

  // Adds the counts of `count` other stores.
  void merge_others(const WindowCounts* const* others, std::size_t count) {
    if (count == 0) return;
    std::uint64_t incoming = 0;
    std::size_t runs = runs_.size();
    std::vector<const WindowCounts*> with_tables;  // the stores whose tables are not empty
    if (table_.size() != 0) with_tables.push_back(this);
    for (std::size_t i = 0; i < count; ++i) {
      incoming += others[i]->size_bound();
      runs += others[i]->runs_.size();
      if (others[i]->table_.size() != 0) with_tables.push_back(others[i]);
    }
    runs += !with_tables.empty();
    // A bounded table takes nothing beyond its room: what comes in becomes runs.
    if (table_bound_ == 0 && size_bound() == 0 && count == 1 && others[0]->runs_.empty()) {
      table_ = others[0]->table_;  // into nothing: a copy of the slots, in one pass
      return;
    }
    if (table_bound_ == 0 &&
        (incoming < size_bound() / 4 || size_bound() + incoming <= kTableWindows)) {
      // Small beside this one, or all small enough for a table in the caches: into the
      // table, in time proportional to their size.
      table_.reserve(table_.size() + incoming);
      for (std::size_t i = 0; i < count; ++i) {
        others[i]->for_each_unordered([&](Key key, std::uint64_t c) {
          bool inserted;
          Slot& slot = table_.find_or_insert_reserved(
              key, hash(key), [&] { return Slot::make(key, c); }, inserted);
          if (!inserted) slot.add(c);
        });
      }
      return;
    }
    if (runs > kMaxRuns) {
      // Too many runs to read side by side: one of them all.
      std::vector<const WindowCounts*> stores{this};
      stores.insert(stores.end(), others, others + count);
      Run run;
      run.windows = write_run(stores.data(), stores.size(), run.bytes);
      runs_.clear();
      runs_.push_back(std::move(run));
      table_ = Table(kInitialKeys);
      return;
    }
    // The others' runs as they are, and the windows of all the tables as one run.
    for (std::size_t i = 0; i < count; ++i) {
      runs_.insert(runs_.end(), others[i]->runs_.begin(), others[i]->runs_.end());
    }
    if (!with_tables.empty()) {
      runs_.push_back(tables_run(with_tables.data(), with_tables.size()));
      table_ = Table(kInitialKeys);
    }
  }

  // Calls visit(key, count) for every window, in no particular order.
  template <typename Visit>
  void for_each_unordered(Visit visit) const {
    for (const Run& run : runs_) {
      RunReader<Key> reader(run.bytes.data(), run.bytes.data() + run.bytes.size());
      while (reader.next()) visit(reader.key(), reader.count());
    }
    table_.for_each([&](const Slot& w) { visit(w.key(), w.counted()); });
  }

  // Writes the windows of the `count` stores at `stores`, merged, as a run to `out`;
  // returns how many there are.
  static std::uint64_t write_run(const WindowCounts* const* stores, std::size_t count,
                                 RunBytes& out) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < count; ++i) {
      for (const Run& run : stores[i]->runs_) bytes += run.bytes.size();
      bytes += run_room(8 * stores[i]->bytes_, stores[i]->table_.size(), stores[i]->table_.size());
    }
    out.reserve(bytes);
    RunWriter<Key> writer(out);
    merge_stores(stores, count, [&](Key key, std::uint64_t c) { writer.add(key, c); });
    writer.finish();
    return writer.windows();
  }

  // Windows in ascending order of key, from a sorted table or a run, handed out a
  // batch at a time so that the merge below reads every source alike.
  class SortedSource {
   public:
    SortedSource(const Slot* begin, const Slot* end) : data_(begin), size_(end - begin) {}
    explicit SortedSource(const Run& run)
        : reader_(run.bytes.data(), run.bytes.data() + run.bytes.size()), is_run_(true) {
      refill();
    }
    SortedSource(const SortedSource&) = delete;

    bool empty() const { return at_ == size_; }
    const Slot& front() const { return data_[at_]; }
    // Moves past the front; false if that was the last.
    bool pop() { return ++at_ < size_ || refill(); }

   private:
    static constexpr std::size_t kBatch = 64;

    bool refill() {
      if (!is_run_) return false;
      size_ = 0;
      while (size_ < kBatch && reader_.next()) {
        batch_[size_++] = Slot::make(reader_.key(), reader_.count());
      }
      data_ = batch_;
      at_ = 0;
      return size_ != 0;
    }

    const Slot* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t at_ = 0;
    RunReader<Key> reader_{nullptr, nullptr};
    bool is_run_ = false;
    Slot batch_[kBatch];
  };

  // Calls visit(key, count) for every window of the `count` stores at `stores`, in
  // ascending order of key, the counts of a key summed: their runs and their tables,
  // sorted, merged in one pass.
  template <typename Visit>
  static void merge_stores(const WindowCounts* const* stores, std::size_t count, Visit visit) {
    std::vector<const Run*> runs;
    std::vector<const WindowCounts*> with_tables;
    for (std::size_t i = 0; i < count; ++i) {
      for (const Run& run : stores[i]->runs_) runs.push_back(&run);
      if (stores[i]->table_.size() != 0) with_tables.push_back(stores[i]);
    }
    BigVector<Slot> tables;
    if (!with_tables.empty()) tables = sorted_tables(with_tables.data(), with_tables.size());
    merge_runs(runs.data(), runs.size(), tables, visit);
  }

  // Calls visit(key, count) for every window of the `count` runs at `runs` and of
  // `sorted` (windows in ascending order of key, each once), in ascending order of
  // key, the counts of a key summed. With few sources, their front keys sit in one
  // small array, so that finding the least is a few comparisons without branches.
  template <typename Visit>
  static void merge_runs(const Run* const* runs, std::size_t count, const BigVector<Slot>& sorted,
                         Visit visit) {
    // Each source stays where it is made: its batch is read by address.
    std::vector<std::unique_ptr<SortedSource>> sources;
    for (std::size_t r = 0; r < count; ++r) {
      sources.push_back(std::make_unique<SortedSource>(*runs[r]));
    }
    if (!sorted.empty()) {
      sources.push_back(
          std::make_unique<SortedSource>(sorted.data(), sorted.data() + sorted.size()));
    }
    std::vector<SortedSource*> live;
    std::vector<Key> keys;  // parallel to live: the front key of each
    for (auto& source : sources) {
      if (!source->empty()) {
        live.push_back(source.get());
        keys.push_back(source->front().key());
      }
    }
    if (live.size() == 1) {  // one source: nothing to merge
      do {
        visit(live[0]->front().key(), live[0]->front().counted());
      } while (live[0]->pop());
      return;
    }
    if (live.size() > kScannedSources) {
      merge_by_heap(live, keys, visit);
      return;
    }
    while (!live.empty()) {
      Key least = keys[0];
      for (std::size_t s = 1; s < keys.size(); ++s) least = keys[s] < least ? keys[s] : least;
      Slot window = Slot::make(least, 0);
      bool ended = false;
      std::uint64_t at_least = 0;  // a bit for each source whose front is `least`
      for (std::size_t s = 0; s < keys.size(); ++s) {
        at_least |= std::uint64_t{keys[s] == least} << s;
      }
      for (; at_least != 0; at_least &= at_least - 1) {
        const std::size_t s = static_cast<std::size_t>(__builtin_ctzll(at_least));
        window.add(live[s]->front().counted());
        if (live[s]->pop()) {
          keys[s] = live[s]->front().key();
        } else {
          live[s] = nullptr;
          ended = true;
        }
      }
      if (ended) {  // rare: the sources that ended leave
        std::size_t kept = 0;
        for (std::size_t s = 0; s < live.size(); ++s) {
          if (live[s] != nullptr) {
            live[kept] = live[s];
            keys[kept++] = keys[s];
          }
        }
        live.resize(kept);
        keys.resize(kept);
      }
      visit(least, window.counted());
    }
  }

  // Up to this many sources, the least front key is found by a scan without branches;
  // beyond, by a heap, whose few comparisons a window beat a scan of them all (the
  // shares of a partition's counts come in a thousand pieces, each a source).
  static constexpr std::size_t kScannedSources = 32;  // a bit each in a word, at most 64

  // As merge_runs, for the sources `live` with their front keys `keys`: the least
  // source kept at the top of a heap of their indices.
  template <typename Visit>
  static void merge_by_heap(std::vector<SortedSource*>& live, std::vector<Key>& keys,
                            Visit visit) {
    std::vector<std::size_t> heap(live.size());
    for (std::size_t s = 0; s < heap.size(); ++s) heap[s] = s;
    const auto later = [&](std::size_t a, std::size_t b) { return keys[b] < keys[a]; };
    std::make_heap(heap.begin(), heap.end(), later);
    while (!heap.empty()) {
      const Key least = keys[heap.front()];
      Slot window = Slot::make(least, 0);
      do {
        std::pop_heap(heap.begin(), heap.end(), later);
        const std::size_t s = heap.back();
        window.add(live[s]->front().counted());
        if (live[s]->pop()) {
          keys[s] = live[s]->front().key();
          std::push_heap(heap.begin(), heap.end(), later);
        } else {
          heap.pop_back();
        }
      } while (!heap.empty() && keys[heap.front()] == least);
      visit(least, window.counted());
    }
  }

  std::size_t bytes_;
  std::size_t table_bound_ = 0;  // the most windows the table holds; 0: no bound
  std::vector<Run> runs_;
  Table table_;
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_COUNTING_WINDOW_COUNTS_H_
