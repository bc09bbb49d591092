// Patching as bytes arrive: a generation cut into patches one byte at a time.
#ifndef QELT_CORE_PATCH_STREAM_H_
#define QELT_CORE_PATCH_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "context_model.h"
#include "reading.h"
#include "thresholds.h"

namespace qelt {

// Cuts a stream of bytes as patch_ends (model_scoring.h), followed by
// limit_patch_length with `max_length` (0: no limit), cuts the whole of it: for every
// split of a document into pushes, the ends the pushes give and then finish() are its
// ends (in any reading, those of patch_ends with the same: the stream is then read by
// the reading's DocumentReader). Each byte costs the same time, however long the
// stream. Keeps a copy of the model (which shares its image), so the model may go
// before the stream.
class PatchStream {
 public:
  // Throws std::logic_error for a reading the model cannot make.
  PatchStream(ContextModel model, Thresholds thresholds, std::size_t max_length = 0,
              Reading reading = {});

  // Takes the `n` bytes at `data`; writes to `ends` (room for n of them) the ends
  // (offsets from the stream's start) of the patches they close, and returns how many.
  // If it throws (std::bad_alloc when memory runs out), the stream is exactly as it
  // was before the call, and may be pushed to again or finished. Throws
  // std::logic_error after finish().
  std::size_t push(const std::uint8_t* data, std::size_t n, std::size_t* ends);

  // push, appending to `ends`; with the same guarantee.
  void push(const std::uint8_t* data, std::size_t n, std::vector<std::size_t>& ends);

  // The entropy the next byte will be judged by (given the up to k bytes before it),
  // known before it arrives.
  float next_entropy() const { return next_entropy_; }
  // Whether the next byte will close a patch, whatever its value (unless it is the
  // last: the last byte always closes the last patch, which finish() says).
  bool next_ends_patch() const;
  // The bytes pushed so far.
  std::uint64_t position() const { return position_; }

  // Appends to `ends` the end of the last patch, if bytes are left unclosed, and ends
  // the stream: nothing more may be pushed.
  void finish(std::vector<std::size_t>& ends);
  bool finished() const { return finished_; }

 private:
  ContextModel model_;
  std::unique_ptr<DocumentReader> sequential_;  // null for the static reading
  // A static stream looks up the entropies of a push's positions as whole-document
  // patching does, many at once: over `scratch_` (the bytes before the push that
  // contexts reach back to, the push, and a byte of padding), into `entropies_`.
  std::optional<ContextModel::Recall> recall_;
  std::vector<std::uint8_t> scratch_;
  std::vector<float> entropies_;
  Thresholds thresholds_;
  std::uint64_t max_length_;
  std::uint64_t position_ = 0;
  std::uint64_t patch_start_ = 0;  // where the current, unclosed patch began
  std::uint64_t key_ = 0;          // the up to k bytes before `position_`
  float previous_ = 0.0f;          // the entropy judged at the position before
  float next_entropy_ = 0.0f;
  bool finished_ = false;
};

}  // namespace qelt

#endif  // QELT_CORE_PATCH_STREAM_H_
