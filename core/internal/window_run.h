// Runs of counted windows in their stored form (internal): windows in ascending order
// of key, each as the difference from the previous key and its count, both LEB128
// varints. This is the body of the counts encoding (docs/formats.md, "Context
// counts"), and also how counts are kept in memory between merges: a run of a corpus
// takes a few bytes a window, and merging runs reads and writes them in order.
#ifndef QELT_CORE_INTERNAL_WINDOW_RUN_H_
#define QELT_CORE_INTERNAL_WINDOW_RUN_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qelt {
namespace internal {

// Bytes of a run.
using RunBytes = std::vector<std::uint8_t>;

template <typename Value>
void put_varint(RunBytes& out, Value value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value) | 0x80);
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

// Reads a varint at `p`, advancing it. The bytes are trusted: made by put_varint, or
// checked when they were decoded from outside.
template <typename Value>
Value take_varint(const std::uint8_t*& p) {
  Value value = *p & 0x7F;
  for (int shift = 7; *p++ & 0x80; shift += 7) value |= static_cast<Value>(*p & 0x7F) << shift;
  return value;
}

// Appends windows, in ascending order of key, to a run.
template <typename Key>
class RunWriter {
 public:
  explicit RunWriter(RunBytes& out) : out_(out) {}

  void add(Key key, std::uint64_t count) {
    put_varint(out_, key - previous_);
    put_varint(out_, count);
    previous_ = key;
    ++windows_;
  }

  std::uint64_t windows() const { return windows_; }

 private:
  RunBytes& out_;
  Key previous_ = 0;
  std::uint64_t windows_ = 0;
};

// Reads the windows of a run in order: while (reader.next()) use key() and count().
template <typename Key>
class RunReader {
 public:
  RunReader(const std::uint8_t* begin, const std::uint8_t* end) : p_(begin), end_(end) {}

  bool next() {
    if (p_ == end_) return false;
    key_ += take_varint<Key>(p_);
    count_ = take_varint<std::uint64_t>(p_);
    return true;
  }

  Key key() const { return key_; }
  std::uint64_t count() const { return count_; }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
  Key key_ = 0;
  std::uint64_t count_ = 0;
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_INTERNAL_WINDOW_RUN_H_
