// A mixing reader's distribution at a position is a product of experts over the 256
// byte values: each byte's score is a weighted sum of what the sources say of it, and
// its probability e^score over their total. The sources are the model's
// log-probability (its distribution in full, built from its kept suffixes, its logs
// held in 16-bit codes and remembered for the contexts met lately with the totals of p
// and p ln p over it); the document's own at each order, a boost of the bytes seen
// after the context; the match model's, a boost of the byte it predicts; and a bias.
//
// Every source but the model says something only of the bytes the document's orders
// have seen after their contexts here and the match's byte: the touched bytes, a few
// dozen at most positions (those of the shortest order, whose contexts are followed by
// the others'). An untouched byte's score is the model's log-probability alone, so the
// sums over the untouched bytes are the model's totals less its sums over the touched
// ones, and only the touched bytes are passed over, in vectors; the model's weight
// applies to the touched bytes. Reading a byte moves each weight along the gradient of
// that byte's log probability, then counts the byte after every order's context (each
// context found once a position, its room made first so that adding to one moves
// none) and extends or seeks the match.

#include "mixing_model.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "scoring/dense_followers.h"
#include "scoring/document_followers.h"
#include "scoring/pool_lanes.h"
#include "util/fast_log.h"
#include "util/hash.h"
#include "util/prefetch.h"
#include "util/window_key.h"

namespace qelt {

namespace {

using internal::DenseFollowers;

// The document's orders, in bytes of context.
constexpr std::array<int, 4> kOrders = {1, 2, 4, 10};
constexpr std::size_t kDocumentSources = kOrders.size();
// The first orders are counted in rows of 256 (dense_followers.h), the rest in lists.
constexpr std::size_t kDenseOrders = 2;
static_assert(internal::kDocumentScores == kDocumentSources,
              "the model and every order are gathered at the touched bytes");
constexpr std::size_t kListedOrders = kDocumentSources - kDenseOrders;
// The sources: the model, the document's orders, the match model.
constexpr std::size_t kModelSource = 0;
constexpr std::size_t kFirstDocumentSource = 1;
constexpr std::size_t kMatchSource = 1 + kDocumentSources;
// A source of 1 at every touched byte: how much more (or less) they take than the
// model gives them.
constexpr std::size_t kTouchedSource = 2 + kDocumentSources;
constexpr std::size_t kSources = 3 + kDocumentSources;
// A source's weight at a position is the sum of its weights in three sets, each chosen
// by a context of its own and each learning from the same gradient: a weight that
// depends on all three contexts, learnt from far fewer positions than their product.
// The first set is chosen by the longest order with statistics here (none, or one of
// kOrders), by how sure that order's context is (whether one byte alone has followed
// it, and whether it was seen once, two or three times, or more), and by the match's
// length (none, short, long, very long); the second by the length of the model's
// longest kept suffix here (0 to kMaxOrder) and the match's length; the third by the
// byte before the position.
constexpr std::size_t kOrderClasses = kDocumentSources + 1;
constexpr std::size_t kConfidenceClasses = 6;
constexpr std::size_t kMatchClasses = 4;
constexpr std::size_t kWeightSets = kOrderClasses * kConfidenceClasses * kMatchClasses;
constexpr std::size_t kSuffixWeightSets = (kMaxOrder + 1) * kMatchClasses;
constexpr std::size_t kByteWeightSets = 256;

// How the weights start (those of the second and third sets at 0), and how fast each
// set learns. A touched byte's score holds the model's log once in any case; its
// weight is what is added to that, so -0.5 starts the model at half its log there.
// (Tuned on held-out Python sources with models of the standard library's, k = 6 and
// 8.)
constexpr float kModelWeight = -0.5f;
constexpr float kDocumentWeight = 0.15f;
constexpr float kMatchWeight = 0.3f;
constexpr float kLearningRate = 0.003f;
constexpr float kSuffixRate = 0.003f;
constexpr float kByteRate = 0.003f;
// A byte seen n times after a context counts as n + kPseudoCount against kPseudoCount
// for a byte not seen.
constexpr double kPseudoCount = 0.025;
// The model's log-probabilities are taken at this least (a probability so small is
// worth no more to the pool, and the scores stay finite).
constexpr float kLeastLog = -24.0f;
// The match model: the shortest match sought (the bytes its hash covers), the longest
// length told apart, and the longest verified backwards.
constexpr int kMatchMinimum = 6;
constexpr std::uint32_t kMatchLengths = 32;
constexpr std::uint32_t kMatchVerify = 64;
// What the budget counts for each byte of the document (its copy, and its share of
// the match table: one entry per two bytes, 4 bytes each).
constexpr std::uint64_t kBytesPerPosition = 3;
constexpr std::size_t kLeastMatchSlots = std::size_t{1} << 10;
constexpr std::size_t kMostMatchSlots = std::size_t{1} << 28;
// ln(n + kPseudoCount) - ln kPseudoCount, tabled for small counts.
constexpr std::size_t kTabledBoosts = 4096;
// The model's distributions remembered at most (576 bytes each).
constexpr std::size_t kMostRemembered = 32768;
// The slots a reader starts with, and the bytes it reads for each slot before they
// grow fourfold.
constexpr std::size_t kFirstRemembered = 128;
constexpr std::uint64_t kBytesPerRemembered = 8;

// (Made before any reader is, so that reading one asks no guard.)
const std::array<float, kTabledBoosts> kBoosts = [] {
  std::array<float, kTabledBoosts> boosts{};
  for (std::size_t n = 0; n < kTabledBoosts; ++n) {
    boosts[n] = static_cast<float>(std::log(static_cast<double>(n) + kPseudoCount) -
                                   std::log(kPseudoCount));
  }
  return boosts;
}();

float boost_of(std::uint32_t count) {
  return count < kTabledBoosts
             ? kBoosts[count]
             : static_cast<float>(internal::fast_log(count + kPseudoCount) - std::log(kPseudoCount));
}

// The document's contexts of the listed orders: what they were followed by, and how
// often, alone (half a cache line, so that twice as many stay at hand).
struct CountedByte {
  std::uint32_t count = 0;
  std::uint8_t byte = 0;
};
struct alignas(32) ListedContext {
  using Key = std::uint64_t;
  Key bytes = 0;
  std::uint32_t followed = 0;
  std::uint32_t others = ~std::uint32_t{0};
  CountedByte last;
  std::uint16_t distinct = 0;  // 0 marks an empty slot

  Key key() const { return bytes; }
  bool empty() const { return distinct == 0; }
  void followers_changed() {}
};
static_assert(sizeof(ListedContext) == 32, "two contexts to a cache line");
using DocumentFollowers = internal::ContextFollowers<ListedContext>;

std::uint64_t order_key(int order, std::uint64_t low, std::uint64_t high) {
  // The last 16 bytes are `high` (older) and `low` (newer); an order's key is a hash
  // of its bytes and of its length, so that every order shares one table.
  const std::uint64_t tag = 0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(order);
  if (order <= 8) {
    return internal::fmix64((low & internal::window_mask(static_cast<std::size_t>(order))) ^ tag);
  }
  const std::uint64_t older = high & internal::window_mask(static_cast<std::size_t>(order - 8));
  return internal::fmix64(low ^ internal::fmix64(older + tag));
}

}  // namespace

struct MixingModel::State {
  ContextModel model;
  std::uint64_t memory;

  // The model's log-distribution after each context of one byte (and, at index 256,
  // after the empty context): made when first needed.
  std::vector<std::array<std::int16_t, 256>> short_codes;
  std::vector<bool> short_made;

  // The model's log-distributions of the contexts met lately, one per slot (the slot
  // of a context is fixed by its hash): documents return to their contexts, and a
  // distribution takes a lookup for each kept suffix to make. What a slot holds is a
  // function of the model and the context alone, so hits change no value.
  struct alignas(64) Remembered {
    std::uint64_t key = 0;
    int length = -1;  // -1: empty
    int kept = 0;     // the length of the longest suffix the model keeps
    internal::ModelTotals totals;  // of the logs coded
    std::array<std::int16_t, 256> codes;  // of the logs (pool_lanes.h)

    bool holds(std::uint64_t context, int context_length) const {
      return length == context_length && key == context;
    }
  };
  std::vector<Remembered> remembered;
  // The slots grow with the bytes read, to most_remembered: a reader made for a short
  // document has no use for many, and a large table costs time to make.
  std::size_t most_remembered;
  std::uint64_t bytes_read = 0;

  // The model's slots of a context some positions on, looked up by prefetch() so that
  // their lists could be fetched meanwhile: what a slot is depends on the model and the
  // context alone, so using them changes no value.
  struct LookedUp {
    std::uint64_t position = ~std::uint64_t{0};
    std::uint64_t key = 0;
    int length = -1;
    std::array<const std::uint8_t*, kMaxOrder + 1> slots{};
  };
  static constexpr std::size_t kLookedUp = 8;
  std::array<LookedUp, kLookedUp> looked_up{};

  // The document.
  std::vector<std::uint8_t> history;
  std::uint64_t position = 0;       // since start()
  std::uint64_t model_key = 0;      // the up to k bytes before the position, for the model
  std::uint64_t restarts = 0;
  std::uint64_t low = 0, high = 0;  // the last 16 bytes since the last restart
  std::uint64_t since_restart = 0;  // bytes read since then
  std::array<DenseFollowers, kDenseOrders> dense;
  DocumentFollowers followers;
  // Hash of kMatchMinimum bytes -> the position after them, in a table of match_slots
  // entries: one for every two bytes read since the last restart, or more, and at
  // least kLeastMatchSlots. Its size is a function of those bytes alone (so are the
  // matches it finds); its room may be made ahead (reserve).
  std::vector<std::uint32_t> match_table;
  std::size_t match_slots = kLeastMatchSlots;
  std::uint64_t match_position = 0;  // of the byte predicted, in `history`
  std::uint32_t match_length = 0;    // 0: no match
  std::array<std::uint32_t, kMatchLengths> match_hits{}, match_tries{};

  // The weights of the three kinds of set (at the top of this file).
  std::array<std::array<float, kSources>, kWeightSets> weights{};
  std::array<std::array<float, kSources>, kSuffixWeightSets> suffix_weights{};
  std::array<std::array<float, kSources>, kByteWeightSets> byte_weights{};

  // The position's sources and pool, once prepared.
  bool prepared = false;
  // The probabilities a distribution's lists give, and the shifts of their logs, while
  // it is made (members, so that the lanes a pass reads past them hold numbers).
  alignas(32) std::array<float, 256> listed_probability{}, listed_shift{};
  // Where distributions are made where none can be remembered.
  alignas(64) std::array<std::int16_t, 256> model_code{};
  const std::int16_t* model_codes = nullptr;  // the position's: model_code, or a remembered one
  internal::ModelTotals model_totals{};  // of model_codes
  // The touched bytes: those some document order has seen after its context here, and
  // the match's; the first shortest_count those of the shortest order, in its row's
  // order. By their index in `touched`: each order's score, the match's part of the
  // score, and the exponential of the score.
  int touched_count = 0;
  int shortest_count = 0;
  std::array<std::uint8_t, 256> touched{};
  std::array<std::uint16_t, 256> other_index{};  // 1 + the index of a byte touched later
  // order_scores[o][i]: order o's score at touched byte i (0 if it has not seen it
  // after its context here).
  alignas(64) std::array<std::array<float, 256>, kDocumentSources> order_scores{};
  alignas(64) std::array<float, 256> extras{};
  alignas(64) std::array<float, 256> exps{};  // e^(scores less the largest)
  float untouched_scale = 0;  // e^(-largest): an untouched byte's e^score is its p times it
  double total = 0;           // of e^score (less the largest) over every byte
  std::array<std::uint32_t, kDenseOrders> rows{};  // or DenseFollowers::kNone
  std::array<DocumentFollowers::Context*, kDocumentSources> contexts{};  // of listed orders
  std::array<std::uint64_t, kDocumentSources> keys{};
  int predicted = -1;     // the match model's byte, or -1
  int predicted_index = 0;  // its index in `touched`
  float match_boost = 0;  // its log-odds against any other byte
  std::size_t set = 0, suffix_set = 0, byte_set = 0;
  std::array<float, kSources> w{};  // the weights here: the sum of the three sets'
  internal::TouchedSums pooled{};  // the sums over the touched bytes
  float entropy = 0;

  State(ContextModel m, std::uint64_t budget)
      : model(std::move(m)),
        memory(budget),
        short_codes(257),
        short_made(257, false),
        remembered(std::min(remembered_slots(budget), kFirstRemembered)),
        most_remembered(remembered_slots(budget)),
        dense{DenseFollowers(1, shortest_budget(budget)),
              DenseFollowers(2, document_budget(budget) / 16 * 3)},
        followers(document_budget(budget) - shortest_budget(budget) -
                  document_budget(budget) / 16 * 3) {}

  // The rows of the shortest order: all of them, or a quarter of what the document's
  // counts may take if that is less. (The next order's rows take 3/16, which holds none
  // below a few MiB: the order is then not counted. The lists take the rest.)
  static std::uint64_t shortest_budget(std::uint64_t budget) {
    return std::min(DenseFollowers::budget_for_all(1), document_budget(budget) / 4);
  }

  // What the document's counts may take: what the history and the remembered
  // distributions leave.
  static std::uint64_t document_budget(std::uint64_t budget) {
    return budget - budget / 4 - remembered_slots(budget) * sizeof(Remembered);
  }

  // As many slots as an eighth of the budget holds, a power of two, at most
  // kMostRemembered.
  static std::size_t remembered_slots(std::uint64_t budget) {
    std::size_t slots = 0;
    while (slots < kMostRemembered && (2 * slots + (slots == 0)) * sizeof(Remembered) <= budget / 8) {
      slots = slots == 0 ? 1 : 2 * slots;
    }
    return slots;
  }

  // Where the distribution after the context of `length` bytes packed in `key` is
  // remembered, if it is (there must be slots).
  Remembered& remembered_slot(std::uint64_t key, int length) {
    return remembered[internal::fmix64(key ^ static_cast<std::uint64_t>(length) << 58) &
                      (remembered.size() - 1)];
  }

  // A distribution of the model's: where its log-probabilities lie (until the next
  // one is asked for), and the length of the longest suffix the model keeps of the
  // context.
  struct ModelDistribution {
    const std::int16_t* codes;
    int kept;
    internal::ModelTotals totals;
  };

  // model_distribution's, from the slot of the context where it is held (made there
  // if it is not).
  ModelDistribution remembered_distribution(std::uint64_t key, int length) {
    if (remembered.empty()) {
      internal::ModelTotals totals;
      const int kept = model_distribution(key, length, model_code.data(), totals);
      return {model_code.data(), kept, totals};
    }
    Remembered& slot = remembered_slot(key, length);
    if (!slot.holds(key, length)) {
      slot.length = -1;  // (a lookup it makes on the way may take the slot meanwhile)
      const int kept = model_distribution(key, length, slot.codes.data(), slot.totals);
      slot.kept = kept;
      slot.key = key;
      slot.length = length;
    }
    return {slot.codes.data(), slot.kept, slot.totals};
  }

  // The bytes the document may hold before it starts afresh: a quarter of the budget
  // at kBytesPerPosition each, and fewer than 2^31 (positions are 32-bit).
  std::uint64_t history_budget() const {
    return std::min<std::uint64_t>(memory / 4 / kBytesPerPosition, std::uint64_t{1} << 31);
  }

  void reset_weights() {
    for (auto& set_weights : weights) {
      set_weights.fill(kDocumentWeight);
      set_weights[kModelSource] = kModelWeight;
      set_weights[kMatchSource] = kMatchWeight;
      set_weights[kTouchedSource] = 0.0f;
    }
    for (auto& set_weights : suffix_weights) set_weights.fill(0.0f);
    for (auto& set_weights : byte_weights) set_weights.fill(0.0f);
  }

  // The model's log-distribution after the context of `length` bytes packed in `key`,
  // coded into `out`, with its totals; returns the length of its longest kept suffix.
  // Over two bytes, it is made over the distribution after the last two, itself
  // remembered: such contexts are few and list many bytes each. (That one may be made
  // in `out` itself: it is read before `out` is written.)
  int model_distribution(std::uint64_t key, int length, std::int16_t* out,
                         internal::ModelTotals& totals) {
    // The slots prefetch() looked up, if it did for this position.
    const LookedUp& entry = looked_up[position % kLookedUp];
    const LookedUp* looked =
        entry.position == position && entry.key == key && entry.length == length ? &entry
                                                                                : nullptr;
    // The kept suffixes, longest first, each listing some bytes; a byte takes the
    // probability of the longest that lists it, times the weights of those above.
    const int lowest = length > 2 ? 3 : 2;  // the shortest whose list is read here
    std::array<std::uint64_t, 4> set_here{};  // a bit for each byte listed so far
    std::array<std::uint8_t, 256> listed_byte;
    alignas(32) std::array<float, 256> listed_log;
    int listed = 0;
    int longest = std::min(length, 1);
    float carried = 0.0f;  // ln of the product of the weights above
    bool below_reaches = true;
    for (int j = length; j >= lowest; --j) {
      const std::uint8_t* slot = looked != nullptr
                                     ? looked->slots[static_cast<std::size_t>(j)]
                                     : model.kept_slot(j, key & internal::window_mask(
                                                              static_cast<std::size_t>(j)));
      if (slot == nullptr) continue;
      longest = std::max(longest, j);
      const ContextModel::Listing list = model.listing(j, slot);
      for (std::uint32_t i = 0; i < list.count; ++i) {
        const std::uint8_t b = list.bytes[i];
        std::uint64_t& word = set_here[b >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (b & 63);
        if ((word & bit) != 0) continue;
        word |= bit;
        listed_byte[static_cast<std::size_t>(listed)] = b;
        listed_probability[static_cast<std::size_t>(listed)] = list.probability(i);
        listed_shift[static_cast<std::size_t>(listed++)] = carried;
      }
      if (!(list.weight > 0.0f)) {  // nothing below reaches here
        below_reaches = false;
        break;
      }
      carried += static_cast<float>(internal::fast_log(list.weight));
    }
    internal::listed_logs(listed, listed_probability.data(), listed_shift.data(), kLeastLog,
                          listed_log.data());
    // The distribution below, shifted, with the listed bytes over it (made in full,
    // then coded: `out` may be what lies below, which is read first).
    alignas(32) std::array<float, 256> logs;
    if (!below_reaches) {  // every byte not listed at the least
      logs.fill(kLeastLog);
    } else {
      const std::int16_t* below;
      if (length > 2) {
        const ModelDistribution last_two = remembered_distribution(key & 0xFFFF, 2);
        below = last_two.codes;
        longest = std::max(longest, last_two.kept);
      } else {
        below = short_code(length >= 1 ? static_cast<int>(key & 0xFF) : 256).data();
      }
      internal::shift_codes(below, carried, kLeastLog, logs.data());
    }
    for (int i = 0; i < listed; ++i) {
      logs[listed_byte[static_cast<std::size_t>(i)]] = listed_log[static_cast<std::size_t>(i)];
    }
    totals = internal::code_logs(logs.data(), out);
    return longest;
  }

  // The model's log-distribution after one byte `context` (256: after no byte), coded.
  const std::array<std::int16_t, 256>& short_code(int context) {
    std::array<std::int16_t, 256>& codes = short_codes[static_cast<std::size_t>(context)];
    if (short_made[static_cast<std::size_t>(context)]) return codes;
    std::array<double, 256> p;
    p.fill(model.floor_probability());
    const int top = context == 256 ? 0 : std::min(1, model.k());
    for (int j = 0; j <= top; ++j) {
      const std::uint8_t* slot =
          model.kept_slot(j, j == 0 ? 0 : static_cast<std::uint64_t>(context));
      if (slot == nullptr) continue;
      const ContextModel::Listing list = model.listing(j, slot);
      for (double& value : p) value *= list.weight;
      for (std::uint32_t i = 0; i < list.count; ++i) p[list.bytes[i]] = list.probability(i);
    }
    alignas(32) std::array<float, 256> logs;
    for (int b = 0; b < 256; ++b) {
      logs[b] = p[b] > 0.0 ? std::max(static_cast<float>(std::log(p[b])), kLeastLog) : kLeastLog;
    }
    internal::code_logs(logs.data(), codes.data());
    short_made[static_cast<std::size_t>(context)] = true;
    return codes;
  }

  std::size_t match_class() const {
    if (predicted < 0) return 0;
    return match_length < 16 ? 1 : match_length < 32 ? 2 : 3;
  }

  void prepare() {
    if (prepared) return;
    const std::uint64_t used = std::min<std::uint64_t>(position, static_cast<std::uint64_t>(model.k()));
    const ModelDistribution here = remembered_distribution(model_key, static_cast<int>(used));
    model_codes = here.codes;
    model_totals = here.totals;
    // Room for a context of every order, made before they are found, so that adding
    // to them once the byte is read moves none of them.
    followers.reserve(kListedOrders);
    std::size_t longest = 0;  // 1 + the index of the longest order with statistics
    for (std::size_t o = 0; o < kDenseOrders; ++o) {
      rows[o] = DenseFollowers::kNone;
      if (since_restart < static_cast<std::uint64_t>(kOrders[o])) continue;
      rows[o] = dense[o].find(low);
      if (rows[o] != DenseFollowers::kNone) longest = o + 1;
    }
    for (std::size_t o = kDenseOrders; o < kDocumentSources; ++o) {
      contexts[o] = nullptr;
      if (since_restart < static_cast<std::uint64_t>(kOrders[o])) continue;
      keys[o] = order_key(kOrders[o], low, high);
      contexts[o] = followers.find(keys[o]);
      if (contexts[o] != nullptr) longest = o + 1;
    }
    predicted = -1;
    if (match_length > 0) {
      predicted = history[match_position];
      const std::uint32_t at = std::min(match_length, kMatchLengths - 1);
      const double hit = (match_hits[at] + 0.5) / (match_tries[at] + 1.0);
      match_boost = static_cast<float>(internal::fast_log(hit / (1.0 - hit) * 255.0));
    }
    std::size_t confidence = 0;
    if (longest > kDenseOrders) {
      const DocumentFollowers::Context& c = *contexts[longest - 1];
      confidence = (c.distinct == 1 ? 0 : 3) + (c.followed < 2 ? 0 : c.followed < 4 ? 1 : 2);
    } else if (longest > 0) {
      const DenseFollowers::Row& r = dense[longest - 1].row(rows[longest - 1]);
      confidence = (r.distinct == 1 ? 0 : 3) + (r.followed < 2 ? 0 : r.followed < 4 ? 1 : 2);
    }
    set = (longest * kConfidenceClasses + confidence) * kMatchClasses + match_class();
    suffix_set = static_cast<std::size_t>(here.kept) * kMatchClasses + match_class();
    byte_set = static_cast<std::size_t>(low & 0xFF);
    for (std::size_t i = 0; i < kSources; ++i) {
      w[i] = weights[set][i] + suffix_weights[suffix_set][i] + byte_weights[byte_set][i];
    }
    pool();
    prepared = true;
  }

  // The pool: an untouched byte's score is the model's log-probability, a touched one's
  // that plus each source's value at it times the source's weight here. So the sums
  // over the untouched bytes are the model's over all 256, remembered with its
  // distribution, less those over the touched bytes, and only these are passed over.
  void pool() {
    // (Kept in locals: a store through a byte pointer could change any member.)
    std::uint8_t* const list = touched.data();
    std::uint16_t* const others = other_index.data();
    float* const extra = extras.data();
    float* const shortest_at = order_scores[0].data();
    for (int i = shortest_count; i < touched_count; ++i) others[list[i]] = 0;
    // The shortest order's bytes first, in its row's order (so that the row finds them),
    // with their scores; then any other touched byte.
    const DenseFollowers::Row* const first =
        rows[0] == DenseFollowers::kNone ? nullptr : &dense[0].row(rows[0]);
    const int shortest = first == nullptr ? 0 : static_cast<int>(first->distinct);
    if (first != nullptr) {
      std::memcpy(list, first->bytes, static_cast<std::size_t>(shortest));
      std::memcpy(shortest_at, first->scores, sizeof(float) * static_cast<std::size_t>(shortest));
    }
    std::fill(extra, extra + shortest, 0.0f);
    for (std::size_t o = 1; o < kDocumentSources; ++o) {
      std::fill(order_scores[o].begin(), order_scores[o].begin() + shortest, 0.0f);
    }
    int count = shortest;
    // Marks `byte` touched; its index in the list.
    const auto touch = [&](std::uint8_t byte) {
      if (first != nullptr) {
        const int in_row = first->find(byte);
        if (in_row >= 0) return in_row;
      }
      const int at = others[byte];
      if (at != 0) return at - 1;
      list[count] = byte;
      extra[count] = 0.0f;
      for (std::array<float, 256>& scores : order_scores) {
        scores[static_cast<std::size_t>(count)] = 0.0f;
      }
      others[byte] = static_cast<std::uint16_t>(++count);
      return count - 1;
    };
    // Every other order's scores, at the bytes it has seen.
    for (std::size_t o = 1; o < kDocumentSources; ++o) {
      float* const scores = order_scores[o].data();
      if (o < kDenseOrders) {
        if (rows[o] == DenseFollowers::kNone) continue;
        const DenseFollowers::Row& row = dense[o].row(rows[o]);
        for (std::uint32_t i = 0; i < row.distinct; ++i) {
          scores[touch(row.bytes[i])] = row.scores[i];
        }
      } else if (contexts[o] != nullptr) {
        followers.for_each(*contexts[o], [&](const DocumentFollowers::Follower& f) {
          scores[touch(f.byte)] = boost_of(f.count);
        });
      }
    }
    if (predicted >= 0) {
      predicted_index = touch(static_cast<std::uint8_t>(predicted));
      extra[predicted_index] += w[kMatchSource] * match_boost;
    }
    shortest_count = shortest;
    touched_count = count;

    float weights[internal::kGatheredSources] = {1.0f + w[kModelSource]};
    internal::Touched pooling{count, list, model_codes, {}, extra};
    for (std::size_t o = 0; o < kDocumentSources; ++o) {
      weights[1 + o] = w[kFirstDocumentSource + o];
      pooling.document[o] = order_scores[o].data();
    }
    pooled = internal::pool_touched(pooling, weights, w[kTouchedSource], exps.data());
    // The untouched bytes' sums: p and p ln p of the model over them, scaled by
    // e^(-largest). (Differences of sums in double, since the touched bytes may hold
    // nearly all of the model's mass.)
    const double untouched = std::max(model_totals.total - pooled.model_total, 0.0);
    const double untouched_weighted = std::min(model_totals.weighted - pooled.model_weighted, 0.0);
    untouched_scale = internal::model_exp(std::max(-pooled.largest, -87.0f));
    total = pooled.total + untouched * untouched_scale;
    // q = e^x / T over x less the largest: -sum q ln q = ln T - sum e^x x / T.
    const double weighted =
        pooled.weighted + untouched_scale * (untouched_weighted - pooled.largest * untouched);
    entropy = static_cast<float>(std::max(internal::fast_log(total) - weighted / total, 0.0));
  }

  // The index of `byte` in `touched`, or -1 (once pooled, and until the byte is read).
  int touched_at(std::uint8_t byte) const {
    if (shortest_count > 0) {
      const int in_row = dense[0].row(rows[0]).find(byte);
      if (in_row >= 0) return in_row;
    }
    return other_index[byte] - 1;
  }

  double probability(std::uint8_t b) {
    prepare();
    const int at = touched_at(b);
    if (at >= 0) return exps[static_cast<std::size_t>(at)] / total;
    return internal::model_exp(internal::log_of_code(model_codes[b])) * untouched_scale / total;
  }

  // Moves the weights along the gradient of ln q(byte): for each source, its value at
  // the byte less its expectation under q.
  void learn(std::uint8_t byte) {
    std::array<float, kSources> g{};
    const double inverse = 1.0 / total;
    const int at = touched_at(byte);  // -1: not touched
    g[kModelSource] = static_cast<float>(
        (at >= 0 ? internal::log_of_code(model_codes[byte]) : 0.0f) - pooled.sources[0] * inverse);
    g[kTouchedSource] = static_cast<float>((at >= 0 ? 1.0f : 0.0f) - pooled.total * inverse);
    for (std::size_t o = 0; o < kDocumentSources; ++o) {
      g[kFirstDocumentSource + o] = static_cast<float>(
          (at >= 0 ? order_scores[o][static_cast<std::size_t>(at)] : 0.0f) -
          pooled.sources[1 + o] * inverse);
    }
    if (predicted >= 0) {
      const double q = exps[static_cast<std::size_t>(predicted_index)] * inverse;
      g[kMatchSource] = static_cast<float>(
          (predicted == byte ? match_boost : 0.0f) - q * match_boost);
    }
    for (std::size_t i = 0; i < kSources; ++i) {
      weights[set][i] += kLearningRate * g[i];
      suffix_weights[suffix_set][i] += kSuffixRate * g[i];
      byte_weights[byte_set][i] += kByteRate * g[i];
    }
  }

  void read(std::uint8_t byte) {
    prepare();
    learn(byte);
    bool forgot = false;
    if (since_restart + 1 > history_budget()) {
      followers.restart();
      forget_but_followers();
      forgot = true;
    }
    for (std::size_t o = 0; o < kDenseOrders && !forgot; ++o) {
      if (since_restart < static_cast<std::uint64_t>(kOrders[o]) || !dense[o].holds_rows()) continue;
      const std::uint32_t made = dense[o].find_or_make(low);
      if (made == DenseFollowers::kNone) {  // its budget is full: all of it starts afresh
        followers.restart();
        forget_but_followers();
        forgot = true;
        break;
      }
      DenseFollowers::Row& row = dense[o].row(made);
      const std::uint32_t at = row.index_of(byte);
      std::uint16_t& count = row.counts[at];
      if (count < DenseFollowers::kMostCount) ++count;
      row.scores[at] = boost_of(count);
      ++row.followed;
    }
    const std::uint64_t before = followers.restarts();
    for (std::size_t o = kDenseOrders; o < kDocumentSources && !forgot; ++o) {
      if (since_restart < static_cast<std::uint64_t>(kOrders[o])) continue;
      bool added;
      DocumentFollowers::Context& context = followers.add(keys[o], contexts[o], byte, added);
      ++context.last.count;
      ++context.followed;
      if (followers.restarts() != before) {  // the followers started afresh: all of it does
        forget_but_followers();
        forgot = true;
      }
    }
    // The match: extended if it predicted this byte, else sought anew below.
    if (match_length > 0) {
      const std::uint32_t at = std::min(match_length, kMatchLengths - 1);
      ++match_tries[at];
      if (history[match_position] == byte) {
        ++match_hits[at];
        ++match_length;
        ++match_position;
      } else {
        match_length = 0;
      }
    }
    history.push_back(byte);
    model_key = (model_key << 8 | byte) & internal::window_mask(static_cast<std::size_t>(model.k()));
    high = high << 8 | low >> 56;
    low = low << 8 | byte;
    ++since_restart;
    ++position;
    if (since_restart >= static_cast<std::uint64_t>(kMatchMinimum)) {
      if (since_restart > 2 * match_slots && match_slots < kMostMatchSlots) grow_match_table();
      const std::uint64_t here = history.size();
      std::uint32_t& slot = match_table[match_slot(here)];
      if (match_length == 0 && slot != 0) {
        const std::uint64_t candidate = slot;
        std::uint32_t length = 0;
        while (length < kMatchVerify && length < candidate &&
               history[candidate - 1 - length] == history[here - 1 - length]) {
          ++length;
        }
        if (length >= static_cast<std::uint32_t>(kMatchMinimum)) {
          match_length = length;
          match_position = candidate;
        }
      }
      slot = static_cast<std::uint32_t>(here);
    }
    prepared = false;
    if (++bytes_read >= kBytesPerRemembered * remembered.size() &&
        remembered.size() < most_remembered) {
      grow_remembered();
    }
  }

  // Four times the slots, empty (what a slot holds is a function of the model and the
  // context alone, so neither the slots' number nor their contents change a value).
  // Left as they are if the room cannot be had.
  void grow_remembered() {
    try {
      std::vector<Remembered> more(std::min(4 * remembered.size(), most_remembered));
      remembered.swap(more);
    } catch (const std::bad_alloc&) {
      most_remembered = remembered.size();
    }
  }

  std::size_t match_slot(std::uint64_t end) const {
    std::uint64_t key = 0;
    for (std::uint64_t i = end - kMatchMinimum; i < end; ++i) key = key << 8 | history[i];
    return static_cast<std::size_t>(internal::fmix64(key) & (match_slots - 1));
  }

  // Twice the slots, each position since the last restart put in again in order: the
  // table a table of that size would be.
  void grow_match_table() {
    match_slots *= 2;
    match_table.assign(match_slots, 0u);
    for (std::uint64_t end = kMatchMinimum; end < history.size(); ++end) {
      match_table[match_slot(end)] = static_cast<std::uint32_t>(end);
    }
  }

  // What the document taught but the followers' lists is forgotten, as when the budget
  // is full (the lists start afresh on their own, or were made to); the weights stay.
  void forget_but_followers() {
    forget_history();
    ++restarts;
  }

  // The bytes read, and what is counted from them outside the followers' lists: the
  // rows of the shortest orders and the match table.
  void forget_history() {
    for (DenseFollowers& rows_of_order : dense) rows_of_order.clear();
    history.clear();
    low = high = 0;
    since_restart = 0;
    match_length = 0;
    match_slots = kLeastMatchSlots;
    match_table.assign(match_slots, 0u);
  }

  void forget_document(std::size_t expected) {
    // Room for half a context a byte for each listed order: the longer orders'
    // contexts are mostly new, and growing the table twice a document cost more than
    // making it large at once.
    followers.clear(static_cast<std::uint64_t>(expected) * kListedOrders / 2);
    forget_history();
    match_hits.fill(0);
    match_tries.fill(0);
    prepared = false;
  }
};

MixingModel::MixingModel(ContextModel model, std::uint64_t memory) {
  check_reading(model, {ReadingMode::kMix, memory});
  state_ = std::make_unique<State>(std::move(model), memory);
  start();
}

MixingModel::~MixingModel() = default;
MixingModel::MixingModel(MixingModel&&) noexcept = default;
MixingModel& MixingModel::operator=(MixingModel&&) noexcept = default;

const ContextModel& MixingModel::model() const { return state_->model; }

void MixingModel::start(std::size_t expected_size) {
  State& s = *state_;
  s.forget_document(expected_size);
  s.history.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(expected_size,
                                                                      s.history_budget())));
  s.position = 0;
  s.model_key = 0;
  s.restarts = 0;
  s.reset_weights();
}

std::uint64_t MixingModel::position() const { return state_->position; }

float MixingModel::entropy() {
  state_->prepare();
  return state_->entropy;
}

double MixingModel::probability(std::uint8_t byte) { return state_->probability(byte); }

void MixingModel::distribution(double* out) {
  State& s = *state_;
  s.prepare();
  for (int b = 0; b < 256; ++b) out[b] = s.probability(static_cast<std::uint8_t>(b));
}

void MixingModel::push(std::uint8_t byte) { state_->read(byte); }

void MixingModel::reserve(std::uint64_t bytes) {
  State& s = *state_;
  const std::uint64_t reach = std::min<std::uint64_t>(s.history.size() + bytes,
                                                      s.history_budget());
  std::size_t slots = s.match_slots;
  while (reach > 2 * slots && slots < kMostMatchSlots) slots *= 2;
  s.followers.reserve((bytes + 1) * kListedOrders);
  for (DenseFollowers& rows : s.dense) rows.reserve(bytes + 1);
  s.history.reserve(static_cast<std::size_t>(reach));
  s.match_table.reserve(slots);
  // Making room may have moved the contexts the prepared position holds.
  if (s.prepared) {
    for (std::size_t o = kDenseOrders; o < kDocumentSources; ++o) {
      if (s.contexts[o] != nullptr) s.contexts[o] = s.followers.find(s.keys[o]);
    }
  }
}

void MixingModel::prefetch(const std::uint8_t* data, std::size_t i, std::size_t n) {
  // The contexts of every order a few positions on, whose lookups would otherwise wait
  // on memory: the document's table outgrows the caches; and, further on, the model's
  // contexts of every length from 2 up (those of 0 and 1 are tabled), which a model
  // larger than the caches would make wait one after another.
  constexpr std::size_t kAhead = 4, kModelAhead = 8, kListsAhead = 4, kSlotAhead = 12;
  static_assert(kListsAhead < State::kLookedUp, "an entry is read before it is taken again");
  State& s = *state_;
  // The model's slots of the context kListsAhead positions on (their homes fetched
  // when it was kModelAhead on), and the lists they lead to.
  const std::size_t lists_at = i + kListsAhead;
  if (lists_at <= n) {
    const std::size_t used = std::min(lists_at, static_cast<std::size_t>(s.model.k()));
    // Below two bytes the distributions are tabled: nothing to look up.
    const std::uint64_t key =
        used >= 2 ? internal::window_key_fast(data + lists_at - used, data + n, used) : 0;
    const State::Remembered* const slot =
        s.remembered.empty() ? nullptr : &s.remembered_slot(key, static_cast<int>(used));
    const bool remembered = slot != nullptr && slot->holds(key, static_cast<int>(used));
    const char* const slot_bytes = reinterpret_cast<const char*>(slot);
    if (remembered) {  // its codes, which the pool will read
      for (std::size_t line = 64; line < sizeof(State::Remembered); line += 64) {
        internal::prefetch(slot_bytes + line);
      }
    }
    if (used >= 2 && !remembered) {
      // Its distribution will be made: the slot it is made in, and the one it is made
      // over.
      if (slot != nullptr) {
        for (std::size_t line = 0; line < sizeof(State::Remembered); line += 64) {
          internal::prefetch_for_write(slot_bytes + line);
        }
        if (used > 2) {
          const char* over = reinterpret_cast<const char*>(&s.remembered_slot(key & 0xFFFF, 2));
          for (std::size_t line = 0; line < sizeof(State::Remembered); line += 64) {
            internal::prefetch(over + line);
          }
        }
      }
      State::LookedUp& entry = s.looked_up[(s.position + kListsAhead) % State::kLookedUp];
      entry.position = s.position + kListsAhead;
      entry.key = key;
      entry.length = static_cast<int>(used);
      // (Over two bytes, the distribution after the last two is remembered, or made on
      // its own.)
      for (std::size_t j = used; j >= (used > 2 ? 3 : 2); --j) {
        const int length = static_cast<int>(j);
        entry.slots[j] = s.model.kept_slot(length, entry.key & internal::window_mask(j));
        if (entry.slots[j] != nullptr) s.model.prefetch_listed(length, entry.slots[j]);
      }
    }
  }
  // Where the distribution of the context kSlotAhead positions on would be
  // remembered; kModelAhead positions on, if it is not there, the homes of its
  // contexts in the model.
  const std::size_t slot_at = i + kSlotAhead;
  if (slot_at <= n && !s.remembered.empty()) {
    const std::size_t used = std::min(slot_at, static_cast<std::size_t>(s.model.k()));
    if (used >= 2) {
      const std::uint64_t key = internal::window_key_fast(data + slot_at - used, data + n, used);
      internal::prefetch(&s.remembered_slot(key, static_cast<int>(used)));
    }
  }
  const std::size_t model_at = i + kModelAhead;
  if (model_at <= n) {
    const std::size_t used = std::min(model_at, static_cast<std::size_t>(s.model.k()));
    if (used >= 2) {
      const std::uint64_t key = internal::window_key_fast(data + model_at - used, data + n, used);
      const int length = static_cast<int>(used);
      if (s.remembered.empty() || !s.remembered_slot(key, length).holds(key, length)) {
        for (std::size_t j = used; j >= (used > 2 ? 3 : 2); --j) {
          s.model.prefetch_kept(static_cast<int>(j), key & internal::window_mask(j));
        }
      }
    }
  }
  const std::size_t at = i + kAhead;
  if (at > n) return;
  std::uint64_t low = 0, high = 0;
  if (at >= 16) {
    low = internal::window_key_fast(data + at - 8, data + n, 8);
    high = internal::window_key_fast(data + at - 16, data + n, 8);
  } else {
    for (std::size_t j = 0; j < at; ++j) {
      high = high << 8 | low >> 56;
      low = low << 8 | data[j];
    }
  }
  for (std::size_t o = 1; o < kDenseOrders; ++o) {
    if (at >= static_cast<std::size_t>(kOrders[o])) s.dense[o].prefetch(low);
  }
  for (std::size_t o = kDenseOrders; o < kDocumentSources; ++o) {
    const int order = kOrders[o];
    if (at >= static_cast<std::size_t>(order)) s.followers.prefetch(order_key(order, low, high));
  }
}

std::uint64_t MixingModel::restarts() const { return state_->restarts; }

}  // namespace qelt
