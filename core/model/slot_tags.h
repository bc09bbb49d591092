// A byte per slot of a model's tables, kept in memory beside its image (internal): 0
// for an empty slot, else the low byte of the key's hash (1 in place of 0, so a tag
// matches another key's one time in 255). A lookup scans the tags of its probe
// sequence 16 at a time and reads a slot only where its tag matches. The
// tables are probed at a load of 4/5, where a key that is absent (the common case
// below the longest context kept) runs past a dozen slots on average: over the tags,
// that is part of one cache line, and the tags of every table together are a
// twentieth of the model, which the caches hold where they cannot hold the slots.
#ifndef QELT_CORE_MODEL_SLOT_TAGS_H_
#define QELT_CORE_MODEL_SLOT_TAGS_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qelt {
namespace internal {

// Tags are scanned this many at a time; each table's are followed by as many more,
// the first ones again, so that a scan that runs past the last slot needs no check.
constexpr std::size_t kTagGroup = 16;

inline std::uint8_t slot_tag(std::uint64_t hash) {
  const auto tag = static_cast<std::uint8_t>(hash);
  return tag != 0 ? tag : 1;
}

// The tags of every table of a model, in one buffer (offered for transparent huge
// pages when large: the tables are read at random).
class SlotTags {
 public:
  explicit SlotTags(std::size_t bytes) : size_(bytes) {
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = bytes >= kHugePage ? std::aligned_alloc(kHugePage, rounded) : std::malloc(bytes + 1);
    if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= kHugePage) madvise(p, rounded, MADV_HUGEPAGE);  // advice only
#endif
    bytes_.reset(static_cast<std::uint8_t*>(p));
  }

  std::uint8_t* data() { return bytes_.get(); }
  std::size_t size() const { return size_; }

  // The bytes a table of `slots` slots takes.
  static std::size_t bytes_for(std::uint64_t slots) {
    return slots == 0 ? 0 : static_cast<std::size_t>(slots) + kTagGroup;
  }

  // Fills the group of copies after the `slots` tags at `tags`.
  static void close(std::uint8_t* tags, std::uint64_t slots) {
    for (std::size_t i = 0; i < kTagGroup; ++i) tags[slots + i] = tags[i % slots];
  }

 private:
  struct Free {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<std::uint8_t, Free> bytes_;
  std::size_t size_;
};

// The first slot, in the probe order from `home` of a table of `slots` slots (at least
// one of them empty) whose tags are `tags`, that has the tag `tag` and for which
// is(slot) holds, before the first empty slot; -1 if there is none.
template <typename Is>
inline std::int64_t find_tagged(const std::uint8_t* tags, std::uint64_t slots, std::size_t home,
                                std::uint8_t tag, Is is) {
  std::size_t at = home;
  for (std::uint64_t scanned = 0; scanned < slots; scanned += kTagGroup) {
#if defined(__SSE2__)
    const __m128i group = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tags + at));
    unsigned match = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(group, _mm_set1_epi8(static_cast<char>(tag)))));
    const unsigned empty =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(group, _mm_setzero_si128())));
#else
    unsigned match = 0, empty = 0;
    for (std::size_t i = 0; i < kTagGroup; ++i) {
      match |= unsigned{tags[at + i] == tag} << i;
      empty |= unsigned{tags[at + i] == 0} << i;
    }
#endif
    if (empty != 0) match &= (empty & (0u - empty)) - 1;  // the slots before the first empty
    for (; match != 0; match &= match - 1) {
      std::size_t slot = at + static_cast<std::size_t>(__builtin_ctz(match));
      while (slot >= slots) slot -= slots;  // once at most, but in tables of under 16 slots
      if (is(slot)) return static_cast<std::int64_t>(slot);
    }
    if (empty != 0) return -1;
    at += kTagGroup;
    while (at >= slots) at -= slots;
  }
  return -1;
}

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_MODEL_SLOT_TAGS_H_
