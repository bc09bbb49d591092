// The strings a document has shown so far, as a trie of contexts and followers
// (internal).
//
// Every string of 1 .. k + 1 bytes that ends at a byte read is a node, keyed by its
// parent (the string without its last byte) and that last byte; the root is the empty
// string. A node counts how often its string occurred and how often it was followed,
// and lists its followers (its children), so that what a context has shown can be
// read off one node. Reading a byte adds it to the k + 1 strings ending there, each the
// child of a string that ended at the byte before: no string is ever searched for by
// its bytes.
#ifndef QELT_CORE_INTERNAL_DOCUMENT_STRINGS_H_
#define QELT_CORE_INTERNAL_DOCUMENT_STRINGS_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "hash.h"
#include "probing_table.h"

namespace qelt {
namespace internal {

class DocumentStrings {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  static constexpr int kMaxLength = 9;  // k + 1 for the longest contexts, of 8 bytes

  struct Node {
    std::uint32_t count = 0;     // occurrences of the string
    std::uint32_t followed = 0;  // of which some byte followed
    std::uint32_t first_child = kNone;
    std::uint32_t next_sibling = kNone;
    // Free for the user: the model's probability of the last byte after the bytes
    // before it, for the strings of k + 1 bytes (-1 until set).
    float probability = -1.0f;
    std::uint16_t distinct = 0;  // children
    std::uint8_t byte = 0;       // the last byte
  };

  // For contexts of up to `k` bytes (0 .. 8).
  explicit DocumentStrings(int k) : k_(k) { clear(0); }

  // Forgets every string; `expected_bytes` (0: unknown) is the length of the document
  // that follows, for the room made.
  void clear(std::size_t expected_bytes) {
    nodes_.clear();
    nodes_.emplace_back();
    ending_.fill(0);
    position_ = 0;
    // A text shows about half as many distinct strings as it has positions, at each
    // length; the table grows past that if need be.
    children_.clear(expected_bytes * static_cast<std::size_t>(k_ + 1) / 2);
  }

  std::uint64_t position() const { return position_; }

  // The node of the `length` bytes before the position (length <= min(position, k)).
  std::uint32_t ending(int length) const { return ending_[length]; }
  Node& node(std::uint32_t index) { return nodes_[index]; }
  const Node& node(std::uint32_t index) const { return nodes_[index]; }

  // The child of `parent` whose last byte is `byte`, or kNone.
  std::uint32_t child(std::uint32_t parent, std::uint8_t byte) const {
    const ChildSlot* slot = children_.find(tag_of(parent, byte));
    return slot == nullptr ? kNone : slot->node;
  }

  // Reads `byte`: the strings of 1 .. min(position + 1, k + 1) bytes ending at it.
  void push(std::uint8_t byte) {
    const int top = static_cast<int>(std::min<std::uint64_t>(position_, k_));
    // Longest first, so that ending_[length - 1] is still the string before the byte.
    for (int length = top + 1; length >= 1; --length) {
      const std::uint32_t found = add_child(ending_[length - 1], byte);
      if (length <= k_) ending_[length] = found;
    }
    ++position_;
  }

 private:
  struct ChildSlot {
    using Key = std::uint64_t;
    Key tag = 0;  // 0: empty
    std::uint32_t node = 0;
    Key key() const { return tag; }
    bool empty() const { return tag == 0; }
  };
  static std::uint64_t tag_of(std::uint32_t parent, std::uint8_t byte) {
    return (std::uint64_t{parent} << 8 | byte) + 1;
  }

  std::uint32_t add_child(std::uint32_t parent, std::uint8_t byte) {
    bool inserted;
    ChildSlot& slot = children_.find_or_insert(
        tag_of(parent, byte),
        [&] { return ChildSlot{tag_of(parent, byte), static_cast<std::uint32_t>(nodes_.size())}; },
        inserted);
    const std::uint32_t index = slot.node;
    if (inserted) {
      if (nodes_.size() >= kNone - 1) {
        throw std::length_error("a document too long to learn from: over 2^32 strings");
      }
      Node fresh;
      fresh.byte = byte;
      fresh.next_sibling = nodes_[parent].first_child;
      nodes_.push_back(fresh);
      nodes_[parent].first_child = index;
      ++nodes_[parent].distinct;
    }
    ++nodes_[index].count;
    ++nodes_[parent].followed;
    return index;
  }

  int k_;
  std::vector<Node> nodes_;
  GrowingTable<ChildSlot, FibonacciMix> children_;
  std::array<std::uint32_t, kMaxLength> ending_{};
  std::uint64_t position_ = 0;
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_INTERNAL_DOCUMENT_STRINGS_H_
