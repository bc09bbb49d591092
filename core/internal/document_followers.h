// What followed each context of k bytes earlier in a document (internal).
//
// A context the document has shown is a slot of a hash table, found by its key; its
// followers are a list of the distinct bytes that came after it, each with its count. The lists are
// short where it matters (a context of a few bytes is followed by few distinct ones),
// so a byte is found in its list by walking it, as the entropy walks it anyway.
#ifndef QELT_CORE_INTERNAL_DOCUMENT_FOLLOWERS_H_
#define QELT_CORE_INTERNAL_DOCUMENT_FOLLOWERS_H_

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "hash.h"
#include "probing_table.h"

namespace qelt {
namespace internal {

// A context a document has shown, kept in the slot of the table that finds it, so that
// one read brings both. Valid until the next DocumentFollowers::add().
struct DocumentContext {
  using Key = std::uint64_t;
  Key bytes = 0;
  std::uint32_t followed = 0;                // times some byte followed it
  std::uint32_t first = ~std::uint32_t{0};  // its first follower, if any
  std::uint32_t distinct = 0;  // followers in its list; 0 marks an empty slot
  // Free for the user: sums over the followers, and whether they are up to date
  // (cleared whenever a follower is added).
  bool summed = false;
  double sums[3] = {0.0, 0.0, 0.0};

  Key key() const { return bytes; }
  bool empty() const { return distinct == 0; }
};

class DocumentFollowers {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};

  struct Follower {
    std::uint32_t next = kNone;  // the next follower of the same context
    std::uint32_t count = 0;
    // Free for the user: the model's probability of the byte after the context, and
    // p ln p, once looked up (-1 until then).
    float probability = -1.0f;
    float p_log_p = 0.0f;
    std::uint8_t byte = 0;
  };

  using Context = DocumentContext;

  // Forgets every context; `expected_bytes` (0: unknown) is the length of the document
  // that follows, for the room made.
  void clear(std::size_t expected_bytes) {
    followers_.clear();
    // About half of a text's positions show a context of a few bytes for the first time;
    // the table grows past that if need be.
    table_.clear(expected_bytes / 2);
  }

  // Asks for the context of `key` early, for a find() soon after.
  void prefetch(std::uint64_t key) const { table_.prefetch(key); }

  // The context of `key`, or null if the document has not shown it.
  Context* find(std::uint64_t key) { return const_cast<Context*>(table_.find(key)); }
  const Context* find(std::uint64_t key) const { return table_.find(key); }

  Follower& follower(std::uint32_t index) { return followers_[index]; }
  const Follower& follower(std::uint32_t index) const { return followers_[index]; }

  // The follower `byte` of `context`, or kNone.
  std::uint32_t follower_of(const Context& context, std::uint8_t byte) const {
    std::uint32_t f = context.first;
    while (f != kNone && followers_[f].byte != byte) f = followers_[f].next;
    return f;
  }

  // Records that `byte` followed the context of `key`, which is `known` if the document
  // has shown it (null: look it up); returns the context and, in `follower`, the byte's
  // follower, whose count is not yet raised, with `added` set if it is new. The follower
  // found is moved to the front of its list, where the frequent ones then stay.
  Context& add(std::uint64_t key, Context* known, std::uint8_t byte, std::uint32_t& follower,
               bool& added) {
    if (followers_.size() >= kNone - 1) {
      throw std::length_error("a document too long to learn from: over 2^32 followers");
    }
    bool inserted = false;
    Context& context = known != nullptr ? *known : table_.find_or_insert(key, [&] {
      Context fresh;
      fresh.bytes = key;
      fresh.distinct = 1;  // the follower added below: the slot is taken from now on
      return fresh;
    }, inserted);
    std::uint32_t before = kNone;
    std::uint32_t f = inserted ? kNone : context.first;
    while (f != kNone && followers_[f].byte != byte) {
      before = f;
      f = followers_[f].next;
    }
    added = f == kNone;
    if (!added && before != kNone) {
      followers_[before].next = followers_[f].next;
      followers_[f].next = context.first;
      context.first = f;
    }
    if (added) {
      f = static_cast<std::uint32_t>(followers_.size());
      Follower fresh;
      fresh.byte = byte;
      fresh.next = context.first;
      followers_.push_back(fresh);
      context.first = f;
      context.distinct += inserted ? 0 : 1;
      context.summed = false;
    }
    follower = f;
    return context;
  }

 private:
  std::vector<Follower> followers_;
  GrowingTable<Context, FibonacciMix> table_;
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_INTERNAL_DOCUMENT_FOLLOWERS_H_
