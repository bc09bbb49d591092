// The core's one hash table: open addressing with linear probing (internal).
//
// Counting windows, handing out window ids and looking contexts up in a model file
// all come down to the same structure: an array of slots, each empty or holding one
// key, and a key found by starting at its home slot and stepping one slot at a time,
// wrapping after the last, until it or an empty slot turns up. What differs between
// them is parameter, not code:
//
//   - the slot: what it holds beside the key, and how it marks itself empty;
//   - the hash: fmix64 where a file's layout depends on it, a multiplication where
//     only speed does (hash.h);
//   - the home-slot rule: the top bits of the hash for tables of 2^b slots, the hash
//     times the slot count over 2^64 for tables of any size (a model file's). On a
//     power of two the two rules agree.
//
// ProbingTable is that search over slots it does not own (a model file's mapped
// tables, or an image being written); GrowingTable owns a power of two of slots,
// stays at most 3/4 full and doubles past that.
#ifndef QELT_CORE_UTIL_PROBING_TABLE_H_
#define QELT_CORE_UTIL_PROBING_TABLE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "util/big_buffer.h"
#include "util/prefetch.h"

namespace qelt {
namespace internal {

// Home slots of a table of 2^b slots: the top b bits of the hash.
class PowerOfTwoHome {
 public:
  PowerOfTwoHome() = default;
  // `slots` is a power of two, at least 2.
  explicit PowerOfTwoHome(std::size_t slots)
      : shift_(64 - __builtin_ctzll(slots)), mask_(slots - 1) {}

  std::size_t operator()(std::uint64_t hash) const { return hash >> shift_; }
  std::size_t next(std::size_t slot) const { return (slot + 1) & mask_; }

 private:
  int shift_ = 63;
  std::size_t mask_ = 1;
};

// Home slots of a table of any number of slots: floor(hash * slots / 2^64), which
// spreads the hashes evenly without a division.
class AnySizeHome {
 public:
  AnySizeHome() = default;
  explicit AnySizeHome(std::uint64_t slots) : slots_(slots) {}

  std::size_t operator()(std::uint64_t hash) const {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * slots_) >> 64);
  }
  std::size_t next(std::size_t slot) const { return slot + 1 == slots_ ? 0 : slot + 1; }

 private:
  std::uint64_t slots_ = 0;
};

// Linear probing over `count` slots at `slots`, which it does not own. A Slot has a
// type Key, and key() and empty() const; Hash maps a Key to 64 bits; Home is one of
// the rules above. The table must keep at least one slot empty, so that a search for
// an absent key ends. A table of const Slot only reads: a table that is const itself
// hands out its slots as const too.
template <typename Slot, typename Hash, typename Home>
class ProbingTable {
 public:
  using Key = typename std::remove_const_t<Slot>::Key;

  ProbingTable() = default;
  ProbingTable(Slot* slots, std::size_t count) : slots_(slots), count_(count), home_(count) {}

  static std::uint64_t hash(Key key) { return Hash()(key); }
  std::size_t home_of(std::uint64_t hash) const { return home_(hash); }
  void prefetch(Key key) const { prefetch_hash(hash(key)); }
  void prefetch_hash(std::uint64_t hash) const { internal::prefetch(slots_ + home_(hash)); }

  // The slot holding `key`, or else the empty slot where it belongs (to be filled by
  // the caller). `hash` is hash(key), for a caller that has it already.
  Slot* probe(Key key) { return slots_ + probe_index(key, hash(key)); }
  Slot* probe(Key key, std::uint64_t hash) { return slots_ + probe_index(key, hash); }
  const Slot* probe(Key key) const { return slots_ + probe_index(key, hash(key)); }
  const Slot* probe(Key key, std::uint64_t hash) const {
    return slots_ + probe_index(key, hash);
  }

  // The slot holding `key`, or null.
  const Slot* find(Key key) const {
    const Slot* const slot = probe(key);
    return slot->empty() ? nullptr : slot;
  }

  Slot* begin() { return slots_; }
  Slot* end() { return slots_ + count_; }
  const Slot* begin() const { return slots_; }
  const Slot* end() const { return slots_ + count_; }
  std::size_t slot_count() const { return count_; }

 private:
  std::size_t probe_index(Key key, std::uint64_t hash) const {
    for (std::size_t i = home_(hash);; i = home_.next(i)) {
      const Slot& slot = slots_[i];
      if (slot.empty() || slot.key() == key) return i;
    }
  }

  Slot* slots_ = nullptr;
  std::size_t count_ = 0;
  Home home_;
};

// A probing table that owns its slots: a power of two of them (16 at least), at most
// 3/4 full, doubling when one more key would pass that. A default-constructed Slot
// is empty. Copies are deep.
template <typename Slot, typename Hash>
class GrowingTable {
 public:
  using Key = typename Slot::Key;

  // Room for `keys` keys from the start, so that a table whose size is known never
  // grows.
  explicit GrowingTable(std::size_t keys = 0) { allocate(slots_for(keys)); }

  std::size_t size() const { return size_; }
  std::size_t slot_count() const { return slots_.size(); }
  // How many keys it holds before it grows.
  std::size_t room() const { return limit_; }
  const Slot* slots() const { return slots_.data(); }
  // The home slot of a key of hash `hash`.
  std::size_t home_of(std::uint64_t hash) const { return table_.home_of(hash); }

  // The fewest slots, a power of two, that hold `keys` keys at most 3/4 full.
  static std::size_t slots_for(std::size_t keys) {
    // slots / 4 * 3 >= keys, slots a power of two from kMinSlots (so a multiple of 4):
    // slots >= ceil(4 keys / 3). Asked at every insertion, so no loop.
    const std::uint64_t least = (4 * static_cast<std::uint64_t>(keys) + 2) / 3;
    if (least <= kMinSlots) return kMinSlots;
    return static_cast<std::size_t>(std::uint64_t{1} << (64 - __builtin_clzll(least - 1)));
  }

  // Room for `keys` keys in all without growing. Called before a run of insertions
  // whose number is known: keys taken from another table come in the order of its
  // slots, which is the order of their homes here too, and a table that grew on the
  // way would have them all pile up in its first slots.
  void reserve(std::size_t keys) {
    const std::size_t slots = slots_for(keys);
    if (slots > slots_.size()) rehash(slots);
  }

  // Empties the table, with room for `keys` keys. Costs time in proportion to the
  // larger of the room kept and the room asked for: a table much larger than asked
  // for is given back, so that one large use does not slow every small one after it.
  void clear(std::size_t keys) {
    const std::size_t slots = slots_for(keys);
    if (slots > slots_.size() || slots_.size() > 4 * slots) {
      allocate(slots);
    } else {
      clear_in_place();
    }
  }

  // Empties the table and keeps its room: allocates nothing, and so never throws.
  void clear_in_place() noexcept {
    std::fill(slots_.begin(), slots_.end(), Slot{});
    size_ = 0;
  }

  static std::uint64_t hash(Key key) { return Table::hash(key); }
  void prefetch(Key key) const { table_.prefetch(key); }
  void prefetch_hash(std::uint64_t hash) const { table_.prefetch_hash(hash); }

  // The slot holding `key`. If there is none, make() (a non-empty slot holding `key`)
  // is put in first and `inserted` set. `hash` is hash(key), for a caller that has it
  // already.
  template <typename Make>
  Slot& find_or_insert(Key key, Make make, bool& inserted) {
    return find_or_insert(key, hash(key), make, inserted);
  }
  template <typename Make>
  Slot& find_or_insert(Key key, std::uint64_t hash, Make make, bool& inserted) {
    Slot* const slot = table_.probe(key, hash);
    inserted = slot->empty();
    return inserted ? insert(slot, key, hash, make()) : *slot;
  }

  // The slot holding `key`, or null.
  const Slot* find(Key key) const { return table_.find(key); }

  // As find_or_insert, for a table that has room for `key` made beforehand (reserve):
  // no check for growth, all inline.
  template <typename Make>
  Slot& find_or_insert_reserved(Key key, std::uint64_t hash, Make make, bool& inserted) {
    Slot* const slot = table_.probe(key, hash);
    inserted = slot->empty();
    if (inserted) {
      *slot = make();
      ++size_;
    }
    return *slot;
  }

  // Calls visit(slot) for every filled slot, in slot order.
  template <typename Visit>
  void for_each(Visit visit) const {
    for (const Slot& slot : slots_) {
      if (!slot.empty()) visit(slot);
    }
  }

  // Calls change(slot) on every filled slot.
  template <typename Change>
  void change_each(Change change) {
    for (Slot& slot : slots_) {
      if (!slot.empty()) change(slot);
    }
  }

  GrowingTable(const GrowingTable& other)
      : slots_(other.slots_), size_(other.size_), limit_(other.limit_) {
    table_ = Table(slots_.data(), slots_.size());
  }
  GrowingTable& operator=(const GrowingTable& other) {
    if (this != &other) {
      slots_ = other.slots_;
      size_ = other.size_;
      limit_ = other.limit_;
      table_ = Table(slots_.data(), slots_.size());
    }
    return *this;
  }
  GrowingTable(GrowingTable&&) noexcept = default;
  GrowingTable& operator=(GrowingTable&&) noexcept = default;

 private:
  using Table = ProbingTable<Slot, Hash, PowerOfTwoHome>;
  static constexpr std::size_t kMinSlots = 16;


  using Slots = BigVector<Slot>;

  // The table, emptied, in `slots` new slots. If they cannot be had (std::bad_alloc),
  // the table is as it was.
  void allocate(std::size_t slots) {
    Slots fresh(slots, Slot{});
    slots_.swap(fresh);
    size_ = 0;
    limit_ = slots / 4 * 3;
    table_ = Table(slots_.data(), slots);
  }

  // The same keys in `slots` slots; the table is as it was if they cannot be had.
  void rehash(std::size_t slots) {
    Slots fresh(slots, Slot{});
    Table placing(fresh.data(), slots);
    for (const Slot& slot : slots_) {
      if (!slot.empty()) *placing.probe(slot.key()) = slot;
    }
    slots_.swap(fresh);
    limit_ = slots / 4 * 3;
    table_ = placing;
  }

  // Puts `fresh` (for `key`) in the empty slot `slot`, growing first if the table is
  // full. Kept out of line: new keys are the rare case on the lookup path.
  __attribute__((noinline)) Slot& insert(Slot* slot, Key key, std::uint64_t hash,
                                         const Slot& fresh) {
    if (size_ + 1 > limit_) {
      rehash(2 * slots_.size());
      slot = table_.probe(key, hash);
    }
    *slot = fresh;
    ++size_;
    return *slot;
  }

  Slots slots_;
  std::size_t size_ = 0;
  std::size_t limit_ = 0;
  Table table_;
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_UTIL_PROBING_TABLE_H_
