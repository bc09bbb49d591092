// A context model that also learns from the document it reads.
#ifndef QELT_CORE_ADAPTIVE_MODEL_H_
#define QELT_CORE_ADAPTIVE_MODEL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "context_model.h"
#include "reading.h"

namespace qelt {

namespace internal {
template <typename ContextType>
class ContextFollowers;
struct DocumentContext;
using DocumentFollowers = ContextFollowers<DocumentContext>;
}  // namespace internal

// Reads one document a byte at a time and gives the distribution of the next byte:
// the frozen model's, sharpened by what followed the same k bytes earlier in this
// document. With c the k bytes before the position, N the times the document has
// shown c followed by some byte, n(b) the times by b, and u the distinct bytes that
// followed it:
//
//     q(b) = (n(b) + 2 u p(b | c)) / (N + 2 u)
//
// where p is the frozen model's distribution after c; q = p where the document has
// not shown c (and before its k-th byte). The document's weight grows with N, and
// more slowly the more varied c has shown itself to be (u). Causal and deterministic:
// the value at a position depends only on the model and the bytes before it. Needs a
// model with probabilities.
//
// One instance reads one document at a time; start() begins the next. What it learns
// of the document grows with it, within a memory budget: it counts 96 bytes for each
// slot of the table of the document's contexts (one slot for each distinct string of
// k bytes shown, the table a power of two of slots at most three quarters full, at
// least 16; the 96 cover the 64-byte slot and the old table that growing it holds
// for a moment) and 20 bytes for each byte that followed a context other than the one
// that followed it last (about 100 bytes for each distinct string of k + 1 bytes of
// Python source, in all). A byte that would take that count past the budget first
// makes it forget the document so far, as PPMd does when its memory is full: from
// that byte on, the document's statistics start afresh, and q = p until a context is
// shown again. So the distributions depend on the model, the bytes and the budget
// alone, and the memory held never passes the budget by more than a block of 80 KiB.
class AdaptiveModel {
 public:
  // The weight of the model's distribution, per distinct byte the context has shown.
  static constexpr double kModelWeight = 2.0;

  // Throws std::logic_error if `model` cannot be read adaptively (reading.h); a
  // `memory_budget` (bytes) of Reading::kUnbounded sets no bound.
  explicit AdaptiveModel(ContextModel model,
                         std::uint64_t memory_budget = Reading::kDefaultMemory);
  ~AdaptiveModel();
  AdaptiveModel(AdaptiveModel&&) noexcept;
  AdaptiveModel& operator=(AdaptiveModel&&) noexcept;

  const ContextModel& model() const { return model_; }

  // Forgets the document read so far: the next byte is the first of a new one, whose
  // length `expected_size` (0: unknown) says, so that room is made once.
  void start(std::size_t expected_size = 0);

  // The bytes of the document read so far.
  std::uint64_t position() const { return position_; }

  // The entropy (nats) of the next byte's distribution.
  float entropy();

  // The probability of `byte` as the next byte.
  double probability(std::uint8_t byte);

  // Reads the next byte. Throws std::length_error past 2^32 - 2 distinct strings of
  // k + 1 bytes, std::bad_alloc if memory runs out (the model is then unusable until
  // start(), unless room for the byte was reserved).
  void push(std::uint8_t byte);

  // Makes room for `bytes` more bytes, so that pushing them allocates nothing and
  // cannot fail. Throws std::bad_alloc, leaving everything as it was, if the room
  // cannot be had.
  void reserve(std::uint64_t bytes);

  // How many times the document's statistics have started afresh (its budget being
  // full) since start().
  std::uint64_t restarts() const;

  // For a caller that holds the whole document, the `n` bytes at `data`, of which the
  // next byte is data[i]: prefetches the memory that positions a little further on
  // will read, and starts the lookups in the model that they will need. The only
  // effect is speed.
  void prefetch(const std::uint8_t* data, std::size_t i, std::size_t n);

 private:
  // The lookups of the position reached, and the sums of its context brought up to date.
  void prepare();

  ContextModel model_;
  std::unique_ptr<internal::DocumentFollowers> followers_;
  std::uint64_t position_ = 0;
  std::uint64_t key_ = 0;  // the up to k bytes before the position

  // The model's lookups that prefetch() asked for, by position.
  struct Lookup {
    std::uint64_t position = ~std::uint64_t{0};
    std::uint64_t key = 0;
    ContextModel::SuffixLookup suffix;
  };
  static constexpr std::size_t kLookups = 16;
  std::array<Lookup, kLookups> lookups_;

  ContextModel::Suffix suffix_;  // the model's longest kept suffix of the context
  internal::DocumentContext* shown_ = nullptr;  // the context, if the document showed it
  bool has_entropy_ = false;
  float entropy_ = 0.0f;
};

}  // namespace qelt

#endif  // QELT_CORE_ADAPTIVE_MODEL_H_
