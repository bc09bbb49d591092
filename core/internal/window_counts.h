// Counts of windows of bytes, the store behind ContextCounts (internal).
//
// Windows are counted into a probing table, which takes each position in constant
// time wherever its window lies. Everything else wants them in order of key: models
// and encodings are made from the windows in order, and sets of counts in order merge
// in one pass that reads and writes memory in order. So a store is a few runs of
// windows in order, each kept encoded (window_run.h: a few bytes a window, where a
// table takes twenty or more), and a table of the windows counted since.
//
// Merging a large set in sorts its table into a run and takes its runs as they are
// (copied, not decoded); only when the runs grow too many are they merged into one.
// Whatever reads the windows in order merges the runs as it goes. A set much smaller
// than the store goes into its table instead, and a store small enough to stay in
// the caches stays a table, so that a merge costs time in proportion to what is
// merged in.
#ifndef QELT_CORE_INTERNAL_WINDOW_COUNTS_H_
#define QELT_CORE_INTERNAL_WINDOW_COUNTS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "big_buffer.h"
#include "hash.h"
#include "probing_table.h"
#include "radix_sort.h"
#include "window_run.h"

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

  // Adds `count` (>= 1) to the count of `key`, whose hash is `hash`.
  void add(Key key, std::uint64_t hash, std::uint64_t count) {
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
  static constexpr std::size_t kInitialKeys = 3072;
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

  std::uint64_t checked(std::uint64_t count) const {
    Slot probe = Slot::make(0, count);  // refuses a count the slot cannot hold
    probe.add(count);
    return count;
  }

  // The windows of its table, sorted by key.
  BigVector<Slot> sorted_table() const {
    BigVector<Slot> windows;
    windows.reserve(table_.size());
    table_.for_each([&](const Slot& w) { windows.push_back(w); });
    BigVector<Slot> room(windows.size());
    bucket_radix_sort(windows, room, bytes_, [](const Slot& w, std::size_t d) {
      return static_cast<std::size_t>(w.key() >> (8 * d)) & 0xFF;
    });
    return windows;
  }

  // Its table as a run.
  Run table_run() const {
    Run run;
    run.bytes.reserve(4 * table_.size());
    RunWriter<Key> writer(run.bytes);
    for (const Slot& w : sorted_table()) writer.add(w.key(), w.counted());
    run.windows = writer.windows();
    return run;
  }

  // Adds the counts of `count` other stores.
  void merge_others(const WindowCounts* const* others, std::size_t count) {
    if (count == 0) return;
    std::uint64_t incoming = 0;
    std::size_t runs = runs_.size() + (table_.size() != 0);
    for (std::size_t i = 0; i < count; ++i) {
      incoming += others[i]->size_bound();
      runs += others[i]->runs_.size() + (others[i]->table_.size() != 0);
    }
    if (size_bound() == 0 && count == 1 && others[0]->runs_.empty()) {
      table_ = others[0]->table_;  // into nothing: a copy of the slots, in one pass
      return;
    }
    if (incoming < size_bound() / 4 || size_bound() + incoming <= kTableWindows) {
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
    // The others' runs as they are, and every table as a run of its own.
    if (table_.size() != 0) {
      runs_.push_back(table_run());
      table_ = Table(kInitialKeys);
    }
    for (std::size_t i = 0; i < count; ++i) {
      runs_.insert(runs_.end(), others[i]->runs_.begin(), others[i]->runs_.end());
      if (others[i]->table_.size() != 0) runs_.push_back(others[i]->table_run());
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
      bytes += 4 * stores[i]->table_.size();
    }
    out.reserve(bytes);
    RunWriter<Key> writer(out);
    merge_stores(stores, count, [&](Key key, std::uint64_t c) { writer.add(key, c); });
    return writer.windows();
  }

  // Calls visit(key, count) for every window of the `count` stores at `stores`, in
  // ascending order of key, the counts of a key summed: their runs and their tables,
  // sorted, merged in one pass.
  template <typename Visit>
  static void merge_stores(const WindowCounts* const* stores, std::size_t count, Visit visit) {
    // A run or a sorted table, read from the front.
    struct Source {
      RunReader<Key> reader;
      const Slot* next;  // when reading a table
      const Slot* end;
      Key key = 0;
      std::uint64_t count = 0;

      bool advance() {
        if (next == nullptr) {
          if (!reader.next()) return false;
          key = reader.key();
          count = reader.count();
          return true;
        }
        if (next == end) return false;
        key = next->key();
        count = next->counted();
        ++next;
        return true;
      }
    };
    std::vector<BigVector<Slot>> tables;  // kept while read
    tables.reserve(count);
    std::vector<Source> live;
    auto add = [&](Source source) {
      if (source.advance()) live.push_back(source);
    };
    for (std::size_t i = 0; i < count; ++i) {
      const WindowCounts& store = *stores[i];
      for (const Run& run : store.runs_) {
        add({RunReader<Key>(run.bytes.data(), run.bytes.data() + run.bytes.size()), nullptr,
             nullptr});
      }
      if (store.table_.size() != 0) {
        tables.push_back(store.sorted_table());
        add({RunReader<Key>(nullptr, nullptr), tables.back().data(),
             tables.back().data() + tables.back().size()});
      }
    }
    if (live.size() == 1) {  // one source: nothing to merge
      Source& only = live.front();
      do {
        visit(only.key, only.count);
      } while (only.advance());
      return;
    }
    while (!live.empty()) {
      std::size_t least = 0;
      for (std::size_t s = 1; s < live.size(); ++s) {
        if (live[s].key < live[least].key) least = s;
      }
      const Key key = live[least].key;
      Slot window = Slot::make(key, live[least].count);
      bool ended = !live[least].advance();
      for (std::size_t s = least + 1; s < live.size(); ++s) {
        if (live[s].key == key) {
          window.add(live[s].count);
          ended |= !live[s].advance();
        }
      }
      visit(key, window.counted());
      if (ended) {
        // A source that moved on has a larger key; those still at `key` have ended.
        live.erase(std::remove_if(live.begin(), live.end(),
                                  [key](const Source& source) { return source.key == key; }),
                   live.end());
      }
    }
  }

  std::size_t bytes_;
  std::vector<Run> runs_;
  Table table_;
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_INTERNAL_WINDOW_COUNTS_H_
