// What followed each context of k bytes earlier in a document (internal).
//
// A context the document has shown is a slot of a hash table, found by its key, and
// holds the byte that followed it last, with that byte's count; the other bytes that
// followed it are a list, each with its count. A byte met again moves to the slot, so
// the frequent ones stay at hand: most contexts of a few bytes are followed by one or
// two distinct bytes, and reading one of them then touches the slot alone. The lists
// are short where it matters, so a byte is found in its list by walking it, as the
// entropy sums walk it anyway.
#ifndef QELT_CORE_SCORING_DOCUMENT_FOLLOWERS_H_
#define QELT_CORE_SCORING_DOCUMENT_FOLLOWERS_H_

#include <cstddef>
#include <cstdint>
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
// cache line), so that one read brings both. Valid until the next
// DocumentFollowers::add().
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
  std::int64_t suffix_slot = -1;
  double a_log_a = 0.0;
  float mass = 0.0f;
  float p_log_p = 0.0f;

  Key key() const { return bytes; }
  bool empty() const { return distinct == 0; }
};
static_assert(sizeof(DocumentContext) == 64, "a context is one cache line");

class DocumentFollowers {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  using Context = DocumentContext;
  using Follower = DocumentFollower;

  // Forgets every context; `expected_bytes` (0: unknown) is the length of the document
  // that follows, for the room made.
  void clear(std::size_t expected_bytes) {
    others_.clear();
    // Room for an eighth: in Python source, contexts of 3 and 4 bytes are new at 13% and
    // 22% of the positions. The table grows past that if need be, which costs less than
    // clearing a larger one for every document.
    table_.clear(expected_bytes / 8);
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
    for (std::uint32_t node = context.others; node != kNone; node = others_[node].next) {
      visit(others_[node].follower);
    }
  }

  // The follower `byte` of `context`, or null.
  const Follower* follower_of(const Context& context, std::uint8_t byte) const {
    if (context.last.byte == byte) return &context.last;
    for (std::uint32_t node = context.others; node != kNone; node = others_[node].next) {
      if (others_[node].follower.byte == byte) return &others_[node].follower;
    }
    return nullptr;
  }

  // Records that `byte` followed the context of `key`, which is `known` if the document
  // has shown it (null: look it up); returns the context, whose `last` is then the
  // byte's follower with its count not yet raised, and sets `added` if it is new.
  Context& add(std::uint64_t key, Context* known, std::uint8_t byte, bool& added) {
    bool inserted = false;
    Context& context = known != nullptr ? *known : table_.find_or_insert(key, [&] {
      Context fresh;
      fresh.bytes = key;
      fresh.distinct = 1;  // the byte, put in below: the slot is taken from now on
      fresh.last.byte = byte;
      return fresh;
    }, inserted);
    added = inserted;
    if (inserted || context.last.byte == byte) return context;
    std::uint32_t before = kNone;
    std::uint32_t node = context.others;
    while (node != kNone && others_[node].follower.byte != byte) {
      before = node;
      node = others_[node].next;
    }
    if (node != kNone) {
      // Met again: to the slot, and the one there to its place in the list.
      std::swap(context.last, others_[node].follower);
      if (before != kNone) {  // and that one to the list's front
        others_[before].next = others_[node].next;
        others_[node].next = context.others;
        context.others = node;
      }
      return context;
    }
    if (others_.size() >= kNone - 1) {
      throw std::length_error("a document too long to learn from: over 2^32 followers");
    }
    others_.push_back({context.last, context.others});
    context.others = static_cast<std::uint32_t>(others_.size() - 1);
    context.last = Follower();
    context.last.byte = byte;
    ++context.distinct;
    context.summed = false;
    added = true;
    return context;
  }

 private:
  struct Node {
    Follower follower;
    std::uint32_t next;
  };

  std::vector<Node> others_;
  GrowingTable<Context, FibonacciMix> table_;
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_SCORING_DOCUMENT_FOLLOWERS_H_
