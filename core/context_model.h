// A context model trained once on a corpus, frozen, saved and loaded as one file, and
// its lookups.
#ifndef QELT_CORE_CONTEXT_MODEL_H_
#define QELT_CORE_CONTEXT_MODEL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "format_error.h"
#include "model_contents.h"
#include "model_kinds.h"

namespace qelt {

// The next-byte distribution of every context kept from a corpus, for contexts of
// length k and every shorter suffix (down to the empty context), with its entropy,
// looked up. Immutable once made: copies share one image, and threads may use one at
// once. Scoring documents with it (patching, evaluation, calibration, the adaptive
// mode) is model_scoring.h.
//
// Its image is the model file: a header, the tables of each context length, and a
// CRC-32C over all of it (docs/formats.md, "Model file"). Files of version 1 hold
// entropies only: they patch, but have no probabilities.
//
// The distribution after any bytes is that of the longest suffix of their last k that
// the model keeps: the bytes it lists have their probabilities, and every other byte
// `weight` times its probability after the next shorter kept suffix (below the empty
// context, the kind's floor probability: model_kinds.h). The entropy at a position is
// the stored entropy of that same suffix; if none is kept (the model keeps no context),
// that of the floor: ln 256 for a uniform floor, else 0.
class ContextModel {
 public:
  static constexpr int kMaxOrder = qelt::kMaxOrder;

  // The model of `kind` whose contexts of length j are orders[j], for j = 0 .. k
  // (k <= 8), kept because seen at least `min_count` (>= 1) times. Equal arguments
  // give byte-identical images. Throws std::invalid_argument for contents no model has.
  static ContextModel build(const ModelKind& kind, std::uint64_t min_count,
                            const std::vector<ModelOrder>& orders);

  // The unsmoothed model whose contexts of length j have the entropies orders[j], each
  // sorted by key with no key repeated, and list no byte.
  static ContextModel build(std::uint64_t min_count,
                            const std::vector<std::vector<ContextEntropy>>& orders);

  // The model whose file image is `image`. Throws ModelFormatError if it is not a
  // valid one, checksum included.
  static ContextModel from_image(std::vector<std::uint8_t> image);

  // The model whose file image is the `size` bytes at `image`, which `owner` keeps
  // alive. Throws ModelFormatError if it is not a valid one.
  static ContextModel from_owned_image(std::shared_ptr<const void> owner,
                                       const std::uint8_t* image, std::size_t size) {
    return view_image(std::move(owner), image, size);
  }

  // The model in the file at `path`, mapped into memory (not copied). Throws
  // std::system_error if the file cannot be read, ModelFormatError if it is not a
  // valid model. The file must not be truncated while the model lives.
  static ContextModel load(const std::string& path);

  int k() const { return k_; }
  std::uint64_t min_count() const { return min_count_; }
  // How its distributions were estimated.
  const ModelKind& kind() const { return *kind_; }
  // The version of the model file its image is.
  std::uint32_t version() const { return version_; }
  // Whether it holds distributions (version 2 on): only then do probabilities,
  // log-probabilities, evaluation and the adaptive mode have anything to read.
  bool has_probabilities() const { return version_ >= 2 && kind_->probabilities; }
  // The number of contexts kept, all lengths together.
  std::uint64_t size() const { return contexts_; }
  // The number of contexts of `length` (0 .. k) kept.
  std::uint64_t contexts_of_length(int length) const { return lengths_[length].contexts; }

  // The file image: these bytes, written to a file, are the saved model.
  const std::uint8_t* image() const { return image_; }
  std::size_t image_size() const { return image_size_; }

  // The entropy at a position whose k bytes before it are `context` (packed as in
  // ContextEntropy): that of the longest suffix of it the model keeps; if none, the
  // floor's (above).
  float entropy(std::uint64_t context) const;

  // The entropy after the `length` bytes at `context`, of which the last k count.
  float entropy_after(const std::uint8_t* context, std::size_t length) const;

  // The entropy after the context of `length` bytes packed in `key` (as in
  // ContextEntropy; a length over k counts as k).
  float entropy_of(std::uint64_t key, std::size_t length) const;

  // What lookups in one model have found, by context (and, with probabilities, by
  // context and byte), so that a context met again is answered from here instead of
  // from the model's tables, which are larger than the caches: documents meet again
  // most of their contexts (held-out Python sources a new context of 6 bytes at a third
  // of their positions). A cache of 1.5 MiB at most, 3 MiB with probabilities: it
  // forgets, and never changes a result. One thread uses it at a time, with one model
  // (it starts afresh when given another).
  class Recall {
   public:
    // For about `positions` positions (a batch's bytes): no larger than they need.
    explicit Recall(std::size_t positions);

   private:
    friend class ContextModel;
    struct Entry {
      std::uint64_t key;
      const std::uint8_t* slot;  // of the longest suffix kept
      float entropy;
      std::int16_t length;  // of the context, plus one; 0: nothing recalled here
      std::int16_t kept;    // the length of the longest suffix kept, or -1
    };
    static constexpr Entry kNothing{0, nullptr, 0.0f, 0, -1};
    Entry& entry(std::uint64_t key) {
      return entries_[(key * 0x9E3779B97F4A7C15ull) >> shift_];
    }
    // The probability of a byte after a context: evaluation reads, at every position,
    // the list of the context's longest kept suffix (hundreds of bytes for the short
    // contexts that list much), and documents meet most (context, byte) pairs again:
    // held-out Python sources at 94 % of positions at k = 3, 78 % at k = 6.
    struct Probability {
      std::uint64_t key;
      std::uint32_t pair;  // the byte, and the context's length plus one above it; 0: none
      double probability;
    };
    static std::uint32_t pair_of(int length, std::uint8_t byte) {
      return static_cast<std::uint32_t>(length + 1) << 8 | byte;
    }
    Probability& probability_of(std::uint64_t key, std::uint32_t pair) {
      // The key is mixed before the pair joins it: key ^ pair would put contexts that
      // differ in their last byte, followed by bytes that differ alike, in one entry.
      return probabilities_[((key * 0x9E3779B97F4A7C15ull + pair) * 0xD6E8FEB86659FD93ull) >>
                            shift_];
    }
    std::vector<Entry> entries_;
    std::vector<Probability> probabilities_;  // as many, made when first needed
    int shift_;
    std::uint64_t model_ = 0;  // the identity of the model whose results these are
  };

  // For each position i in [begin, end) of the `n` bytes at `data`: into
  // entropy[i - begin] the entropy given the up to k bytes before i (fewer before
  // position k), and, unless `probability` is null, into probability[i - begin] the
  // probability of data[i] after them (needs has_probabilities()). Positions are
  // looked up many at a time, the memory of those a little further on (up to n)
  // prefetched, so that a model larger than the caches does not wait on each.
  // `recall`, unless null, answers the contexts met before with this model.
  void score_positions(const std::uint8_t* data, std::size_t n, std::size_t begin,
                       std::size_t end, float* entropy, double* probability,
                       Recall* recall = nullptr) const;

  // Where the lookups after a context start: the longest suffix of it that the model
  // keeps.
  struct Suffix {
    std::uint64_t context = 0;           // the context's key (as in ContextEntropy)
    int length = -1;                     // of the suffix kept; -1 if none is
    const std::uint8_t* slot = nullptr;  // its slot in the model's image
    float entropy = 0.0f;                // its entropy; the floor's if none is kept
  };
  // That of the context of `length` bytes packed in `key` (a length over k counts as k),
  // into `into`.
  void longest_suffix(std::uint64_t key, std::size_t length, Suffix& into) const;
  // The lookup of a longest suffix asked for some positions before it is read, so
  // that the memory it reads arrives meanwhile: ask_suffix, narrow_suffix a few
  // positions on (which may be left out), then find_suffix, which gives what
  // longest_suffix would.
  class SuffixLookup;
  // Starts the lookup of the context of `length` bytes packed in `key` (a length over
  // k counts as k) into `lookup`: prefetches the home of its longest length.
  void ask_suffix(SuffixLookup& lookup, std::uint64_t key, std::size_t length) const;
  // Rules out the lengths whose tags say the context is absent (which ask_suffix
  // prefetched) and prefetches the slot of the first likely one.
  void narrow_suffix(SuffixLookup& lookup) const;
  // The longest suffix kept of the context `lookup` was asked for, into `into`.
  void find_suffix(const SuffixLookup& lookup, Suffix& into) const;
  // Prefetches the bytes listed by the suffix of `length` kept in `slot` (as a Suffix
  // gives them) and their probabilities, for probability() soon after. Reads the
  // slot, which is best prefetched first. The only effect is speed.
  void prefetch_listed(int length, const std::uint8_t* slot) const;
  // The probability of `byte` after the context `suffix` was found for. Needs
  // has_probabilities().
  double probability(const Suffix& suffix, std::uint8_t byte) const;
  // probability(suffix, bytes[i]) into out[i] for each of the `count` distinct bytes
  // at `bytes`, with each shorter suffix looked up once for all of them.
  void probabilities(const Suffix& suffix, const std::uint8_t* bytes, std::size_t count,
                     double* out) const;

  // The probability of each byte value after the `length` bytes at `context` (the last
  // k count), into out[0 .. 255]. Needs has_probabilities().
  void probabilities(const std::uint8_t* context, std::size_t length, double* out) const;

  // A kept context, level by level, for a reader that builds whole distributions (the
  // mixing reading): the slot of the context of `length` bytes packed in `key` (length
  // at most k), or null if the model does not keep it; and what the context of `length`
  // kept in `slot` lists, as its distribution is defined above: its bytes, their
  // probabilities (`count` little-endian f32 values at `probabilities`), and the weight
  // of the next shorter kept suffix's distribution. Needs has_probabilities().
  struct Listing {
    const std::uint8_t* bytes = nullptr;
    const std::uint8_t* probabilities = nullptr;
    std::uint32_t count = 0;
    float weight = 0.0f;
    float probability(std::uint32_t i) const;
  };
  const std::uint8_t* kept_slot(int length, std::uint64_t key) const;
  // Prefetches the memory kept_slot(length, key) reads first, for that lookup a few
  // positions on. The only effect is speed.
  void prefetch_kept(int length, std::uint64_t key) const;
  Listing listing(int length, const std::uint8_t* slot) const;
  // The probability of every byte below all kept contexts (model_kinds.h).
  double floor_probability() const { return kind_->floor_probability; }

 private:
  // The hash table of the contexts of one length in one block, and (version 2) its
  // slots' records and the bytes they list, or (version 3) the lists after it.
  struct Block {
    const std::uint8_t* slots = nullptr;
    std::uint64_t slot_count = 0;
    std::uint64_t home_scale = 0;  // AnySizeHome of slot_count
    const std::uint8_t* tags = nullptr;  // model/slot_tags.h
    const std::uint8_t* records = nullptr;
    const std::uint8_t* pair_bytes = nullptr;
    const std::uint8_t* pair_probabilities = nullptr;
  };
  // The contexts of one length: their blocks, and how their slots are laid out.
  struct Length {
    std::uint64_t contexts = 0;
    int blocks_log2 = 0;
    std::size_t key_bytes = 4;
    std::size_t slot_bytes = 8;
    bool inline_records = false;  // version 3
    std::vector<Block> blocks;
    // The key held in a slot of these tables.
    std::uint64_t key_in(const std::uint8_t* slot) const;
  };
  // What a kept context lists: its bytes and their probabilities (f32 each), and the
  // weight of its shorter suffix's distribution.
  struct Listed {
    const std::uint8_t* bytes = nullptr;
    const std::uint8_t* probabilities = nullptr;
    std::uint32_t count = 0;
    float weight = 0.0f;
  };

  // A position's lookup, asked for ahead of when it is read (look_up,
  // score_positions): first the tags of its longest context's home are fetched
  // (ask), then the tags rule out the lengths whose context is absent and the slot
  // of the first likely one is fetched (narrow), then that slot is read, and the
  // tables searched again only if it holds another key (finish).
  // A position whose context was recalled has the length kRecalled and its entropy.
  static constexpr int kRecalled = -2;
  struct Pending {
    std::uint64_t key = 0;          // the context's key
    std::uint64_t bucket_hash = 0;  // of its last bytes, which choose its blocks
    std::uint64_t hash = 0;         // of its suffix of `length`
    int length = -1;                // the longest length not known to be absent
    int context_length = 0;         // the context's
    const std::uint8_t* likely = nullptr;  // the slot of `length` whose tag matches
    Suffix recalled;                // if the length is kRecalled
  };
  void ask(Pending& pending, std::uint64_t key, int length) const;
  void narrow(Pending& pending) const;
  // The length of the longest suffix kept, or -1; its slot and entropy.
  int finish(const Pending& pending, const std::uint8_t*& slot, float& entropy) const;

  // The block of the table of `length` that would hold `key`.
  const Block& block_of(int length, std::uint64_t key) const;
  // The block of the table of `length` that holds the contexts whose last bytes hash
  // to `bucket_hash` (internal::bucket_hash).
  const Block& block_at(int length, std::uint64_t bucket_hash) const;
  // The slot of `key` in the table of `length`, or null; its entropy into `entropy`.
  const std::uint8_t* find_slot(int length, std::uint64_t key, float& entropy) const;
  // The slot of `key`, whose hash is `hash`, in `block` of the table of `length`, or
  // null; its entropy into `entropy`.
  const std::uint8_t* find_in(const Block& block, int length, std::uint64_t key,
                              std::uint64_t hash, float& entropy) const;
  // The length (from `length` down) of the longest suffix of the context `key` that the
  // model keeps, or -1; its slot and entropy into `slot` and `entropy`.
  int longest_kept(std::uint64_t key, int length, const std::uint8_t*& slot,
                   float& entropy) const;
  // What the context kept in `slot` of the table of `length` lists.
  Listed listed(int length, const std::uint8_t* slot) const;
  // Prefetches the home of a key of hash `hash` in `block` of the table of `length`:
  // its tags and its slot.
  void prefetch_home_in(const Block& block, int length, std::uint64_t hash) const;
  // Asks for the lookup of the context `key` of `length` into `pending`, unless
  // `recall` holds it; then, `for_list`, prefetches the slot that leads to its list.
  void ask_unless_recalled(Pending& pending, std::uint64_t key, int length, Recall* recall,
                           bool for_list) const;
  // The longest suffix kept of the context of `pending`, after ask and narrow, into
  // `into`; remembered by `recall` unless null.
  void finish_suffix(const Pending& pending, Suffix& into, Recall* recall) const;
  // score_positions, with probabilities if kListed.
  template <bool kListed>
  void look_up(const std::uint8_t* data, std::size_t n, std::size_t begin, std::size_t end,
               float* entropy, double* probability, Recall* recall) const;

  ContextModel() = default;
  // Makes the tags of every table's slots (model/slot_tags.h).
  void tag_slots();
  // The model whose image is the `size` bytes at `image`, which `owner` keeps alive.
  static ContextModel view_image(std::shared_ptr<const void> owner, const std::uint8_t* image,
                                 std::size_t size);

  std::shared_ptr<const void> owner_;  // keeps the image alive
  std::shared_ptr<const void> tags_;   // keeps the tables' tags alive
  const std::uint8_t* image_ = nullptr;
  std::size_t image_size_ = 0;
  std::uint64_t identity_ = 0;  // of the image, unique in the process (for Recall)
  int k_ = 0;
  std::uint64_t min_count_ = 1;
  const ModelKind* kind_ = nullptr;
  float floor_entropy_ = 0.0f;
  std::uint32_t version_ = 0;
  std::uint64_t contexts_ = 0;
  int bucket_ = 0;  // the last bytes of a context that place it in a block
  std::array<Length, kMaxOrder + 1> lengths_{};
};

class ContextModel::SuffixLookup {
 private:
  friend class ContextModel;
  Pending pending_;
};

}  // namespace qelt

#endif  // QELT_CORE_CONTEXT_MODEL_H_
