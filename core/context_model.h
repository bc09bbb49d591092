// A context model trained once on a corpus, frozen, saved and loaded as one file.
#ifndef QELT_CORE_CONTEXT_MODEL_H_
#define QELT_CORE_CONTEXT_MODEL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch.h"
#include "format_error.h"
#include "thresholds.h"

namespace qelt {

// A context of a model: its bytes packed into an integer, the byte just before the
// position in the lowest 8 bits, and the entropy (nats) of the bytes that followed it.
struct ContextEntropy {
  std::uint64_t key;
  float entropy;
};

// The entropy of every context kept from a corpus, for contexts of length k and every
// shorter suffix (down to the empty context), and the patching that looks them up.
// Immutable once made: copies share one image, and threads may use one at once.
//
// Its image is the model file: a header, one hash table per context length, and a
// CRC-32C over all of it (docs/formats.md, "Model file").
class ContextModel {
 public:
  static constexpr int kMaxOrder = 8;

  // The model whose contexts of length j are orders[j], for j = 0 .. k (k <= 8), each
  // sorted by key with no key repeated, kept because seen at least `min_count` (>= 1)
  // times. Equal arguments give byte-identical images.
  static ContextModel build(std::uint64_t min_count,
                            const std::vector<std::vector<ContextEntropy>>& orders);

  // The model whose file image is `image`. Throws ModelFormatError if it is not a
  // valid one, checksum included.
  static ContextModel from_image(std::vector<std::uint8_t> image);

  // The model in the file at `path`, mapped into memory (not copied). Throws
  // std::system_error if the file cannot be read, ModelFormatError if it is not a
  // valid model. The file must not be truncated while the model lives.
  static ContextModel load(const std::string& path);

  int k() const { return k_; }
  std::uint64_t min_count() const { return min_count_; }
  // The number of contexts kept, all lengths together.
  std::uint64_t size() const { return contexts_; }
  // The number of contexts of `length` (0 .. k) kept.
  std::uint64_t contexts_of_length(int length) const { return tables_[length].contexts; }

  // The file image: these bytes, written to a file, are the saved model.
  const std::uint8_t* image() const { return image_; }
  std::size_t image_size() const { return image_size_; }

  // The entropy at a position whose k bytes before it are `context` (packed as in
  // ContextEntropy): that of the longest suffix of it the model keeps; 0 if none.
  float entropy(std::uint64_t context) const;

  // Patch ends of the `n` bytes at `data` as patch_ends (patching.h) gives them, but
  // with the entropy of each position i >= k taken from the model. Positions before k
  // never end a patch.
  std::vector<std::size_t> patch_ends(const std::uint8_t* data, std::size_t n,
                                      Thresholds thresholds) const;

  // Each document patched as patch_ends does, each limited to `max_length` (0: none).
  BatchEnds patch_ends_batch(const ByteSpan* documents, std::size_t count,
                             Thresholds thresholds, std::size_t max_length) const;

  // The theta for which the mean patch length over the documents (their bytes over
  // their patches, with this `theta_r`) is closest to `target_mean_length`. The
  // candidates are the entropies met in the documents, where the patches change, and
  // the float just below the least of them; of two as close, the larger is chosen.
  // Throws std::invalid_argument if no document is longer than k bytes.
  float calibrate(const ByteSpan* documents, std::size_t count, double target_mean_length,
                  float theta_r) const;

 private:
  // The hash table of the contexts of one length.
  struct Table {
    const std::uint8_t* slots = nullptr;
    std::uint64_t slot_count = 0;
    std::uint64_t contexts = 0;
    std::size_t key_bytes = 4;
  };

  ContextModel() = default;
  // The model whose image is the `size` bytes at `image`, which `owner` keeps alive.
  static ContextModel over(std::shared_ptr<const void> owner, const std::uint8_t* image,
                           std::size_t size);

  // Calls visit(i, entropy) for every position i = k .. n - 1 of `data`, in order.
  template <typename Visit>
  void for_each_entropy(const std::uint8_t* data, std::size_t n, Visit visit) const;

  std::shared_ptr<const void> owner_;  // keeps the image alive
  const std::uint8_t* image_ = nullptr;
  std::size_t image_size_ = 0;
  int k_ = 0;
  std::uint64_t min_count_ = 1;
  std::uint64_t contexts_ = 0;
  std::array<Table, kMaxOrder + 1> tables_{};
};

}  // namespace qelt

#endif  // QELT_CORE_CONTEXT_MODEL_H_
