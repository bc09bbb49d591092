// What followed each context of k bytes earlier in a document (internal).
//
// A context the document has shown is an entry found by its key; its followers are a
// list of the distinct bytes that came after it, each with its count. The lists are
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

  struct Context {
    std::uint32_t followed = 0;   // times some byte followed it
    std::uint32_t first = kNone;  // its first follower
    std::uint32_t distinct = 0;   // followers in its list
    // Free for the user: sums over the followers, and whether they are up to date
    // (cleared whenever a follower is added).
    bool summed = false;
    double sums[3] = {0.0, 0.0, 0.0};
  };

  // Forgets every context; `expected_bytes` (0: unknown) is the length of the document
  // that follows, for the room made.
  void clear(std::size_t expected_bytes) {
    contexts_.clear();
    followers_.clear();
    // About half of a text's positions show a context of a few bytes for the first time;
    // the table grows past that if need be.
    table_.clear(expected_bytes / 2);
  }

  // Asks for the slot of `key` early, for a find() soon after; and then, once that slot
  // has come, for the entry of its context.
  void prefetch(std::uint64_t key) const { table_.prefetch(key); }
  void prefetch_context(std::uint64_t key) const {
    const std::uint32_t index = find(key);
    if (index != kNone) __builtin_prefetch(&contexts_[index]);
  }

  // The context of `key`, or kNone if the document has not shown it.
  std::uint32_t find(std::uint64_t key) const {
    const Slot* slot = table_.find(key);
    return slot == nullptr ? kNone : slot->index;
  }

  Context& context(std::uint32_t index) { return contexts_[index]; }
  const Context& context(std::uint32_t index) const { return contexts_[index]; }
  Follower& follower(std::uint32_t index) { return followers_[index]; }
  const Follower& follower(std::uint32_t index) const { return followers_[index]; }

  // The follower `byte` of the context `index`, or kNone.
  std::uint32_t follower_of(std::uint32_t index, std::uint8_t byte) const {
    std::uint32_t f = contexts_[index].first;
    while (f != kNone && followers_[f].byte != byte) f = followers_[f].next;
    return f;
  }

  // Records that `byte` followed the context of `key`, whose entry is `index` if the
  // document has shown it (kNone: look it up); returns the context's entry and, in
  // `follower`, that of the byte, whose count is not yet raised, with `added` set if it
  // is new. The follower found is moved to the front of its list, where the frequent
  // ones then stay.
  std::uint32_t add(std::uint64_t key, std::uint32_t index, std::uint8_t byte,
                    std::uint32_t& follower, bool& added) {
    if (index == kNone) {
      bool inserted;
      index = table_.find_or_insert(
          key, [&] { return Slot{key, static_cast<std::uint32_t>(contexts_.size())}; },
          inserted).index;
      if (inserted) contexts_.emplace_back();
    }
    std::uint32_t before = kNone;
    std::uint32_t f = contexts_[index].first;
    while (f != kNone && followers_[f].byte != byte) {
      before = f;
      f = followers_[f].next;
    }
    added = f == kNone;
    if (!added && before != kNone) {
      followers_[before].next = followers_[f].next;
      followers_[f].next = contexts_[index].first;
      contexts_[index].first = f;
    }
    if (added) {
      if (followers_.size() >= kNone - 1) {
        throw std::length_error("a document too long to learn from: over 2^32 followers");
      }
      f = static_cast<std::uint32_t>(followers_.size());
      Follower fresh;
      fresh.byte = byte;
      fresh.next = contexts_[index].first;
      followers_.push_back(fresh);
      contexts_[index].first = f;
      ++contexts_[index].distinct;
      contexts_[index].summed = false;
    }
    follower = f;
    return index;
  }

 private:
  struct Slot {
    using Key = std::uint64_t;
    Key context = 0;
    std::uint32_t index = kNone;  // kNone: empty
    Key key() const { return context; }
    bool empty() const { return index == kNone; }
  };

  std::vector<Context> contexts_;
  std::vector<Follower> followers_;
  GrowingTable<Slot, FibonacciMix> table_;
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_INTERNAL_DOCUMENT_FOLLOWERS_H_
