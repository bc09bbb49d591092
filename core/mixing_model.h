// A context model mixed with what the document it reads says of itself.
#ifndef QELT_CORE_MIXING_MODEL_H_
#define QELT_CORE_MIXING_MODEL_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "context_model.h"
#include "reading.h"

namespace qelt {

// Reads one document a byte at a time and gives the whole distribution of the next
// byte: the frozen model's, after the longest suffix it keeps of the k bytes before the
// position, pooled with the distributions of the document itself after the 1, 2, 4
// and 10 bytes before it (their counts so far) and with a match model (the byte that
// followed the longest earlier occurrence of the last bytes, trusted as its length has
// earned). The pool is geometric: the document's sources speak of the bytes they have
// seen after their contexts here (and the match's byte), the touched bytes T, and
//
//     log q(b) = log p_model(b) + [b in T] sum_i w_i s_i(b) - log Z,
//
// with s_i(b) the model's log-probability again, each order's boost of b's count, the
// match's boost and 1; each weight the sum of three, chosen by small contexts (the
// longest of the document's orders that has statistics here, how sure it is, and the
// match's length; the length of the model's longest kept suffix here; the byte
// before) and learnt as the document is read: after each byte, each moves along the
// gradient of that byte's log probability. The entropy at a position is that of q,
// and every probability is q's. (The model's log-probabilities are taken at e^-24 at
// least, and held to within 3.7e-4 in 16 bits.)
// Causal and deterministic: the value at a position depends only on the model, the
// memory and the bytes before it, every sum taken in a fixed order. Needs a model with
// probabilities (reading.h).
//
// Within a memory budget, by the rule of the adaptive reading: what the document
// teaches (its contexts and the bytes that followed them, the bytes for the match
// model) is counted, and a byte that would take it past the budget first makes the
// reader forget the document so far; the weights learnt are kept.
class MixingModel {
 public:
  // Throws std::logic_error if `model` cannot be read so (reading.h).
  explicit MixingModel(ContextModel model, std::uint64_t memory = Reading::kDefaultMemory);
  ~MixingModel();
  MixingModel(MixingModel&&) noexcept;
  MixingModel& operator=(MixingModel&&) noexcept;

  const ContextModel& model() const;

  // Forgets the document read so far (and the weights learnt): the next byte is the
  // first of a new one, whose length `expected_size` (0: unknown) says.
  void start(std::size_t expected_size = 0);
  // The bytes of the document read so far.
  std::uint64_t position() const;
  // The entropy (nats) of the next byte's distribution.
  float entropy();
  // The probability of `byte` as the next byte.
  double probability(std::uint8_t byte);
  // The probability of every byte value as the next byte, into out[0 .. 255].
  void distribution(double* out);
  // Reads the next byte. Throws std::bad_alloc if memory runs out (the reader is then
  // unusable until start(), unless room for the byte was reserved).
  void push(std::uint8_t byte);
  // Makes room for `bytes` more bytes, so that pushing them allocates nothing and
  // cannot fail; throws std::bad_alloc, leaving everything as it was, if it cannot.
  void reserve(std::uint64_t bytes);
  // For a caller that holds the whole document: starts what later positions read. The
  // only effect is speed.
  void prefetch(const std::uint8_t* data, std::size_t i, std::size_t n);
  // How many times the document's statistics have started afresh since start().
  std::uint64_t restarts() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace qelt

#endif  // QELT_CORE_MIXING_MODEL_H_
