// Patching as bytes arrive: a generation cut into patches one byte at a time.
#ifndef QELT_CORE_PATCH_STREAM_H_
#define QELT_CORE_PATCH_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "adaptive_model.h"
#include "context_model.h"
#include "thresholds.h"

namespace qelt {

// Cuts a stream of bytes as ContextModel::patch_ends, followed by limit_patch_length
// with `max_length` (0: no limit), cuts the whole of it: for every split of a
// document into pushes, the ends the pushes give and then finish() are its ends (with
// `adapt`, those of patch_ends with `adapt`: the stream is read by an AdaptiveModel,
// which needs a model with probabilities). Each byte costs the same time, however
// long the stream. Keeps a copy of the model (which shares its image), so the model
// may go before the stream.
class PatchStream {
 public:
  // Throws std::logic_error for `adapt` with a model without probabilities.
  PatchStream(ContextModel model, Thresholds thresholds, std::size_t max_length = 0,
              bool adapt = false);

  // Takes the `n` bytes at `data`; appends to `ends` the ends (offsets from the
  // stream's start) of the patches they close.
  void push(const std::uint8_t* data, std::size_t n, std::vector<std::size_t>& ends);

  // The entropy the next byte will be judged by (given the up to k bytes before it),
  // known before it arrives.
  float next_entropy() const { return next_entropy_; }
  // Whether the next byte will close a patch, whatever its value (unless it is the
  // last: the last byte always closes the last patch, which finish() says).
  bool next_ends_patch() const;
  // The bytes pushed so far.
  std::uint64_t position() const { return position_; }

  // Appends to `ends` the end of the last patch, if bytes are left unclosed. The
  // stream goes on from there as if those bytes had closed a patch.
  void finish(std::vector<std::size_t>& ends);

 private:
  ContextModel model_;
  std::optional<AdaptiveModel> adaptive_;
  Thresholds thresholds_;
  std::uint64_t max_length_;
  std::uint64_t position_ = 0;
  std::uint64_t patch_start_ = 0;  // where the current, unclosed patch began
  std::uint64_t key_ = 0;          // the up to k bytes before `position_`
  float previous_ = 0.0f;          // the entropy judged at the position before
  float next_entropy_ = 0.0f;
};

}  // namespace qelt

#endif  // QELT_CORE_PATCH_STREAM_H_
