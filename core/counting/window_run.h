// Runs of counted windows in their stored form (internal): windows in ascending order
// of key, each as the difference from the previous key and its count, both LEB128
// varints. This is the body of the counts encoding (docs/formats.md, "Context
// counts"), and also how counts are kept in memory between merges: a run of a corpus
// takes a few bytes a window, and merging runs reads and writes them in order.
#ifndef QELT_CORE_COUNTING_WINDOW_RUN_H_
#define QELT_CORE_COUNTING_WINDOW_RUN_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "util/big_buffer.h"

namespace qelt {
namespace internal {

// Bytes of a run. Growing one writes nothing before the bytes themselves.
using RunBytes = BigVector<std::uint8_t>;

// The most bytes a varint of a Value takes.
template <typename Value>
constexpr std::size_t kMostVarintBytes = (8 * sizeof(Value) + 6) / 7;

// Writes `value` as a varint at `p`; returns the end of what it wrote.
template <typename Value>
inline std::uint8_t* put_varint(std::uint8_t* p, Value value) {
  while (value >= 0x80) {
    *p++ = static_cast<std::uint8_t>(value) | 0x80;
    value >>= 7;
  }
  *p++ = static_cast<std::uint8_t>(value);
  return p;
}

template <typename Value>
void put_varint(RunBytes& out, Value value) {
  std::uint8_t bytes[kMostVarintBytes<Value>];
  out.insert(out.end(), bytes, put_varint(bytes, value));
}

// Reads a varint at `p`, advancing it. The bytes are trusted: made by put_varint, or
// checked when they were decoded from outside.
template <typename Value>
inline Value take_varint(const std::uint8_t*& p) {
  if (*p < 0x80) return *p++;  // most counts, and most steps between keys in order
  Value value = *p & 0x7F;
  for (int shift = 7; *p++ & 0x80; shift += 7) value |= static_cast<Value>(*p & 0x7F) << shift;
  return value;
}

// Room enough, for almost every run, for `windows` windows of keys of `key_bits` bits,
// each key one of about `neighbours` in ascending order: keys spread over their range
// step by about 2^key_bits / neighbours, whose varint, with a byte for the count and
// one to spare, is the room of a window. Room made beforehand spares a run the copies
// of growing; room never written takes no memory.
inline std::size_t run_room(std::size_t key_bits, std::uint64_t neighbours,
                            std::uint64_t windows) {
  const std::size_t spread = neighbours < 2 ? 0 : 63 - __builtin_clzll(neighbours);
  const std::size_t step_bits = key_bits > spread + 7 ? key_bits - spread : 7;
  return static_cast<std::size_t>(windows) * ((step_bits + 6) / 7 + 2);
}

// Appends windows, in ascending order of key, to a run. The run holds what was
// added once finish() is called.
template <typename Key>
class RunWriter {
 public:
  explicit RunWriter(RunBytes& out) : out_(out), used_(out.size()) {}

  __attribute__((always_inline)) void add(Key key, std::uint64_t count) {
    constexpr std::size_t kMost = kMostVarintBytes<Key> + kMostVarintBytes<std::uint64_t>;
    if (out_.size() - used_ < kMost) grow(kMost);
    std::uint8_t* end = put_varint(out_.data() + used_, key - previous_);
    end = put_varint(end, count);
    used_ = static_cast<std::size_t>(end - out_.data());
    previous_ = key;
    ++windows_;
  }

  void finish() { out_.resize(used_); }

  std::uint64_t windows() const { return windows_; }

 private:
  // Room for `bytes` more; the new room is not written (the elements start
  // uninitialised).
  __attribute__((noinline)) void grow(std::size_t bytes) {
    out_.resize(std::max({2 * out_.size(), out_.capacity(), used_ + bytes}));
  }

  RunBytes& out_;
  std::size_t used_;
  Key previous_ = 0;
  std::uint64_t windows_ = 0;
};

// Reads the windows of a run in order: while (reader.next()) use key() and count().
template <typename Key>
class RunReader {
 public:
  RunReader(const std::uint8_t* begin, const std::uint8_t* end) : p_(begin), end_(end) {}

  __attribute__((always_inline)) bool next() {
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

#endif  // QELT_CORE_COUNTING_WINDOW_RUN_H_
