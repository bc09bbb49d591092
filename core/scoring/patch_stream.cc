// A stream keeps what whole-document patching carries from one position to the next:
// the rolling key of the k bytes before the position, the entropy judged at the one
// before, and where the current patch began. A push first makes the room its bytes can
// take (the reader's, and the caller's for the ends): after that nothing it
// does can fail, so a push that fails has changed nothing. The entropy of the next position is
// looked up as soon as the byte before it arrives, which is what lets the stream say
// whether that position will close a patch before seeing its byte. A stream of another
// reading hands each byte to its DocumentReader instead, which keeps the context itself.

#include "patch_stream.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "patching/closing_rule.h"
#include "util/window_key.h"

namespace qelt {

namespace {

// What a static stream's recall is sized for: pushes of a few KiB.
constexpr std::size_t kRecallPositions = 4096;
// Pushes shorter than this look each position up as it comes: there is too little to
// keep in flight for the batch to pay for its setting up.
constexpr std::size_t kBatchAtLeast = 32;

}  // namespace

PatchStream::PatchStream(ContextModel model, Thresholds thresholds, std::size_t max_length,
                         Reading reading)
    : model_(std::move(model)), thresholds_(thresholds), max_length_(max_length) {
  sequential_ = make_document_reader(model_, reading);
  if (!sequential_) recall_.emplace(kRecallPositions);
  next_entropy_ = sequential_ ? sequential_->entropy() : model_.entropy_of(0, 0);
}

bool PatchStream::next_ends_patch() const {
  const std::uint64_t k = static_cast<std::uint64_t>(model_.k());
  const bool judged = position_ >= k && internal::closes(next_entropy_, previous_, thresholds_);
  return judged || (max_length_ != 0 && position_ + 1 - patch_start_ == max_length_);
}

void PatchStream::push(const std::uint8_t* data, std::size_t n, std::vector<std::size_t>& ends) {
  const std::size_t before = ends.size();
  ends.resize(before + n);
  try {
    ends.resize(before + push(data, n, ends.data() + before));
  } catch (...) {
    ends.resize(before);
    throw;
  }
}

std::size_t PatchStream::push(const std::uint8_t* data, std::size_t n, std::size_t* ends) {
  if (finished_) throw std::logic_error("the stream is finished: nothing more can be pushed");
  const std::uint64_t k = static_cast<std::uint64_t>(model_.k());
  const std::uint64_t mask = internal::window_mask(static_cast<std::size_t>(k));
  if (sequential_) {
    sequential_->reserve(n);  // the one step that can fail
  } else if (n >= kBatchAtLeast) {
    // The steps that can fail: the entropy after each pushed byte, looked up at once.
    const std::size_t reach = static_cast<std::size_t>(std::min(position_, k));
    scratch_.resize(reach + n + 1);
    entropies_.resize(n);
    for (std::size_t j = 0; j < reach; ++j) {
      scratch_[j] = static_cast<std::uint8_t>(key_ >> (8 * (reach - 1 - j)));
    }
    std::copy(data, data + n, scratch_.begin() + static_cast<std::ptrdiff_t>(reach));
    scratch_[reach + n] = 0;  // a position after the last byte, never read
    model_.score_positions(scratch_.data(), scratch_.size(), reach + 1, reach + n + 1,
                           entropies_.data(), nullptr, &*recall_);
  }
  std::size_t closed = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (next_ends_patch()) {
      ends[closed++] = static_cast<std::size_t>(position_ + 1);
      patch_start_ = position_ + 1;
    }
    if (position_ >= k) previous_ = next_entropy_;
    ++position_;
    if (sequential_) {
      sequential_->prefetch(data, i, n);  // what the bytes of this push will read
      sequential_->push(data[i]);
      next_entropy_ = sequential_->entropy();
    } else {
      key_ = (key_ << 8 | data[i]) & mask;
      if (n >= kBatchAtLeast) {
        next_entropy_ = entropies_[i];
      } else {
        next_entropy_ = model_.entropy_of(key_, static_cast<std::size_t>(std::min(position_, k)));
      }
    }
  }
  return closed;
}

void PatchStream::finish(std::vector<std::size_t>& ends) {
  if (position_ > patch_start_ && !finished_) ends.push_back(static_cast<std::size_t>(position_));
  patch_start_ = position_;
  finished_ = true;
}

}  // namespace qelt
