// Segmentation: the closing test at every evaluated position, then the list of ends.
//
// A position closes a patch when its entropy is above theta, or rose over the
// previous position's by more than theta_r, the rise formed in double. The walk
// writes the end of every position (j + k + 1 for position j) to `out` and lets the
// number of closes so far decide which writes are kept: which positions close is
// data, and a branch on it would be mispredicted at every other patch. Since the
// count never passes the position, the writes stay behind the reads when `out` is
// the array of contexts.
//
// Where the processor has AVX-512, sixteen positions are tested at once and the ends
// of those that close are compressed into place. Each comparison is the same IEEE
// operation on the same values as in the plain walk (ordered, so NaN never closes),
// so both give the same ends, bit for bit.

#include "patching/segment.h"

#include "patching/closing_rule.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QELT_SEGMENT_AVX512 1
#endif

namespace qelt {
namespace internal {

namespace {

// The plain walk over positions j .. evaluated - 1, given the ends counted so far and
// the entropy of position j - 1 (0 before the first); returns the count of ends.
template <typename Id, typename Index>
std::size_t walk_plain(const Index* contexts, Id* out, std::size_t j, std::size_t evaluated,
                       std::size_t k, const float* entropy, Thresholds thresholds,
                       std::size_t count, float previous) {
  for (; j < evaluated; ++j) {
    const float h = entropy[contexts[j]];
    out[count] = static_cast<Id>(j + k + 1);
    count += closes(h, previous, thresholds);
    previous = h;
  }
  return count;
}

#ifdef QELT_SEGMENT_AVX512
// GCC 12's AVX-512 intrinsics start from deliberately undefined vectors, which its
// -Wmaybe-uninitialized takes for a fault of the caller.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

bool has_avx512() { return __builtin_cpu_supports("avx512f"); }

// The walk sixteen positions at a time, from the first, for as many whole blocks as
// there are; sets `j` to the first position left and `previous` to its predecessor's
// entropy, and returns the count of ends. Contexts are gathered as signed 32-bit
// indices, so they must be below 2^31.
template <typename Index>
__attribute__((target("avx512f"))) std::size_t walk_avx512(
    const Index* contexts, std::uint32_t* out, std::size_t evaluated, std::size_t k,
    const float* entropy, Thresholds thresholds, std::size_t& j, float& previous) {
  const __m512 theta16 = _mm512_set1_ps(thresholds.theta);
  const __m512d theta_r8 = _mm512_set1_pd(thresholds.theta_r);
  const __m512i sixteen = _mm512_set1_epi32(16);
  __m512i ends = _mm512_add_epi32(
      _mm512_setr_epi32(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16),
      _mm512_set1_epi32(static_cast<int>(k)));
  __m512 last = _mm512_set1_ps(previous);  // lane 15: the entropy before the block
  std::size_t count = 0;
  for (j = 0; j + 16 <= evaluated; j += 16) {
    __m512i index;
    if constexpr (sizeof(Index) == 1) {
      const auto* bytes = reinterpret_cast<const __m128i*>(contexts + j);
      index = _mm512_cvtepu8_epi32(_mm_loadu_si128(bytes));
    } else {
      index = _mm512_loadu_si512(contexts + j);
    }
    const __m512 h = _mm512_i32gather_ps(index, entropy, 4);
    // Each lane's predecessor: lane 15 of the last block, then lanes 0..14 of this one.
    const __m512 before = _mm512_castsi512_ps(
        _mm512_alignr_epi32(_mm512_castps_si512(h), _mm512_castps_si512(last), 15));
    const __m512d rise_low = _mm512_sub_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(h)),
                                           _mm512_cvtps_pd(_mm512_castps512_ps256(before)));
    const __m512d rise_high = _mm512_sub_pd(
        _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(h), 1))),
        _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(before), 1))));
    const unsigned closes = _mm512_cmp_ps_mask(h, theta16, _CMP_GT_OQ) |
                            _mm512_cmp_pd_mask(rise_low, theta_r8, _CMP_GT_OQ) |
                            (unsigned{_mm512_cmp_pd_mask(rise_high, theta_r8, _CMP_GT_OQ)} << 8);
    // All sixteen lanes are written, the kept ends first: the writes end at out[j + 15]
    // at most, within the block just read.
    _mm512_storeu_si512(out + count,
                        _mm512_maskz_compress_epi32(static_cast<__mmask16>(closes), ends));
    count += static_cast<std::size_t>(__builtin_popcount(closes));
    ends = _mm512_add_epi32(ends, sixteen);
    last = h;
  }
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, last);
  previous = lanes[15];
  return count;
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

}  // namespace

template <typename Id, typename Index>
std::vector<std::size_t> segment(const Index* contexts, Id* out, std::size_t evaluated,
                                 const float* entropy, std::size_t n, std::size_t k,
                                 Thresholds thresholds, Walk walk) {
  std::size_t j = 0;
  std::size_t count = 0;
  float previous = 0.0f;
#ifdef QELT_SEGMENT_AVX512
  // 32-bit ends only, and contexts that gather as non-negative indices.
  if constexpr (sizeof(Id) == 4) {
    if (walk == Walk::kFastest && evaluated < (std::size_t{1} << 31) && has_avx512()) {
      count = walk_avx512(contexts, out, evaluated, k, entropy, thresholds, j, previous);
    }
  }
#else
  (void)walk;
#endif
  count = walk_plain(contexts, out, j, evaluated, k, entropy, thresholds, count, previous);
  std::vector<std::size_t> ends;
  ends.reserve(count + 1);  // room for the final end: growing would double the buffer
  ends.assign(out, out + count);
  end_last_patch(ends, n);
  return ends;
}

template std::vector<std::size_t> segment(const std::uint8_t*, std::uint32_t*, std::size_t,
                                          const float*, std::size_t, std::size_t, Thresholds,
                                          Walk);
template std::vector<std::size_t> segment(const std::uint8_t*, std::uint64_t*, std::size_t,
                                          const float*, std::size_t, std::size_t, Thresholds,
                                          Walk);
template std::vector<std::size_t> segment(const std::uint32_t*, std::uint32_t*, std::size_t,
                                          const float*, std::size_t, std::size_t, Thresholds,
                                          Walk);
template std::vector<std::size_t> segment(const std::uint64_t*, std::uint64_t*, std::size_t,
                                          const float*, std::size_t, std::size_t, Thresholds,
                                          Walk);

}  // namespace internal
}  // namespace qelt
