// Window ids come from one pass over the windows that looks each one up in an index
// handing out the next dense id to every window it has not seen before.
//
// A window of up to 8 bytes is packed into a 64-bit key. Up to 3 bytes, when there
// are enough windows to pay for it, the key indexes a table directly (at most 2^24
// entries, obtained zeroed from the system so that only the pages in use take
// memory); otherwise an open-addressing hash table maps keys to ids. When nearly
// every window is new (random data), that table outgrows the caches and each lookup
// waits on memory; the windows are then sorted by their bytes instead, which reads
// and writes memory mostly in order, and equal windows, now side by side, share an
// id.
//
// A longer window is the pair of its two halves (overlapping when its length is
// odd): the halves get ids first, by the same methods, and the pair of their ids is
// the key. Keys are therefore always exact: no two different windows ever share an
// id, whatever the hash function does.

#include "patching/window_ids.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "util/hash.h"
#include "util/prefetch.h"
#include "util/probing_table.h"
#include "util/radix_sort.h"
#include "util/window_key.h"

namespace qelt {
namespace internal {

namespace {

// Hands out dense ids in order and counts the occurrences of each: the bookkeeping
// shared by every way of finding ids.
template <typename Id>
class IdCounter {
 public:
  // `expected` is how many ids will be handed out, when known: room for them is made
  // at once, instead of growing by copies.
  explicit IdCounter(std::size_t expected = 0) { occurrences_.reserve(expected); }

  // A new id, occurring once so far.
  Id add() {
    occurrences_.push_back(1);
    return static_cast<Id>(occurrences_.size() - 1);
  }

  // Counts one more occurrence of `id`.
  Id count(Id id) {
    ++occurrences_[id];
    return id;
  }

  std::size_t size() const { return occurrences_.size(); }

  // How often each id occurred.
  std::vector<Id> take() { return std::move(occurrences_); }

 private:
  std::vector<Id> occurrences_;
};

// Keys below `slots` index a table directly.
template <typename Id>
class DirectIndex {
 public:
  explicit DirectIndex(std::size_t slots)
      : slots_(static_cast<Id*>(std::calloc(std::max<std::size_t>(slots, 1), sizeof(Id)))) {
    if (!slots_) throw std::bad_alloc();
  }

  void prefetch(std::uint64_t key) const { internal::prefetch(&slots_[key]); }

  // The id of `key`, the next free one if it is new; counts one occurrence of it.
  Id id_of(std::uint64_t key) {
    Id& slot = slots_[key];  // the id plus one; 0 while the key is unseen
    if (slot == 0) {
      const Id id = ids_.add();
      slot = id + 1;
      return id;
    }
    return ids_.count(slot - 1);
  }

  // How often each id occurred.
  std::vector<Id> take_occurrences() { return ids_.take(); }

 private:
  struct Free {
    void operator()(Id* p) const { std::free(p); }
  };
  std::unique_ptr<Id[], Free> slots_;
  IdCounter<Id> ids_;
};

using Key128 = unsigned __int128;

// A slot of a hash index: a key and its id plus one (0 marks an empty slot), side by
// side.
template <typename KeyType, typename Id>
struct WideSlot {
  using Key = KeyType;
  static constexpr std::size_t kMaxIds = static_cast<Id>(-1) - 1;
  Key stored_key = 0;
  Id id_plus_one = 0;

  static WideSlot make(Key key, std::size_t id) { return {key, static_cast<Id>(id + 1)}; }
  Key key() const { return stored_key; }
  bool empty() const { return id_plus_one == 0; }
  std::size_t id() const { return id_plus_one - 1; }
};

// A key of up to 40 bits (a window of 5 bytes) and its id plus one in 8 bytes instead
// of 16, so that twice as many slots fit in the caches; it holds 2^24 - 2 ids.
struct NarrowSlot {
  using Key = std::uint64_t;
  static constexpr int kKeyBits = 40;
  static constexpr std::size_t kMaxIds = (std::size_t{1} << (64 - kKeyBits)) - 2;
  std::uint64_t bits = 0;

  static NarrowSlot make(std::uint64_t key, std::size_t id) {
    return {key | static_cast<std::uint64_t>(id + 1) << kKeyBits};
  }
  std::uint64_t key() const { return bits & ((std::uint64_t{1} << kKeyBits) - 1); }
  bool empty() const { return bits == 0; }
  std::size_t id() const { return (bits >> kKeyBits) - 1; }
};

// Hash tables start with room for this many keys at most, and grow from there.
constexpr std::size_t kInitialKeys = 1536;

// Window keys mapped to ids in a probing table. Slots hold only the key and the id,
// so that more of them fit in the caches; the occurrences are counted by id, where
// the frequent windows, which come early, sit close together. It holds at most
// Slot::kMaxIds keys. A short input (HoldsAll: at most kInitialKeys windows) gets a
// table with room for all of its windows, which never grows: its new keys, most of
// its keys, are then inserted inline, with no check for growth.
template <typename Slot, typename Id, bool HoldsAll>
class HashIndex {
 public:
  using Key = typename Slot::Key;
  static constexpr std::size_t kMaxIds = Slot::kMaxIds;

  // `windows` is how many windows will be looked up: a short input gets a table
  // that holds all of them, and so never grows.
  explicit HashIndex(std::size_t windows)
      : table_(std::min(windows, kInitialKeys)), ids_(std::min(windows, kInitialKeys)) {}

  void prefetch(Key key) const { table_.prefetch(key); }

  // The id of `key`, the next free one if it is new; counts one occurrence of it.
  Id id_of(Key key) {
    bool inserted;
    const auto make = [&] { return Slot::make(key, ids_.size()); };
    const Slot& slot = HoldsAll
                           ? table_.find_or_insert_reserved(key, table_.hash(key), make, inserted)
                           : table_.find_or_insert(key, make, inserted);
    if (inserted) return ids_.add();
    return ids_.count(static_cast<Id>(slot.id()));
  }

  // How many distinct keys it holds.
  std::size_t size() const { return ids_.size(); }

  // How often each id occurred.
  std::vector<Id> take_occurrences() { return ids_.take(); }

 private:
  GrowingTable<Slot, FibonacciMix> table_;
  IdCounter<Id> ids_;
};

constexpr std::size_t kPrefetchDistance = 16;
constexpr std::size_t kPrefetchMin = std::size_t{1} << 14;

template <typename Id>
using PairKey = typename std::conditional<sizeof(Id) <= 4, std::uint64_t, Key128>::type;

// Ids for key_at(0), ..., key_at(count - 1). When the index outgrows the caches
// lookups wait on memory, so the slot of the key kPrefetchDistance ahead is
// prefetched.
template <typename Id, typename Index, typename KeyAt>
void ids_of_keys(Index& index, KeyAt key_at, WindowIds<Id>& ids) {
  const std::size_t count = ids.of.size();
  Id* out = ids.of.data();
  for (std::size_t j = 0; j < count; ++j) {
    if (j + kPrefetchDistance < count) index.prefetch(key_at(j + kPrefetchDistance));
    out[j] = index.id_of(key_at(j));
  }
  ids.occurrences = index.take_occurrences();
}

// A hash table pays while its keys fit in the caches or mostly repeat. It stops
// paying once most windows are new keys, each lookup then missing the caches: judged
// when more than 5/8 of the windows seen so far were new (random or compressed
// data), or when the table holds over kHashLimit keys and more than a quarter were.
// Real text stays well below both as it goes. It is also outgrown when one more
// block of windows could bring more keys than its slots can hold ids.
constexpr std::size_t kHashLimit = std::size_t{1} << 20;
constexpr std::size_t kJudgeAfter = std::size_t{1} << 16;
// Windows are looked up in blocks of kBlock, and whether the index still pays is
// asked once per block.
constexpr std::size_t kBlock = 4096;

template <typename Index>
bool outgrown(const Index&, std::size_t) { return false; }
template <typename Slot, typename Id, bool HoldsAll>
bool outgrown(const HashIndex<Slot, Id, HoldsAll>& index, std::size_t windows) {
  const std::size_t keys = index.size();
  if (keys + kBlock > Slot::kMaxIds) return true;
  return windows >= kJudgeAfter &&
         (keys * 8 > windows * 5 || (keys > kHashLimit && keys * 4 > windows));
}

// Ids of the consecutive windows of `length` <= 8 bytes, with the key rolled along
// one byte at a time. Returns false, leaving `ids` unfinished, if the index outgrew
// the caches on too many distinct windows.
template <typename Id, typename Index>
bool rolling_ids(const std::uint8_t* data, std::size_t size, std::size_t length, Index& index,
                 WindowIds<Id>& ids) {
  Id* out = ids.of.data();
  RollingKey<> key(length);
  for (std::size_t i = 0; i + 1 < length; ++i) key.push(data[i]);
  RollingKey<> ahead = key;  // the key kPrefetchDistance windows further on
  const std::size_t ahead_end = std::min(size, length - 1 + kPrefetchDistance);
  for (std::size_t i = length - 1; i < ahead_end; ++i) ahead.push(data[i]);
  // Windows before this one have a window kPrefetchDistance further on to prefetch.
  // A short input's index stays in the nearest caches, where prefetching only costs.
  const std::size_t prefetch_limit =
      size > kPrefetchDistance && size >= kPrefetchMin ? size - kPrefetchDistance : 0;
  for (std::size_t block = length - 1; block < size; block += kBlock) {
    if (outgrown(index, block)) return false;
    const std::size_t block_end = std::min(size, block + kBlock);
    const std::size_t prefetch_end = std::clamp(prefetch_limit, block, block_end);
    for (std::size_t i = block; i < prefetch_end; ++i) {
      index.prefetch(ahead.push(data[i + kPrefetchDistance]));
      *out++ = index.id_of(key.push(data[i]));
    }
    for (std::size_t i = prefetch_end; i < block_end; ++i) {
      *out++ = index.id_of(key.push(data[i]));
    }
  }
  ids.occurrences = index.take_occurrences();
  return true;
}

// The windows of `length` <= 4 bytes as words holding the window's bytes above its
// start (key << 32 | start), sorted with a radix sort, last byte first (stable, so
// equal windows keep their starts in ascending order). Keys travel with their starts
// so that every pass reads its digit in order instead of gathering it from the data.
BigVector<std::uint64_t> sorted_words(const std::uint8_t* data, std::size_t size,
                                      std::size_t length) {
  const std::size_t count = size - length + 1;
  BigVector<std::uint64_t> words(count);
  {
    BigVector<std::uint64_t> sorted(count);
    RollingKey<> key(length);
    for (std::size_t i = 0; i + 1 < length; ++i) key.push(data[i]);
    for (std::size_t s = 0; s < count; ++s) words[s] = key.push(data[s + length - 1]) << 32 | s;
    radix_sort(words, sorted, length,
               [](std::uint64_t w, std::size_t d) { return (w >> (32 + 8 * d)) & 0xFF; });
  }
  return words;
}

// The starts of the consecutive windows of `length` <= 8 bytes, sorted by the
// windows' bytes as sorted_words sorts them.
template <typename Id>
BigVector<Id> sorted_starts(const std::uint8_t* data, std::size_t size, std::size_t length) {
  const std::size_t count = size - length + 1;
  BigVector<Id> order(count), sorted(count);
  for (std::size_t s = 0; s < count; ++s) order[s] = static_cast<Id>(s);
  radix_sort(order, sorted, length,
             [data, length](Id s, std::size_t d) { return data[s + length - 1 - d]; });
  return order;
}

// Given the windows in sorted order, the j-th with key key_at(j) and start
// start_at(j), sets of[start] to the first start of its run of equal windows, and
// returns the number of runs: the number of distinct windows.
template <typename Id, typename KeyAt, typename StartAt>
std::size_t mark_run_firsts(std::size_t count, KeyAt key_at, StartAt start_at, Id* of) {
  std::size_t runs = 0;
  std::uint64_t previous = 0;
  Id run_first = 0;
  for (std::size_t j = 0; j < count; ++j) {
    const std::uint64_t key = key_at(j);
    const Id start = start_at(j);
    if (j == 0 || key != previous) {
      run_first = start;
      ++runs;
    }
    of[start] = run_first;
    previous = key;
  }
  return runs;
}

// Ids of the consecutive windows of `length` <= 8 bytes by sorting them.
template <typename Id>
void sorted_ids(const std::uint8_t* data, std::size_t size, std::size_t length,
                WindowIds<Id>& ids) {
  // Equal windows, once sorted, stand together, each run in ascending order of start
  // (the sort is stable), so a run's first start is where its window first appears.
  // Every start is given its run's first start; then, walking the starts in order, a
  // start that is its run's first gets the next id and any other the id its run
  // already has. Ids so come in order of first appearance, as from an index, which
  // keeps the later passes over them close to sequential.
  const std::size_t count = ids.of.size();
  Id* of = ids.of.data();
  std::size_t distinct = 0;
  if (sizeof(Id) == 4 && length <= 4) {
    const BigVector<std::uint64_t> words = sorted_words(data, size, length);
    distinct = mark_run_firsts(
        count, [&words](std::size_t j) { return words[j] >> 32; },
        [&words](std::size_t j) { return static_cast<Id>(words[j]); }, of);
  } else {
    const BigVector<Id> order = sorted_starts<Id>(data, size, length);
    const std::uint8_t* end = data + size;
    distinct = mark_run_firsts(
        count, [&](std::size_t j) { return window_key_fast(data + order[j], end, length); },
        [&order](std::size_t j) { return order[j]; }, of);
  }
  IdCounter<Id> counter(distinct);
  for (std::size_t s = 0; s < count; ++s) {
    of[s] = of[s] == s ? counter.add() : counter.count(of[of[s]]);
  }
  ids.occurrences = counter.take();
}

// Ids of the consecutive windows of `length` <= 8 bytes from an index. Returns false,
// leaving `ids` unfinished, if a hash index outgrew the caches.
// rolling_ids with a hash index of Slot, the one for short inputs if it is one.
template <typename Slot, typename Id>
bool hashed_ids(const std::uint8_t* data, std::size_t size, std::size_t length,
                WindowIds<Id>& ids) {
  if (ids.of.size() <= kInitialKeys) {
    HashIndex<Slot, Id, true> index(ids.of.size());
    return rolling_ids(data, size, length, index, ids);
  }
  HashIndex<Slot, Id, false> index(ids.of.size());
  return rolling_ids(data, size, length, index, ids);
}

template <typename Id>
bool indexed_ids(const std::uint8_t* data, std::size_t size, std::size_t length,
                 WindowIds<Id>& ids) {
  // A direct table has 256^length slots, but only the pages in use take memory; it
  // is taken when it is at most 4 slots per window.
  const std::size_t slots = std::size_t{1} << (8 * std::min<std::size_t>(length, 4));
  if (length <= 3 && slots <= 4 * ids.of.size()) {
    DirectIndex<Id> index(slots);
    return rolling_ids(data, size, length, index, ids);
  }
  if (length <= 4) return hashed_ids<WideSlot<std::uint32_t, Id>>(data, size, length, ids);
  if (length == 5) return hashed_ids<NarrowSlot>(data, size, length, ids);
  return hashed_ids<WideSlot<std::uint64_t, Id>>(data, size, length, ids);
}

}  // namespace

template <typename Id>
WindowIds<Id> window_ids(const std::uint8_t* data, std::size_t size, std::size_t length) {
  WindowIds<Id> ids;
  ids.of.resize(size - length + 1);
  if (length <= 8) {
    if (!indexed_ids(data, size, length, ids)) sorted_ids(data, size, length, ids);
    return ids;
  }
  const std::size_t half = (length + 1) / 2;
  const BigVector<Id> halves = window_ids<Id>(data, size, half).of;
  const Id* head = halves.data();
  const Id* tail = halves.data() + (length - half);
  // Windows this long are rare enough that short inputs need no index of their own.
  HashIndex<WideSlot<PairKey<Id>, Id>, Id, false> index(ids.of.size());
  ids_of_keys(
      index,
      [=](std::size_t s) {
        return (static_cast<PairKey<Id>>(head[s]) << (8 * sizeof(Id))) | tail[s];
      },
      ids);
  return ids;
}

template WindowIds<std::uint32_t> window_ids(const std::uint8_t*, std::size_t, std::size_t);
template WindowIds<std::uint64_t> window_ids(const std::uint8_t*, std::size_t, std::size_t);

}  // namespace internal
}  // namespace qelt
