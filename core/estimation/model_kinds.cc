// The one table of model kinds. A kind is its row here and its estimator, in a file of
// its own under estimators/; nothing else in the core names a kind.

#include "model_kinds.h"

#include "estimation/estimator.h"

namespace qelt {

const std::vector<ModelKind>& model_kinds() {
  static const std::vector<ModelKind> kinds = {
      {"none", 0,
       "the counts as they are: a byte never seen after a context has probability 0, and "
       "the entropy is that of the counts, as qelt.patch_sequence computes it",
       0.0, false, true, true, true, false, &count_unsmoothed, &estimate_unsmoothed},
      {"kneser-ney", 1,
       "interpolated modified Kneser-Ney estimates over every context length down to the "
       "uniform distribution, so that every byte has a probability above 0",
       1.0 / 256.0, true, true, true, true, true, &count_kneser_ney, &estimate_kneser_ney},
  };
  return kinds;
}

const ModelKind* find_model_kind(std::string_view name) {
  for (const ModelKind& kind : model_kinds()) {
    if (kind.name == name) return &kind;
  }
  return nullptr;
}

const ModelKind* model_kind_numbered(std::uint32_t number) {
  for (const ModelKind& kind : model_kinds()) {
    if (kind.number == number) return &kind;
  }
  return nullptr;
}

const ModelKind& unsmoothed_kind() { return *find_model_kind("none"); }

}  // namespace qelt
