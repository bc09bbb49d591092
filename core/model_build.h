// Building a model in shares: for counts larger than one process's memory, and for a
// cluster whose workers each build a share (docs/formats.md, "Model file", version 3).
//
// The windows of the counts (a context and the byte after it) fall in 2^bits shares by
// a hash of the last bytes of their context (share_key_bytes), so that a context,
// every longer context that ends with it, and the bytes that followed them are all in
// one share. A share is built on its own but for a few numbers that the whole corpus
// decides, gathered first:
//
//   1. survey_share, on each share: what its contexts tell the estimator (for
//      Kneser-Ney, the count-of-counts of each length), the windows of the contexts
//      too short to be placed by their last bytes (a few thousand at most), and how
//      many contexts of each count there are, for a budget of bytes.
//   2. plan_build, once: the shortest contexts estimated, the statistics added up, and
//      which contexts a budget leaves out. Where the budget falls among contexts of one
//      count and length, the key it falls at is found by a search over the shares'
//      candidates (cut_candidates, CutSearch), then BuildPlan::settle_cut.
//   3. build_share, on each share: its contexts estimated and laid out as the file
//      will hold them: a run of bytes of the file, and the contexts of the lengths too
//      small to be cut into a block per share (BuiltShare::pieces).
//   4. ModelAssembly, once: where each share's run goes, and the bytes of the rest of
//      the file (the header, the pieces' sections, the checksum); the file is then
//      those bytes, whoever writes them.
//
// The file is the same whatever the number of shares, and every entropy, probability
// and kept context is what ContextCounts::to_model makes (which builds this way too).
// Every function here takes the counts of a whole corpus or of any set of shares of it
// that holds share `index`, and reads only that share's windows.
#ifndef QELT_CORE_MODEL_BUILD_H_
#define QELT_CORE_MODEL_BUILD_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "context_counts.h"
#include "model_contents.h"
#include "model_kinds.h"

namespace qelt {

struct GatheredOrder;
struct MadeOrder;
struct ShareBuilder;

// What a model is built with (as ContextCounts::to_model takes it).
struct BuildSettings {
  const ModelKind* kind = nullptr;  // the unsmoothed kind if null
  std::uint64_t min_count = 1;
  std::uint64_t max_bytes = 0;  // 0: no budget

  const ModelKind& model_kind() const { return kind != nullptr ? *kind : unsmoothed_kind(); }
};

// What a share tells about itself before it is built (step 1).
struct ShareSurvey {
  int k = 0;
  std::uint64_t positions = 0;  // the positions its windows were counted at
  // Per length j >= share_key_bytes(k): what the estimator counts (ModelKind::Count).
  std::array<ModelKind::Statistics, kMaxOrder + 1> statistics{};
  // The windows of share_key_bytes(k) bytes (the contexts one byte shorter than that
  // and the bytes after them), ascending by key, with their values as the derivation
  // of shorter contexts takes them: summed over the shares, they are the corpus's.
  std::vector<std::uint64_t> low_keys, low_values;
  // Per length j >= share_key_bytes(k): (count, contexts, listed bytes) of the
  // contexts seen that many times, for every count of at least min_count, ascending.
  std::array<std::vector<std::array<std::uint64_t, 3>>, kMaxOrder + 1> counts;

  std::string serialize() const;
  // Throws std::invalid_argument for bytes serialize did not make.
  static ShareSurvey deserialize(const std::uint8_t* data, std::size_t size);
};

// Step 1, on share `index` of 2^bits of `counts`.
ShareSurvey survey_share(const ContextCounts& counts, int index, int bits,
                         const BuildSettings& settings);

class BuildPlan;
class CutSearch;

// The contexts of one count and length in a share, where a budget falls among them:
// their keys, ascending, and how many bytes the first of them list in all.
class CutCandidates {
 public:
  CutCandidates() = default;
  CutCandidates(std::vector<std::uint64_t> keys, std::vector<std::uint64_t> pairs_through);

  std::size_t size() const { return keys_.size(); }
  // For each of the `n` keys at `points`: how many candidates have a key at most that
  // (into contexts[i]), and the bytes they list (into pairs[i]).
  void at_most(const std::uint64_t* points, std::size_t n, std::uint64_t* contexts,
               std::uint64_t* pairs) const;

  std::string serialize() const;
  static CutCandidates deserialize(const std::uint8_t* data, std::size_t size);

 private:
  std::vector<std::uint64_t> keys_;
  std::vector<std::uint64_t> pairs_through_;  // the bytes of candidates 0 .. i
};

// What the whole corpus decides for every share (step 2).
class BuildPlan {
 public:
  // What a budget leaves out: every context seen fewer than `count` times, and of
  // those seen `count` times, the ones longer than `length`, and those of `length`
  // whose key is at most `key` (if `through_key`).
  struct Cut {
    bool any = false;
    std::uint64_t count = 0;
    int length = 0;
    bool through_key = false;
    std::uint64_t key = 0;
  };

  BuildPlan();
  ~BuildPlan();
  BuildPlan(BuildPlan&&) noexcept;
  BuildPlan& operator=(BuildPlan&&) noexcept;
  BuildPlan(const BuildPlan&) = delete;
  BuildPlan& operator=(const BuildPlan&) = delete;

  int k() const { return k_; }
  const BuildSettings& settings() const { return settings_; }
  // Whether the budget falls among the contexts of one count and length of at least
  // share_key_bytes(k): the key it falls at is then searched for (CutSearch) and given
  // to settle_cut before any share is built.
  bool needs_cut_key() const { return needs_key_; }
  const Cut& cut() const { return cut_; }
  // Settles the cut of a plan that needs_cut_key() where `search` found it.
  void settle_cut(const CutSearch& search);
  // Whether a context of `length` seen `count` times with `key` is kept.
  bool keeps(int length, std::uint64_t count, std::uint64_t key) const;

  // The contexts kept and the bytes they list, per length (once the cut is settled).
  const std::array<std::uint64_t, kMaxOrder + 1>& kept_contexts() const { return kept_contexts_; }
  const std::array<std::uint64_t, kMaxOrder + 1>& kept_pairs() const { return kept_pairs_; }

  std::string serialize() const;
  static BuildPlan deserialize(const std::uint8_t* data, std::size_t size);

 private:
  friend BuildPlan plan_build(const std::vector<ShareSurvey>&, int, const BuildSettings&);
  friend struct ShareBuilder;
  friend class CutSearch;
  friend class ModelAssembly;

  BuildSettings settings_;
  int k_ = 0;
  std::array<ModelKind::Statistics, kMaxOrder + 1> statistics_{};
  // The contexts too short to be placed by their last bytes (lengths below
  // share_key_bytes(k)), estimated, every one seen, with how often each was seen; and
  // the gathered contexts of the longest of those lengths and what the estimator made
  // of them, for the next length to interpolate with.
  std::vector<ModelOrder> low_orders_;
  std::vector<std::vector<std::uint64_t>> low_totals_;
  std::vector<GatheredOrder> low_top_;  // none or one
  std::vector<MadeOrder> low_top_made_;  // none or one
  Cut cut_;
  bool needs_key_ = false;
  // The contexts and bytes kept per length: with the cut's group whole until it is
  // settled, and that group's contexts and bytes.
  std::array<std::uint64_t, kMaxOrder + 1> kept_contexts_{}, kept_pairs_{};
  std::uint64_t group_contexts_ = 0, group_pairs_ = 0;
};

// Step 2: the plan of a model of counts of k (`k`) from the surveys of all its shares.
// Throws std::invalid_argument if a budget is below the smallest model.
BuildPlan plan_build(const std::vector<ShareSurvey>& surveys, int k,
                     const BuildSettings& settings);

// The candidates of share `index` of 2^bits, for a plan that needs_cut_key().
CutCandidates cut_candidates(const ContextCounts& counts, int index, int bits,
                             const BuildPlan& plan);

// The search for the key at which a budget falls: asks, a few rounds, how many
// candidates of all shares (and the bytes they list) have keys at most each of some
// points, until the least key whose candidates, with all before them, leave the file
// within the budget is found.
class CutSearch {
 public:
  explicit CutSearch(const BuildPlan& plan);
  bool done() const { return done_; }
  // The points to ask about next (ascending), while not done.
  const std::vector<std::uint64_t>& points() const { return points_; }
  // What all shares answered for points(), summed (CutCandidates::at_most).
  void answer(const std::vector<std::uint64_t>& contexts, const std::vector<std::uint64_t>& pairs);
  // The key found, once done, and how many candidates (and the bytes they list) have a
  // key at most that.
  std::uint64_t key() const { return high_; }
  std::uint64_t contexts_through() const { return high_contexts_; }
  std::uint64_t pairs_through() const { return high_pairs_; }

 private:
  bool fits(std::uint64_t contexts, std::uint64_t pairs) const;
  void choose_points();

  const BuildPlan* plan_;
  bool done_ = false;
  bool low_open_ = true;  // no point below high_ is known not to fit
  std::uint64_t low_ = 0, high_ = 0;
  std::uint64_t high_contexts_ = 0, high_pairs_ = 0;
  std::vector<std::uint64_t> points_;
};

// The search of `plan`'s cut key in one process, every share's candidates at hand; then
// plan.settle_cut with it. (Across a cluster, each round's points go to the workers
// that hold the candidates instead.)
void settle_cut(BuildPlan& plan, const std::vector<CutCandidates>& shares);

// What a share of 2^bits made (step 3).
struct BuiltShare {
  int index = 0;
  int bits = 0;
  // Its run of bytes of the file: the sections of its blocks, each padded with zeros
  // to a multiple of 8 bytes.
  std::vector<std::uint8_t> run;
  std::uint32_t run_crc = 0;  // the CRC-32C of the run
  // Per section of the run, in the file's order: (length, block, slots, lists bytes,
  // contexts, listed bytes).
  std::vector<std::array<std::uint64_t, 6>> sections;
  // The contexts it kept of the lengths cut into fewer blocks than there are shares,
  // by length (empty for the others), each sorted by key.
  std::vector<ModelOrder> pieces;

  // Everything but the run (which goes where the assembly says), serialized.
  std::string serialize_sections() const;
  static BuiltShare deserialize_sections(const std::uint8_t* data, std::size_t size);
};

// Step 3, on share `index` of 2^bits of `counts`.
BuiltShare build_share(const ContextCounts& counts, int index, int bits, const BuildPlan& plan);

// Step 4: the layout of the file once every share is built.
class ModelAssembly {
 public:
  ModelAssembly(const BuildPlan& plan, int bits);
  ~ModelAssembly();
  ModelAssembly(const ModelAssembly&) = delete;
  ModelAssembly& operator=(const ModelAssembly&) = delete;

  // The sections and pieces of a share (its run need not be there). Throws
  // std::invalid_argument for a share of other bits, or one given twice.
  void add(const BuiltShare& share);
  // Once every share is added: where the run of share `index` starts in the file, and
  // its size. Throws std::logic_error before.
  std::uint64_t run_offset(int index) const;
  std::uint64_t run_bytes(int index) const;
  // The size of the file.
  std::uint64_t size() const;
  // Everything of the file but the runs of the shares, as (offset, bytes), ascending:
  // the header and directories, the sections of the shortest lengths and of those cut
  // into fewer blocks than shares, and last the trailer with the checksum, which the
  // CRCs of the runs (BuiltShare::run_crc, by index) give.
  std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> rest(
      const std::vector<std::uint32_t>& run_crcs) const;

 private:
  struct State;
  void lay_out() const;

  const BuildPlan* plan_;
  int bits_;
  std::vector<BuiltShare> shares_;  // without their runs
  std::vector<bool> added_;
  mutable std::unique_ptr<State> state_;
};

// The model of `counts` built in 2^bits shares in this process, one share at a time:
// the same image whatever `bits`, made in the memory of the image and one share (with
// bits 0, of the whole build, its contexts derived once).
ContextModel build_in_shares(const ContextCounts& counts, const BuildSettings& settings,
                             int bits);

// The bits of the shares to_model builds `counts` in: 0 unless their build would take
// more than `budget` bytes at once.
int share_bits_within(const ContextCounts& counts, std::uint64_t budget);

// About how many bytes building a share of `windows` windows of counts of k takes at
// once (its contexts gathered, estimated and laid out).
std::uint64_t share_build_bytes(int k, std::uint64_t windows);

}  // namespace qelt

#endif  // QELT_CORE_MODEL_BUILD_H_
