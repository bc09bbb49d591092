// How a model reads each document: as it is, learning from the document as it goes, or
// mixing what the model and the document say. One value from the API to the core.
#ifndef QELT_CORE_READING_H_
#define QELT_CORE_READING_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "context_model.h"

namespace qelt {

enum class ReadingMode : std::uint8_t {
  // The model as it is: the distribution after the longest suffix it keeps of the k
  // bytes before a position. Positions are looked up many at a time.
  kStatic = 0,
  // The model's distribution sharpened by the counts of the same k bytes earlier in the
  // document (adaptive_model.h).
  kAdaptive = 1,
  // The model's distributions and the document's own at several orders, with a match
  // model, mixed by weights learnt as the document is read (mixing_model.h).
  kMix = 2,
};

// A reading, and the memory what a document teaches may take: past it, the reader
// forgets the document so far and learns afresh (a static reading learns nothing).
struct Reading {
  static constexpr std::uint64_t kDefaultMemory = std::uint64_t{1} << 30;  // 1 GiB
  static constexpr std::uint64_t kLeastMemory = 4096;
  static constexpr std::uint64_t kUnbounded = ~std::uint64_t{0};  // no bound

  ReadingMode mode = ReadingMode::kStatic;
  std::uint64_t memory = kDefaultMemory;

  bool is_static() const { return mode == ReadingMode::kStatic; }
};

// Every mode, in order, with the name the API and the command give it: "static",
// "adaptive", "mix".
const std::vector<ReadingMode>& reading_modes();
std::string_view reading_name(ReadingMode mode);
// The mode named `name`, or nothing.
std::optional<ReadingMode> reading_mode(std::string_view name);

// Why `model` has no probabilities to give (a version 1 file, or a kind without them),
// in one line; empty if it has. What reads probabilities (evaluation, log-probabilities,
// every reading but the static one) asks this.
std::string probabilities_refusal(const ContextModel& model);

// Why `model` cannot be read with `reading`, in one line; empty if it can. A reading
// other than the static one needs a model with probabilities (version 2 on) of a kind
// that supports it (model_kinds.h), and a memory of at least kLeastMemory.
std::string reading_refusal(const ContextModel& model, Reading reading);
// Throws std::logic_error with reading_refusal's line unless it is empty.
void check_reading(const ContextModel& model, Reading reading);

// Reads one document a byte at a time, and gives the distribution of the next byte
// given the bytes before it. Causal and deterministic: what it gives at a position
// depends only on the model, the reading and the bytes before it. One instance reads
// one document at a time; start() begins the next.
class DocumentReader {
 public:
  virtual ~DocumentReader() = default;

  // Forgets the document read so far: the next byte is the first of a new one, whose
  // length `expected_size` (0: unknown) says, so that room is made once.
  virtual void start(std::size_t expected_size = 0) = 0;
  // The bytes of the document read so far.
  virtual std::uint64_t position() const = 0;
  // The entropy (nats) of the next byte's distribution.
  virtual float entropy() = 0;
  // The probability of `byte` as the next byte.
  virtual double probability(std::uint8_t byte) = 0;
  // Reads the next byte. Throws std::bad_alloc if memory runs out (the reader is then
  // unusable until start(), unless room for the byte was reserved).
  virtual void push(std::uint8_t byte) = 0;
  // Makes room for `bytes` more bytes, so that pushing them allocates nothing and
  // cannot fail; throws std::bad_alloc, leaving everything as it was, if it cannot.
  virtual void reserve(std::uint64_t bytes) = 0;
  // For a caller that holds the whole document, the `n` bytes at `data` of which the
  // next byte is data[i]: starts what positions a little further on will read. The
  // only effect is speed.
  virtual void prefetch(const std::uint8_t* data, std::size_t i, std::size_t n) = 0;
  // How many times the document's statistics have started afresh (its memory being
  // full) since start().
  virtual std::uint64_t restarts() const = 0;
};

// The reader of documents with `model` read as `reading` says; null for the static
// reading, whose lookups go many positions at a time instead
// (ContextModel::score_positions). Throws std::logic_error as check_reading does.
std::unique_ptr<DocumentReader> make_document_reader(const ContextModel& model,
                                                     Reading reading);

}  // namespace qelt

#endif  // QELT_CORE_READING_H_
