// Windows of bytes as integer keys (internal).
//
// A window of up to 8 bytes (16 with a 128-bit key) is the integer whose bytes are
// the window's, most significant first: its last byte, the one just before a
// position, is in the lowest 8 bits. So the suffix of j bytes of a window is the key
// masked to its low 8 j bits, and the window one byte further on is the key shifted
// up by 8 with the new byte below. Counting, window ids and model files all key
// windows this way.
#ifndef QELT_CORE_UTIL_WINDOW_KEY_H_
#define QELT_CORE_UTIL_WINDOW_KEY_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qelt {
namespace internal {

// The keys of windows of `length` bytes are exactly the values of this mask or below.
template <typename Key = std::uint64_t>
Key window_mask(std::size_t length) {
  return length >= sizeof(Key) ? ~Key{0} : (Key{1} << (8 * length)) - 1;
}

// The `length` bytes at `p` as a key, read one by one.
template <typename Key = std::uint64_t>
Key window_key(const std::uint8_t* p, std::size_t length) {
  Key key = 0;
  for (std::size_t i = 0; i < length; ++i) key = (key << 8) | p[i];
  return key;
}

// window_key of the `length` <= 8 bytes at `p`, read as one word when 8 bytes from
// `p` lie before `end`; no byte at or past `end` is read.
inline std::uint64_t window_key_fast(const std::uint8_t* p, const std::uint8_t* end,
                                     std::size_t length) {
  if (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return __builtin_bswap64(word) >> (64 - 8 * length);
  }
  return window_key(p, length);
}

// The key of a window moved along the bytes one at a time.
template <typename Key = std::uint64_t>
class RollingKey {
 public:
  explicit RollingKey(std::size_t length) : mask_(window_mask<Key>(length)) {}

  // The window one byte further on, ending with `byte`.
  Key push(std::uint8_t byte) {
    key_ = ((key_ << 8) | byte) & mask_;
    return key_;
  }
  Key key() const { return key_; }

 private:
  Key mask_;
  Key key_ = 0;
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_UTIL_WINDOW_KEY_H_
