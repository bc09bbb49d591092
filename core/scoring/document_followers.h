// What followed each context of k bytes earlier in a document (internal).
//
// A context the document has shown is a slot of a hash table, found by its key, and
// holds the byte that followed it last, with that byte's count; the other bytes that
// followed it are a list, each with its count. A byte met again moves to the slot, so
// the frequent ones stay at hand: most contexts of a few bytes are followed by one or
// two distinct bytes, and reading one of them then touches the slot alone. The lists
// are short where it matters, so a byte is found in its list by walking it, as the
// entropy sums walk it anyway.
//
// The statistics live within a memory budget, counted from what they hold alone (never
// from the room their containers happen to have, so that where they start afresh
// depends on the bytes and the budget only): kBytesPerSlot for each slot of the table
// that the contexts shown need (a power of two, at least 16, at most three quarters
// full), which covers the slot and the old table that growing it holds for a moment,
// and kBytesPerNode for each byte in a list. A byte that would take them past the
// budget makes them start afresh, and is the first they count.
#ifndef QELT_CORE_SCORING_DOCUMENT_FOLLOWERS_H_
#define QELT_CORE_SCORING_DOCUMENT_FOLLOWERS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "util/hash.h"
#include "util/probing_table.h"

namespace qelt {
namespace internal {

// A byte that followed a context.
struct DocumentFollower {
  std::uint32_t count = 0;
  // Free for the user: the model's probability of the byte after the context, and
  // p ln p, once looked up (-1 until then).
  float probability = -1.0f;
  float p_log_p = 0.0f;
  std::uint8_t byte = 0;
};

// A context a document has shown, kept in the slot of the table that finds it (one
// cache line), so that one read brings both; with room for the adaptive reader's
// lookups and sums. Valid until the next add() of its table.
//
// A table can hold contexts of any type that has the fields below up to `distinct`
// (with `last` of a follower type that has `count` and `byte`) and
// followers_changed(), called when a byte follows it for the first time.
struct alignas(64) DocumentContext {
  using Key = std::uint64_t;
  Key bytes = 0;
  std::uint32_t followed = 0;  // times some byte followed it
  std::uint32_t others = ~std::uint32_t{0};  // the list of the followers but the last
  DocumentFollower last;       // the byte met last
  std::uint16_t distinct = 0;  // bytes that followed it; 0 marks an empty slot
  // Free for the user: whether the sums below are up to date (cleared whenever a
  // follower is added), where the model's lookups after the context start (its
  // longest kept suffix: length, slot, entropy) and sums over the followers.
  bool summed = false;
  std::int8_t suffix_length = -1;
  float suffix_entropy = 0.0f;
  const std::uint8_t* suffix_slot = nullptr;
  double a_log_a = 0.0;
  float mass = 0.0f;
  float p_log_p = 0.0f;

  Key key() const { return bytes; }
  bool empty() const { return distinct == 0; }
  void followers_changed() { summed = false; }
};
static_assert(sizeof(DocumentContext) == 64, "a context is one cache line");

template <typename ContextType>
class ContextFollowers {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  using Context = ContextType;
  using Follower = decltype(Context::last);

 private:
  struct Node {
    Follower follower;
    std::uint32_t next;
  };

 public:
  // What the budget counts (see the top of this file).
  static constexpr std::uint64_t kBytesPerSlot = sizeof(Context) * 3 / 2;
  static constexpr std::uint64_t kBytesPerNode = sizeof(Node);
  // No budget.
  static constexpr std::uint64_t kUnbounded = ~std::uint64_t{0};

  // Statistics within `budget` bytes, which must hold a context at least
  // (kBytesPerSlot times the 16 slots of the smallest table).
  explicit ContextFollowers(std::uint64_t budget = kUnbounded) : budget_(budget) {
    if (budget < cost(1, 0)) throw std::invalid_argument("a budget too small for one context");
  }

  // What statistics of `contexts` contexts and `nodes` listed bytes count as.
  static std::uint64_t cost(std::uint64_t contexts, std::uint64_t nodes) {
    return kBytesPerSlot * Table::slots_for(contexts) + kBytesPerNode * nodes;
  }

  // Forgets every context, with room made for `expected_contexts` (the table grows
  // past that if need be; it never starts larger than the budget lets it grow).
  void clear(std::uint64_t expected_contexts) {
    nodes_.clear();
    restarts_ = 0;
    table_.clear(static_cast<std::size_t>(std::min(expected_contexts, most_contexts())));
  }

  // How many times the statistics have started afresh since clear().
  std::uint64_t restarts() const { return restarts_; }

  // Starts afresh, as a full budget makes them: forgets every context and keeps the
  // room, so allocates nothing (room made by reserve() stays made).
  void restart() {
    table_.clear_in_place();
    nodes_.clear();
    ++restarts_;
  }

  // Makes room for what `positions` more positions can add (capped by the budget), so
  // that adding them allocates nothing. Throws std::bad_alloc, the statistics left as
  // they were, if the room cannot be had.
  void reserve(std::uint64_t positions) {
    table_.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(table_.size() + positions, most_contexts())));
    nodes_.reserve(std::min<std::uint64_t>(nodes_.size() + positions, most_nodes()));
  }

  // Prefetches the context of `key`, for a find() soon after.
  void prefetch(std::uint64_t key) const { table_.prefetch(key); }

  // The context of `key`, or null if the document has not shown it.
  Context* find(std::uint64_t key) { return const_cast<Context*>(table_.find(key)); }
  const Context* find(std::uint64_t key) const { return table_.find(key); }

  // Calls visit(follower) for every byte that followed `context`.
  template <typename Visit>
  void for_each(Context& context, Visit visit) {
    visit(context.last);
    for (std::uint32_t node = context.others; node != kNone; node = nodes_[node].next) {
      visit(nodes_[node].follower);
    }
  }

  // The follower `byte` of `context`, or null.
  const Follower* follower_of(const Context& context, std::uint8_t byte) const {
    if (context.last.byte == byte) return &context.last;
    for (std::uint32_t node = context.others; node != kNone; node = nodes_[node].next) {
      if (nodes_[node].follower.byte == byte) return &nodes_[node].follower;
    }
    return nullptr;
  }

  // Records that `byte` followed the context of `key`, which is `known` if the document
  // has shown it (null: look it up); returns the context, whose `last` is then the
  // byte's follower with its count not yet raised, and sets `added` if it is new. If
  // the byte takes the statistics past the budget, they start afresh first: the
  // context returned is then a new one, and `known` no longer valid.
  Context& add(std::uint64_t key, Context* known, std::uint8_t byte, bool& added) {
    added = true;
    if (known == nullptr) {
      if (cost(table_.size() + 1, nodes_.size()) > budget_) restart();
      return insert(key, byte);
    }
    Context& context = *known;
    if (context.last.byte == byte) {
      added = false;
      return context;
    }
    std::uint32_t before = kNone;
    std::uint32_t node = context.others;
    while (node != kNone && nodes_[node].follower.byte != byte) {
      before = node;
      node = nodes_[node].next;
    }
    if (node != kNone) {
      // Met again: to the slot, and the one there to its place in the list.
      std::swap(context.last, nodes_[node].follower);
      if (before != kNone) {  // and that one to the list's front
        nodes_[before].next = nodes_[node].next;
        nodes_[node].next = context.others;
        context.others = node;
      }
      added = false;
      return context;
    }
    if (cost(table_.size(), nodes_.size() + 1) > budget_) {
      restart();
      return insert(key, byte);
    }
    if (nodes_.size() >= kNone - 1) {
      throw std::length_error("a document too long to learn from: over 2^32 followers");
    }
    const std::uint32_t added_node = nodes_.push_back({context.last, context.others});
    context.others = added_node;
    context.last = Follower();
    context.last.byte = byte;
    ++context.distinct;
    context.followers_changed();
    return context;
  }

 private:
  // Nodes in blocks that never move, so that growing copies nothing and the room held
  // is at most one block beyond what is used.
  class Nodes {
   public:
    static constexpr std::uint32_t kBlockBits = 12;
    static constexpr std::uint32_t kBlock = 1u << kBlockBits;

    std::uint64_t size() const { return size_; }
    Node& operator[](std::uint32_t i) { return blocks_[i >> kBlockBits][i & (kBlock - 1)]; }
    const Node& operator[](std::uint32_t i) const {
      return blocks_[i >> kBlockBits][i & (kBlock - 1)];
    }
    // Keeps the blocks: memory once taken stays for the document.
    void clear() { size_ = 0; }
    void reserve(std::uint64_t nodes) {
      blocks_.reserve(static_cast<std::size_t>((nodes + kBlock - 1) / kBlock));
      while (static_cast<std::uint64_t>(blocks_.size()) * kBlock < nodes) {
        blocks_.push_back(std::make_unique<Node[]>(kBlock));
      }
    }
    std::uint32_t push_back(const Node& node) {
      reserve(size_ + 1);
      (*this)[static_cast<std::uint32_t>(size_)] = node;
      return static_cast<std::uint32_t>(size_++);
    }

   private:
    std::vector<std::unique_ptr<Node[]>> blocks_;
    std::uint64_t size_ = 0;
  };

  using Table = GrowingTable<Context, FibonacciMix>;

  // The most contexts, and the most listed bytes, the budget holds.
  std::uint64_t most_contexts() const {
    if (budget_ == kUnbounded) return kUnbounded;
    std::uint64_t slots = 16;
    while (kBytesPerSlot * 2 * slots <= budget_) slots *= 2;
    return slots / 4 * 3;
  }
  std::uint64_t most_nodes() const {
    return budget_ == kUnbounded ? kUnbounded : budget_ / kBytesPerNode;
  }

  Context& insert(std::uint64_t key, std::uint8_t byte) {
    bool inserted;
    return table_.find_or_insert(key, [&] {
      Context fresh;
      fresh.bytes = key;
      fresh.distinct = 1;  // the byte, put in below: the slot is taken from now on
      fresh.last.byte = byte;
      return fresh;
    }, inserted);
  }

  std::uint64_t budget_;
  std::uint64_t restarts_ = 0;
  Nodes nodes_;
  Table table_;
};

// The adaptive reader's; its budget counts 20 bytes a listed byte.
using DocumentFollowers = ContextFollowers<DocumentContext>;
static_assert(DocumentFollowers::kBytesPerNode == 20, "a listed byte takes what the budget counts");

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_SCORING_DOCUMENT_FOLLOWERS_H_
