// A context model that also learns from the document it reads.
#ifndef QELT_CORE_ADAPTIVE_MODEL_H_
#define QELT_CORE_ADAPTIVE_MODEL_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "context_model.h"

namespace qelt {

namespace internal {
class DocumentStrings;
}  // namespace internal

// Reads one document a byte at a time and gives the distribution of the next byte:
// the frozen model's, sharpened by what followed the same context earlier in this
// document. With c the k bytes before the position (fewer at the start), the longest
// suffix of c (0 .. k bytes) that the document has already shown followed by some
// byte, N how often it was followed, n(b) how often by b, and u by how many distinct
// bytes:
//
//     q(b) = (n(b) + 2 u p(b | c)) / (N + 2 u)
//
// where p is the frozen model's distribution after c; q = p at the first byte. The
// document's weight grows with N, and more slowly the more varied the context has
// shown itself to be (u). Causal and deterministic: the value at a position depends
// only on the model and on the bytes before it. Needs a model with probabilities.
//
// One instance reads one document at a time; start() begins the next. Memory grows
// with the document: some 40 bytes for each distinct string of 1 .. k + 1 bytes in it.
class AdaptiveModel {
 public:
  // The weight of the model's distribution, per distinct byte the context has shown.
  static constexpr double kModelWeight = 2.0;

  // Throws std::logic_error if `model` has no probabilities (a version 1 file).
  explicit AdaptiveModel(ContextModel model);
  ~AdaptiveModel();
  AdaptiveModel(AdaptiveModel&&) noexcept;
  AdaptiveModel& operator=(AdaptiveModel&&) noexcept;

  const ContextModel& model() const { return model_; }

  // Forgets the document read so far: the next byte is the first of a new one, whose
  // length `expected_size` (0: unknown) says, so that room is made once.
  void start(std::size_t expected_size = 0);

  // The bytes of the document read so far.
  std::uint64_t position() const;

  // The entropy (nats) of the next byte's distribution.
  float entropy();

  // The probability of `byte` as the next byte.
  double probability(std::uint8_t byte);

  // Reads the next byte. Throws std::length_error past 2^32 - 2 distinct strings.
  void push(std::uint8_t byte);

 private:
  // The lookups both entropy() and probability() need at this position, made once.
  void prepare();
  // The model's probability of `byte` after the context: a child of the shown context
  // (`child`, or none) when it is the whole k bytes keeps it once asked for.
  double model_probability(std::uint32_t child, std::uint8_t byte);

  ContextModel model_;
  std::unique_ptr<internal::DocumentStrings> strings_;
  std::uint64_t key_ = 0;  // the up to k bytes before the position
  int shown_bound_ = 0;    // the shown context is at most this long

  bool prepared_ = false;
  ContextModel::Suffix suffix_;  // the model's longest kept suffix of the context
  int shown_ = 0;                // the length of the longest shown context
  bool has_entropy_ = false;
  float entropy_ = 0.0f;
};

}  // namespace qelt

#endif  // QELT_CORE_ADAPTIVE_MODEL_H_
