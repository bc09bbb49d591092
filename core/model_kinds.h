// The kinds of context model: how next-byte distributions are estimated from counts.
#ifndef QELT_CORE_MODEL_KINDS_H_
#define QELT_CORE_MODEL_KINDS_H_

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "model_contents.h"

namespace qelt {

struct GatheredOrder;
struct MadeOrder;

// A kind of model, as the one table of kinds (estimation/model_kinds.cc) defines it.
// Everything that differs between kinds is here: building, loading, scoring and the
// adaptive mode read these fields and never name a kind.
struct ModelKind {
  // What an estimator needs to know of each length over the whole corpus: numbers that
  // add up over the parts of a build (for Kneser-Ney, how many bytes have a count of 1,
  // 2, 3 and 4).
  using Statistics = std::array<std::uint64_t, 4>;
  // Adds what the contexts `gathered` (of one length) tell to `into`.
  using Count = void (*)(const GatheredOrder& gathered, Statistics& into);
  // The model order of the contexts `gathered` (of one length, sorted by key; with
  // `every_context`, every context seen, with continuation counts below k), from the
  // statistics of their length over the whole corpus and, where they are longer than
  // 0, what was made of the contexts one byte shorter (`shorter`, which holds every
  // suffix of theirs, and `shorter_made`); what it made of them into `made`, unless
  // null.
  using Estimate = ModelOrder (*)(const GatheredOrder& gathered, const Statistics& statistics,
                                  const GatheredOrder* shorter, const MadeOrder* shorter_made,
                                  MadeOrder* made);

  std::string_view name;     // as the API and the command take it
  std::uint32_t number;      // as the model file stores it (docs/formats.md)
  std::string_view summary;  // one sentence for docstrings and help texts
  // The probability of every byte below all kept contexts: the uniform 1/256, or 0.
  // A model that keeps no context gives these probabilities, and their entropy.
  double floor_probability;
  // Whether the estimator reads every context seen, those that min_count will leave
  // out included, each byte with its continuation count (docs/formats.md).
  bool every_context;
  // What models of this kind support beyond patching (reading.h).
  bool probabilities;
  bool adaptive;
  bool mixes;
  // Whether the estimate of a length needs what was made of the length below.
  bool interpolates;
  Count count;
  Estimate estimate;
};

// Every kind, in ascending order of number.
const std::vector<ModelKind>& model_kinds();

// The kind named `name`, or null.
const ModelKind* find_model_kind(std::string_view name);

// The kind a model file numbers `number`, or null.
const ModelKind* model_kind_numbered(std::uint32_t number);

// The kind of models whose distributions are the counts as they are ("none"): the
// kind of version 1 files, and the default.
const ModelKind& unsmoothed_kind();

}  // namespace qelt

#endif  // QELT_CORE_MODEL_KINDS_H_
