// A frequency table is two hash maps keyed by raw byte strings. The trigram half
// maps each 3-byte key to its count and keeps the sum of all counts beside it, so
// a frequency is one lookup and one division. The context half maps each context
// to an inline array of 256 counts, one per byte value that can follow it; the
// entropy of a context is computed from that array on demand.
// Entropies use the arithmetic of entropy_term.h, fixed to the bit.

#include "frequency_table.h"

#include <limits>
#include <stdexcept>

namespace qelt {

namespace {

constexpr std::int32_t kMaxCount = std::numeric_limits<std::int32_t>::max();

}  // namespace

void FrequencyTable::add_sequence(const ByteString& sequence) {
  if (sequence.size() < 3) return;
  for (std::size_t p = 0; p + 3 <= sequence.size(); ++p) {
    // Every count is at most the total, so guarding the total guards them all.
    if (total_ngrams == kMaxCount) {
      throw std::overflow_error("trigram count exceeds the 32-bit counter range");
    }
    ++ngram_counts[sequence.substr(p, 3)];
    ++total_ngrams;
  }
}

double FrequencyTable::get_frequency(const ByteString& ngram) const {
  if (total_ngrams == 0) return 0.0;
  const auto it = ngram_counts.find(ngram);
  if (it == ngram_counts.end()) return 0.0;
  return static_cast<double>(it->second) / static_cast<double>(total_ngrams);
}

void FrequencyTable::clear() {
  ngram_counts.clear();
  total_ngrams = 0;
}

void FrequencyTable::update(const ByteString& context, std::uint8_t next_byte) {
  std::int32_t& count = context_counts[context][next_byte];
  if (count == kMaxCount) {
    throw std::overflow_error("context count exceeds the 32-bit counter range");
  }
  ++count;
}

NextByteCounts FrequencyTable::get_counts(const ByteString& context) const {
  const auto it = context_counts.find(context);
  if (it == context_counts.end()) return NextByteCounts{};
  return it->second;
}

float FrequencyTable::compute_entropy(const ByteString& context) const {
  const NextByteCounts counts = get_counts(context);
  std::int64_t total = 0;  // 256 counts below 2^31 each cannot overflow 64 bits
  for (const std::int32_t c : counts) total += c;
  if (total == 0) return 0.0f;
  float entropy = 0.0f;
  for (const std::int32_t c : counts) {
    if (c > 0) entropy = subtract_entropy_term(entropy, p_log_p(c, total));
  }
  return entropy;
}

}  // namespace qelt
