// What the steps of a build in shares share (internal; model_build.h): a share's
// contexts gathered, and the orders that travel between steps as bytes.
#ifndef QELT_CORE_ESTIMATION_BUILD_PARTS_H_
#define QELT_CORE_ESTIMATION_BUILD_PARTS_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "estimation/derivation.h"
#include "estimation/estimator.h"
#include "model_build.h"
#include "model_contents.h"
#include "util/serial.h"

namespace qelt {

// The steps' access to the counts and the plan.
struct ShareBuilder {
  // The contexts of a share, of lengths `lowest` .. k, as the estimator takes them; and
  // the windows of the contexts one byte shorter than share_key_bytes(k), if there are
  // any, when `lowest` is share_key_bytes(k).
  struct Gathered {
    int k = 0;
    int bucket = 0;
    std::uint64_t positions = 0;
    std::vector<GatheredOrder> orders;  // by length; those below `lowest` empty
    std::unique_ptr<internal::SuffixCounts> low;
  };

  // Share `index` of 2^bits of `counts` gathered. Without `entropies`, every entropy is
  // left 0 (for the steps that read counts alone).
  static Gathered gather(const ContextCounts& counts, int index, int bits,
                         const BuildSettings& settings, int lowest, bool entropies);
  static ShareSurvey survey(Gathered& gathered, const BuildSettings& settings);
  static CutCandidates candidates(const Gathered& gathered, const BuildPlan& plan);
  static BuiltShare build(Gathered gathered, int index, int bits, const BuildPlan& plan);

  // The plan's low orders, kept as the plan says.
  static std::vector<ModelOrder> kept_low_orders(const BuildPlan& plan);
  // `order` (of `length`, whose contexts were seen totals[c] times) with the contexts
  // the plan keeps alone.
  static ModelOrder kept(const BuildPlan& plan, int length, ModelOrder order,
                         const std::vector<std::uint64_t>& totals);
};

namespace internal {

void put_model_order(SerialWriter& out, const ModelOrder& order);
ModelOrder get_model_order(SerialReader& in);
void put_gathered_order(SerialWriter& out, const GatheredOrder& order);
GatheredOrder get_gathered_order(SerialReader& in);
void put_made_order(SerialWriter& out, const MadeOrder& order);
MadeOrder get_made_order(SerialReader& in);

// The contexts of `order` whose index `keep` marks, with their lists: a new order.
ModelOrder order_with(const ModelOrder& order, const std::vector<bool>& keep);

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_ESTIMATION_BUILD_PARTS_H_
