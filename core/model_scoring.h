// Documents read with a context model: entropies and probabilities at every position,
// evaluation, patching and calibration, in any reading (reading.h).
#ifndef QELT_CORE_MODEL_SCORING_H_
#define QELT_CORE_MODEL_SCORING_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "batch.h"
#include "context_model.h"
#include "reading.h"
#include "thresholds.h"

namespace qelt {

// Each function takes a Reading (reading.h): how the model reads each document; they
// throw std::logic_error for a reading the model cannot make (check_reading).

// For every position i of the `n` bytes at `data`: into entropy[i] the entropy given
// the up to k bytes before i in them (fewer at the start), and, unless `log2_p` is
// null, into log2_p[i] the log2 of the probability of data[i] given those bytes (-inf
// for probability 0; needs has_probabilities()). Patching judges entropy[i] for
// i >= k.
void score(const ContextModel& model, const std::uint8_t* data, std::size_t n, float* entropy,
           double* log2_p, Reading reading = {});

// Sums over every byte of some documents, as score gives them.
struct Evaluation {
  std::uint64_t bytes = 0;
  std::uint64_t documents = 0;
  double bits = 0.0;           // -log2 p summed over the bytes of probability above 0
  double entropy_bits = 0.0;   // the entropy at each byte, in bits, summed
  std::uint64_t zero_probability_bytes = 0;
};
// Needs has_probabilities().
Evaluation evaluate(const ContextModel& model, const ByteSpan* documents, std::size_t count,
                    Reading reading = {});

// Patch ends of the `n` bytes at `data` as patch_ends (patching.h) gives them, but
// with the entropy of each position i >= k taken from the model. Positions before k
// never end a patch.
std::vector<std::size_t> patch_ends(const ContextModel& model, const std::uint8_t* data,
                                    std::size_t n, Thresholds thresholds,
                                    Reading reading = {});

// Each document patched as patch_ends does, each limited to `max_length` (0: none).
BatchEnds patch_ends_batch(const ContextModel& model, const ByteSpan* documents,
                           std::size_t count, Thresholds thresholds, std::size_t max_length,
                           Reading reading = {});

// What calibration needs to know of some documents patched with a given theta_r: their
// bytes, the patches that every theta gives them (each document's last, and every
// position whose rise passes theta_r), and, for each entropy met at the other
// positions, how many of them have it: those close for every theta below it.
struct CalibrationLevels {
  std::uint64_t bytes = 0;
  std::uint64_t fixed = 0;      // patches whatever theta is
  std::uint64_t evaluated = 0;  // positions judged (at k and after)
  // (entropy, positions), ascending by entropy, each entropy once.
  std::vector<std::pair<float, std::uint64_t>> levels;

  // Adds the levels of other documents to these.
  void merge(const CalibrationLevels& other);
};
CalibrationLevels calibration_levels(const ContextModel& model, const ByteSpan* documents,
                                     std::size_t count, float theta_r,
                                     Reading reading = {});

// The theta for which the mean patch length (bytes over patches) of the documents
// that `levels` describes is closest to `target_mean_length`. The candidates are their
// entropies, where the patches change, and the float just below the least of them; of
// two as close, the larger is chosen. Throws std::invalid_argument if no document is
// longer than k bytes, or if theta changes none of their patches.
float choose_theta(const CalibrationLevels& levels, double target_mean_length);

// choose_theta of the calibration levels of the documents.
float calibrate(const ContextModel& model, const ByteSpan* documents, std::size_t count,
                double target_mean_length, float theta_r, Reading reading = {});

}  // namespace qelt

#endif  // QELT_CORE_MODEL_SCORING_H_
