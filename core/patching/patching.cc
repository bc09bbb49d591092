// Entropy patching without a table of counts per context.
//
// The definition trains a frequency table on every position, then walks the
// sequence asking it for the entropy of each position's context: 1 KiB of counts per
// distinct context and up to 256 logarithms per position. The same patches come far
// cheaper, because the entropy at a position depends only on which context it has:
//
//   1. Give every context a dense id (window_ids.h): one id per position.
//   2. Count the bytes that follow each context: a frequent context in a row of
//      256 counts as the walk meets it, the others by bucketing their next bytes
//      together (a counting sort by id) and counting each bucket.
//   3. Compute every context's entropy once, from its counts, with exactly the
//      arithmetic of FrequencyTable::compute_entropy: the same terms, summed in
//      ascending byte order with the same roundings.
//   4. Walk the positions, comparing the entropy of each one's context with the
//      thresholds, and record where patches end (segment.h).
//
// For k = 1 all 256 x 256 (context, byte) counts fit one small table, which takes the
// place of steps 1 and 2.
//
// Memory is about 5 bytes per position plus a little per distinct context, and the
// time is linear in the length of the sequence (times log k for contexts longer
// than 8 bytes).

#include "patching.h"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>

#include "frequency_table.h"
#include "util/big_buffer.h"
#include "patching/closing_rule.h"
#include "patching/segment.h"
#include "statistics/term_memo.h"
#include "patching/window_ids.h"

namespace qelt {

namespace {

constexpr std::size_t kMaxCount = std::numeric_limits<std::int32_t>::max();

// Buckets of at most this many bytes are counted by sorting them.
constexpr std::size_t kFewBytes = 16;

// Sums the terms of one distribution: its non-zero counts, given in ascending byte
// order, each added with add(count).
class EntropySum {
 public:
  EntropySum(std::size_t total, internal::TermMemo& memo) : total_(total), memo_(memo) {}

  // A count past the 32-bit range is refused as FrequencyTable::update refuses it.
  void add(std::size_t count) {
    if (count > kMaxCount) {
      throw std::overflow_error("context count exceeds the 32-bit counter range");
    }
    entropy_ = subtract_entropy_term(entropy_, memo_.term(count, total_));
  }

  float entropy() const { return entropy_; }

 private:
  std::size_t total_;
  internal::TermMemo& memo_;
  float entropy_ = 0.0f;
};

// Entropy of the 256 counts at `counts`, which sum to `total`.
template <typename Count>
float entropy_of_counts(const Count* counts, std::size_t total, internal::TermMemo& memo) {
  EntropySum sum(total, memo);
  for (int b = 0; b < 256; ++b) {
    if (counts[b] != 0) sum.add(counts[b]);
  }
  return sum.entropy();
}

// How often each byte value occurs in the n bytes at `data`. Runs of one value would
// make every increment wait for the previous one to the same counter; four sets of
// counters, taken in turn, let four increments proceed at once.
std::array<std::size_t, 256> byte_counts(const std::uint8_t* data, std::size_t n) {
  std::array<std::array<std::size_t, 256>, 4> partial{};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++partial[0][data[i]];
    ++partial[1][data[i + 1]];
    ++partial[2][data[i + 2]];
    ++partial[3][data[i + 3]];
  }
  for (; i < n; ++i) ++partial[0][data[i]];
  for (int b = 0; b < 256; ++b) partial[0][b] += partial[1][b] + partial[2][b] + partial[3][b];
  return partial[0];
}

// Counts of byte values, with the set of values seen kept as a bitmap, so that the
// non-zero counts are visited in ascending byte order, and cleared, without going
// through all 256.
class ByteHistogram {
 public:
  void add(const std::uint8_t* first, const std::uint8_t* last) {
    for (const std::uint8_t* p = first; p != last; ++p) {
      ++counts_[*p];
      seen_[*p >> 6] |= std::uint64_t{1} << (*p & 63);
    }
  }

  // Adds the non-zero counts to `sum` in ascending byte order, and clears them.
  void drain_into(EntropySum& sum) {
    for (int word = 0; word < 4; ++word) {
      for (std::uint64_t bits = seen_[word]; bits != 0; bits &= bits - 1) {
        const int b = word * 64 + __builtin_ctzll(bits);
        sum.add(counts_[b]);
        counts_[b] = 0;
      }
      seen_[word] = 0;
    }
  }

 private:
  std::array<std::size_t, 256> counts_{};
  std::array<std::uint64_t, 4> seen_{};
};

// Entropy of the few bytes in [first, last): sorted in place of a histogram, their
// runs are the non-zero counts in ascending byte order. Short documents have mostly
// such contexts, for which clearing and scanning the histogram would cost more.
float entropy_of_few(const std::uint8_t* first, const std::uint8_t* last, internal::TermMemo& memo) {
  std::array<std::uint8_t, kFewBytes> bytes;
  const std::size_t total = static_cast<std::size_t>(last - first);
  for (std::size_t i = 0; i < total; ++i) {
    const std::uint8_t b = first[i];
    std::size_t j = i;
    for (; j > 0 && bytes[j - 1] > b; --j) bytes[j] = bytes[j - 1];
    bytes[j] = b;
  }
  EntropySum sum(total, memo);
  std::size_t run = 1;
  for (std::size_t i = 1; i < total; ++i) {
    if (bytes[i] != bytes[i - 1]) {
      sum.add(run);
      run = 0;
    }
    ++run;
  }
  sum.add(run);
  return sum.entropy();
}

// Entropy of the bytes in [first, last); `histogram` is empty and left so.
float entropy_of_bucket(const std::uint8_t* first, const std::uint8_t* last,
                        ByteHistogram& histogram, internal::TermMemo& memo) {
  const std::size_t total = static_cast<std::size_t>(last - first);
  if (total == 1) return 0.0f;  // p = 1 and ln 1 = 0: the one term is exactly 0
  if (total <= kFewBytes) return entropy_of_few(first, last, memo);
  EntropySum sum(total, memo);
  histogram.add(first, last);
  histogram.drain_into(sum);
  return sum.entropy();
}

// The entropy of every context, indexed by id; next[j] is the byte that followed
// the context ids.of[j].
//
// A context seen at least kRowMin times counts its next bytes in a row of 256
// counts of its own, as the position walk meets them. The next bytes of all other
// contexts are bucketed by context (a counting sort by id) and counted afterwards,
// bucket by bucket. On real text a few frequent contexts cover most positions, and
// counting them in place spares them the scatter; rows take at most 1 KiB per
// kRowMin positions.
template <typename Id>
internal::BigVector<float> context_entropies(const internal::WindowIds<Id>& ids,
                                             const std::uint8_t* next) {
  constexpr std::size_t kRowMin = 512;
  // slot[c] is, for a context with a row, the row's offset marked with kRow; for the
  // others, where the next byte goes in the buckets: it starts at the bucket's begin
  // and advances, so that after the walk it is the bucket's end.
  constexpr Id kRow = Id{1} << (8 * sizeof(Id) - 1);
  const std::size_t contexts = ids.occurrences.size();
  internal::BigVector<Id> slot(contexts);
  Id rows = 0;
  Id bucketed = 0;
  Id most = 0;  // the most occurrences of any context: the largest total
  for (std::size_t c = 0; c < contexts; ++c) {
    most = std::max(most, ids.occurrences[c]);
    if (ids.occurrences[c] >= kRowMin) {
      slot[c] = kRow | (rows++ * 256);
    } else {
      slot[c] = bucketed;
      bucketed += ids.occurrences[c];
    }
  }
  internal::BigVector<Id> row_counts(std::size_t{rows} * 256, 0);
  internal::BigVector<std::uint8_t> buckets(bucketed);
  for (std::size_t j = 0; j < ids.of.size(); ++j) {
    Id& s = slot[ids.of[j]];
    if (s & kRow) {
      ++row_counts[(s & ~kRow) + next[j]];
    } else {
      buckets[s++] = next[j];
    }
  }

  internal::BigVector<float> entropy(contexts);
  ByteHistogram histogram;
  internal::TermMemo memo(most);
  std::size_t begin = 0;
  for (std::size_t c = 0; c < contexts; ++c) {
    if (slot[c] & kRow) {
      const Id* row = row_counts.data() + (slot[c] & ~kRow);
      entropy[c] = entropy_of_counts(row, ids.occurrences[c], memo);
    } else {
      entropy[c] = entropy_of_bucket(buckets.data() + begin, buckets.data() + slot[c],
                                     histogram, memo);
      begin = slot[c];
    }
  }
  return entropy;
}

// Patch ends when every position has the same entropy (k = 0). The first position
// compares its rise with 0 and every later one a rise of exactly 0, so either every
// byte closes a patch (the later ones close only if the first does, as entropies are
// not negative), or only the first one may.
std::vector<std::size_t> constant_entropy_patch_ends(std::size_t n, float entropy,
                                                     Thresholds thresholds) {
  std::vector<std::size_t> ends;
  if (internal::closes(entropy, entropy, thresholds)) {
    ends.resize(n);
    for (std::size_t i = 0; i < n; ++i) ends[i] = i + 1;
  } else {
    if (internal::closes(entropy, 0.0f, thresholds) && n > 1) ends.push_back(1);
    ends.push_back(n);
  }
  return ends;
}

// Patch ends for k = 1, where a context is one byte: the counts of all 65,536
// (context, next byte) pairs fit one table, and a position's context is its byte,
// so neither ids nor buckets are needed.
template <typename Id>
std::vector<std::size_t> one_byte_context_patch_ends(const std::uint8_t* data, std::size_t n,
                                                     Thresholds thresholds) {
  // Two tables taken in turn: a run of one pair (the spaces of indented text, say)
  // would otherwise make every increment wait for the previous one.
  std::vector<Id> pairs(2 * 65536, 0);
  Id* const even = pairs.data();
  Id* const odd = pairs.data() + 65536;
  std::size_t i = 1;
  for (; i + 1 < n; i += 2) {
    ++even[data[i - 1] << 8 | data[i]];
    ++odd[data[i] << 8 | data[i + 1]];
  }
  if (i < n) ++even[data[i - 1] << 8 | data[i]];
  std::array<float, 256> entropy;
  internal::TermMemo memo(n);
  for (int context = 0; context < 256; ++context) {
    Id* const row = even + context * 256;
    std::size_t total = 0;
    for (int b = 0; b < 256; ++b) total += row[b] += odd[context * 256 + b];
    entropy[context] = entropy_of_counts(row, total, memo);
  }
  internal::BigVector<Id> ends(n - 1);
  return internal::segment(data, ends.data(), n - 1, entropy.data(), n, 1, thresholds);
}

template <typename Id>
std::vector<std::size_t> patch_ends_with_context(const std::uint8_t* data, std::size_t n,
                                                 std::size_t k, Thresholds thresholds) {
  // The pair table is 512 KiB to clear: it pays from 64 KiB of input on.
  if (k == 1 && n >= (std::size_t{1} << 16)) {
    return one_byte_context_patch_ends<Id>(data, n, thresholds);
  }
  // The context of position i is the window of k bytes ending just before it: the
  // windows needed are those within the first n - 1 bytes.
  internal::WindowIds<Id> ids = internal::window_ids<Id>(data, n - 1, k);
  const internal::BigVector<float> entropy = context_entropies(ids, data + k);
  return internal::segment(ids.of.data(), ids.of.data(), ids.of.size(), entropy.data(), n, k,
                           thresholds);
}

}  // namespace

std::vector<std::size_t> patch_ends(const std::uint8_t* data, std::size_t n, std::int32_t k,
                                    Thresholds thresholds) {
  if (n == 0) return {};
  // k compares with positions as the unsigned value of their width, which makes a
  // negative k larger than any position.
  const std::size_t context_length = static_cast<std::size_t>(k);
  if (context_length >= n) return {n};
  if (context_length == 0) {
    // Every position has the empty context, whose entropy is that of all the bytes.
    internal::TermMemo no_memo(0);  // a single distribution: nothing to share
    const float entropy = entropy_of_counts(byte_counts(data, n).data(), n, no_memo);
    return constant_entropy_patch_ends(n, entropy, thresholds);
  }
  // 32-bit ids whenever they suffice (for the ends too): they halve the largest buffer.
  if (n < std::numeric_limits<std::uint32_t>::max()) {
    return patch_ends_with_context<std::uint32_t>(data, n, context_length, thresholds);
  }
  return patch_ends_with_context<std::uint64_t>(data, n, context_length, thresholds);
}

PatchList patch_sequence(const ByteSequence& bytes, std::int32_t k, float theta,
                         float theta_r) {
  const std::vector<std::size_t> ends =
      patch_ends(bytes.data(), bytes.size(), k, Thresholds{theta, theta_r});
  PatchList patches;
  patches.reserve(ends.size());
  std::size_t begin = 0;
  for (const std::size_t end : ends) {
    patches.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                         bytes.begin() + static_cast<std::ptrdiff_t>(end));
    begin = end;
  }
  return patches;
}

}  // namespace qelt
