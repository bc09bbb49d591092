// Byte statistics: trigram frequencies and next-byte distributions of contexts.
#ifndef QELT_CORE_FREQUENCY_TABLE_H_
#define QELT_CORE_FREQUENCY_TABLE_H_

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "entropy_term.h"

namespace qelt {

// A raw byte string: any byte value, NUL included, may occur; length is explicit.
using ByteString = std::string;

// How often each byte value 0..255 followed a context, indexed by that value.
using NextByteCounts = std::array<std::int32_t, 256>;

// Two independent bodies of counts over byte strings that share the object and
// nothing else: trigram counts with their running total, and for every context the
// counts of the byte values that followed it. Not safe for concurrent use.
//
// Counts are signed 32-bit. An operation that would take a count or the trigram
// total past INT32_MAX throws std::overflow_error before changing that count, so a
// frequency is never computed from a wrapped or negative count.
class FrequencyTable {
 public:
  FrequencyTable() = default;

  // Counts each of the size()-2 overlapping trigrams of `sequence`, in order; a
  // sequence shorter than 3 bytes counts nothing. If interrupted by an exception, the
  // trigrams counted before it stay counted, with the total consistent with them.
  void add_sequence(const ByteString& sequence);

  // Count of `ngram` divided by the number of trigrams added, in double; 0.0 when
  // nothing was added or the key is absent (any key not 3 bytes long is absent).
  double get_frequency(const ByteString& ngram) const;

  // Forgets every trigram and resets the total; the context statistics stay.
  void clear();

  // Counts one occurrence of `next_byte` after `context` (which may be empty).
  void update(const ByteString& context, std::uint8_t next_byte);

  // A copy of the counts recorded after `context`; all zeros for an unseen context.
  NextByteCounts get_counts(const ByteString& context) const;

  // Shannon entropy in nats of the bytes seen after `context`: the terms p_log_p of
  // the non-zero counts, in ascending byte order, each subtracted with
  // subtract_entropy_term from 0. An unseen context has entropy 0.
  float compute_entropy(const ByteString& context) const;

 private:
  std::unordered_map<ByteString, std::int32_t> ngram_counts;
  std::int32_t total_ngrams = 0;
  std::unordered_map<ByteString, NextByteCounts> context_counts;
};

}  // namespace qelt

#endif  // QELT_CORE_FREQUENCY_TABLE_H_
