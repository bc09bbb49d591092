// A document is read either by the model as it is, whose lookups go many positions at
// a time (ContextModel::score_positions), or by a DocumentReader of its reading, one
// byte after another. Everything here is written once over both: the entropies (and
// probabilities) of every position are visited in order, and patching, evaluation
// and calibration are what they do with them.

#include "model_scoring.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "patching/closing_rule.h"
#include "util/little_endian.h"

namespace qelt {

namespace {

// Positions looked up at once by the model as it is.
constexpr std::size_t kBlock = 1024;

// How documents are read: by the reading's DocumentReader, or by the model as it is
// with what its lookups found recalled across the documents of a call.
struct Reader {
  std::unique_ptr<DocumentReader> sequential;
  std::optional<ContextModel::Recall> recall;
};

// The reader of the documents of a call, which hold about `positions` bytes.
Reader reader_of(const ContextModel& model, Reading reading, std::size_t positions) {
  Reader reader;
  reader.sequential = make_document_reader(model, reading);
  if (!reader.sequential) reader.recall.emplace(positions);
  return reader;
}

std::size_t bytes_of(const ByteSpan* documents, std::size_t count) {
  std::size_t bytes = 0;
  for (std::size_t d = 0; d < count; ++d) bytes += documents[d].size;
  return bytes;
}

void need_probabilities(const ContextModel& model) {
  const std::string refusal = probabilities_refusal(model);
  if (!refusal.empty()) throw std::logic_error(refusal);
}

// Calls visit(i, entropy, probability) for every position i of `data`, in order, with
// the entropy given the up to k bytes before i and (if `with_probability`, else 0)
// the probability of data[i] after them; by the reader's DocumentReader if it has one,
// which reads `data` from its start.
template <typename Visit>
void for_each_score(const ContextModel& model, Reader& reader, const std::uint8_t* data,
                    std::size_t n, bool with_probability, Visit visit) {
  DocumentReader* sequential = reader.sequential.get();
  if (sequential != nullptr) {
    sequential->start(n);
    for (std::size_t i = 0; i < n; ++i) {
      sequential->prefetch(data, i, n);
      const float h = sequential->entropy();
      visit(i, h, with_probability ? sequential->probability(data[i]) : 0.0);
      sequential->push(data[i]);
    }
    return;
  }
  float entropies[kBlock];
  double probabilities[kBlock];
  for (std::size_t begin = 0; begin < n; begin += kBlock) {
    const std::size_t end = std::min(n, begin + kBlock);
    model.score_positions(data, n, begin, end, entropies,
                          with_probability ? probabilities : nullptr, &*reader.recall);
    for (std::size_t i = begin; i < end; ++i) {
      visit(i, entropies[i - begin], with_probability ? probabilities[i - begin] : 0.0);
    }
  }
}

// Calls visit(i, entropy) for every position i = k .. n - 1 of `data`, in order.
template <typename Visit>
void for_each_entropy(const ContextModel& model, Reader& reader, const std::uint8_t* data,
                      std::size_t n, Visit visit) {
  const std::size_t k = static_cast<std::size_t>(model.k());
  if (n <= k) return;
  DocumentReader* sequential = reader.sequential.get();
  if (sequential != nullptr) {
    sequential->start(n);
    for (std::size_t i = 0; i < k; ++i) sequential->push(data[i]);
    for (std::size_t i = k; i < n; ++i) {
      sequential->prefetch(data, i, n);
      visit(i, sequential->entropy());
      sequential->push(data[i]);
    }
    return;
  }
  float entropies[kBlock];
  for (std::size_t begin = k; begin < n; begin += kBlock) {
    const std::size_t end = std::min(n, begin + kBlock);
    model.score_positions(data, n, begin, end, entropies, nullptr, &*reader.recall);
    for (std::size_t i = begin; i < end; ++i) visit(i, entropies[i - begin]);
  }
}

std::vector<std::size_t> patch_ends_with(const ContextModel& model, Reader& reader,
                                         const std::uint8_t* data, std::size_t n,
                                         Thresholds thresholds) {
  std::vector<std::size_t> ends;
  if (n == 0) return ends;
  // Whether a position closes is as good as random where entropies vary (a smoothed
  // model's do): every position is written to a block and kept by advancing its
  // count, instead of by a branch that would be mispredicted half the time.
  std::size_t block[kBlock];
  std::size_t filled = 0;
  float previous = 0.0f;
  for_each_entropy(model, reader, data, n, [&](std::size_t i, float h) {
    block[filled] = i + 1;
    filled += internal::closes(h, previous, thresholds);
    previous = h;
    if (filled == kBlock) {
      ends.insert(ends.end(), block, block + kBlock);
      filled = 0;
    }
  });
  ends.insert(ends.end(), block, block + filled);
  internal::end_last_patch(ends, n);
  return ends;
}

}  // namespace

void score(const ContextModel& model, const std::uint8_t* data, std::size_t n, float* entropy,
           double* log2_p, Reading reading) {
  if (log2_p != nullptr) need_probabilities(model);
  Reader reader = reader_of(model, reading, n);
  for_each_score(model, reader, data, n, log2_p != nullptr,
                 [&](std::size_t i, float h, double p) {
    entropy[i] = h;
    if (log2_p != nullptr) log2_p[i] = p > 0.0 ? std::log2(p) : -INFINITY;
  });
}

Evaluation evaluate(const ContextModel& model, const ByteSpan* documents, std::size_t count,
                    Reading reading) {
  need_probabilities(model);
  Reader reader = reader_of(model, reading, bytes_of(documents, count));
  Evaluation evaluation;
  // The log of a product instead of a sum of logs: one logarithm for every run of
  // bytes, the product's binary exponent taken out every 16 factors so that it never
  // underflows (each factor is at least 2^-300; a smaller probability is summed as its
  // logarithm instead).
  double product = 1.0, tiny_bits = 0.0;
  long exponent = 0;
  double entropy_nats = 0.0;
  std::size_t since = 0;
  for (std::size_t d = 0; d < count; ++d) {
    const ByteSpan& document = documents[d];
    ++evaluation.documents;
    evaluation.bytes += document.size;
    for_each_score(model, reader, document.data, document.size, true,
                   [&](std::size_t, float h, double p) {
      entropy_nats += h;
      if (p >= 0x1p-300) {
        product *= p;
      } else if (p > 0.0) {
        tiny_bits += std::log2(p);
      } else {
        ++evaluation.zero_probability_bytes;
      }
      if (++since == 16) {
        int e;
        product = std::frexp(product, &e);
        exponent += e;
        since = 0;
      }
    });
  }
  evaluation.bits = -(std::log2(product) + static_cast<double>(exponent) + tiny_bits);
  evaluation.entropy_bits = entropy_nats / M_LN2;
  return evaluation;
}

std::vector<std::size_t> patch_ends(const ContextModel& model, const std::uint8_t* data,
                                    std::size_t n, Thresholds thresholds,
                                    Reading reading) {
  Reader reader = reader_of(model, reading, n);
  return patch_ends_with(model, reader, data, n, thresholds);
}

BatchEnds patch_ends_batch(const ContextModel& model, const ByteSpan* documents,
                           std::size_t count, Thresholds thresholds, std::size_t max_length,
                           Reading reading) {
  Reader reader = reader_of(model, reading, bytes_of(documents, count));
  return patch_ends_batch(documents, count, max_length,
                          [&](const std::uint8_t* data, std::size_t size) {
                            return patch_ends_with(model, reader, data, size, thresholds);
                          });
}

void CalibrationLevels::merge(const CalibrationLevels& other) {
  bytes += other.bytes;
  fixed += other.fixed;
  evaluated += other.evaluated;
  // Entropies are told apart by their bits, as they were gathered.
  std::unordered_map<std::uint32_t, std::uint64_t> positions;
  for (const auto& [h, count] : levels) positions[internal::float_bits(h)] += count;
  for (const auto& [h, count] : other.levels) positions[internal::float_bits(h)] += count;
  levels.clear();
  for (const auto& [bits, count] : positions) levels.emplace_back(internal::bits_float(bits), count);
  std::sort(levels.begin(), levels.end());
}

CalibrationLevels calibration_levels(const ContextModel& model, const ByteSpan* documents,
                                     std::size_t count, float theta_r, Reading reading) {
  Reader reader = reader_of(model, reading, bytes_of(documents, count));
  // A document's patches are its ends: one per closing position other than its last,
  // plus the end of the document. A position closes when its rise passes theta_r,
  // whatever theta is, or else when its entropy is above theta; so the patches at a
  // given theta are the fixed ones plus the entropies above it among the others.
  CalibrationLevels result;
  std::unordered_map<std::uint32_t, std::uint64_t> others;  // entropy bits -> positions
  for (std::size_t d = 0; d < count; ++d) {
    const ByteSpan& document = documents[d];
    if (document.size == 0) continue;
    result.bytes += document.size;
    ++result.fixed;
    float previous = 0.0f;
    for_each_entropy(model, reader, document.data, document.size,
                     [&](std::size_t i, float h) {
      ++result.evaluated;
      const bool rise = internal::rises(h, previous, theta_r);
      previous = h;
      if (i + 1 == document.size) return;
      if (rise) {
        ++result.fixed;
      } else {
        ++others[internal::float_bits(h)];
      }
    });
  }
  result.levels.reserve(others.size());
  for (const auto& [bits, positions] : others) {
    result.levels.emplace_back(internal::bits_float(bits), positions);
  }
  std::sort(result.levels.begin(), result.levels.end());
  return result;
}

float choose_theta(const CalibrationLevels& levels, double target_mean_length) {
  if (levels.evaluated == 0) {
    throw std::invalid_argument("no document is longer than the context length k");
  }
  if (levels.levels.empty()) {
    throw std::invalid_argument("theta changes none of the patches of these documents");
  }
  auto distance = [&](std::uint64_t patches) {
    return std::fabs(static_cast<double>(levels.bytes) / static_cast<double>(patches) -
                     target_mean_length);
  };
  // Below the least entropy every other position closes; at levels[t], those above it.
  std::uint64_t above = 0;
  for (const auto& level : levels.levels) above += level.second;
  float best = std::nextafter(levels.levels.front().first, -INFINITY);
  double best_distance = distance(levels.fixed + above);
  for (const auto& [theta, positions] : levels.levels) {
    above -= positions;
    const double d = distance(levels.fixed + above);
    if (d <= best_distance) {
      best = theta;
      best_distance = d;
    }
  }
  return best;
}

float calibrate(const ContextModel& model, const ByteSpan* documents, std::size_t count,
                double target_mean_length, float theta_r, Reading reading) {
  return choose_theta(calibration_levels(model, documents, count, theta_r, reading),
                      target_mean_length);
}

}  // namespace qelt
