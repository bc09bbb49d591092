// A share is built as its contexts are estimated, from its shortest length up (the
// shortest interpolating with the plan's longest short contexts), kept as the plan
// says, and laid out as the file holds them: the blocks of each length that fall in
// the share, in the file's order of sections, one after another. A length with fewer
// blocks than shares has blocks that span shares: its contexts go to the assembly as
// they are.

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "estimation/build_parts.h"
#include "format/model_format.h"
#include "format/model_layout.h"
#include "model_build.h"
#include "util/big_buffer.h"
#include "util/crc32c.h"

namespace qelt {

ModelOrder ShareBuilder::kept(const BuildPlan& plan, int length, ModelOrder order,
                              const std::vector<std::uint64_t>& totals) {
  if (order.contexts.size() != totals.size()) {
    throw std::logic_error("an estimator made other contexts than it was given");
  }
  std::vector<bool> keep(totals.size());
  bool all = true;
  for (std::size_t c = 0; c < totals.size(); ++c) {
    keep[c] = plan.keeps(length, totals[c], order.contexts[c].key);
    all = all && keep[c];
  }
  return all ? order : internal::order_with(order, keep);
}

std::vector<ModelOrder> ShareBuilder::kept_low_orders(const BuildPlan& plan) {
  std::vector<ModelOrder> orders;
  for (std::size_t j = 0; j < plan.low_orders_.size(); ++j) {
    orders.push_back(kept(plan, static_cast<int>(j), plan.low_orders_[j], plan.low_totals_[j]));
  }
  return orders;
}

BuiltShare ShareBuilder::build(Gathered g, int index, int bits, const BuildPlan& plan) {
  if (plan.needs_cut_key()) throw std::logic_error("the plan's cut key is not settled");
  if (g.k != plan.k()) throw std::invalid_argument("a plan of other counts");
  const ModelKind& kind = plan.settings().model_kind();
  const int k = g.k, bucket = g.bucket;
  BuiltShare share;
  share.index = index;
  share.bits = bits;
  share.pieces.resize(static_cast<std::size_t>(k) + 1);
  std::array<int, kMaxOrder + 1> log2{};
  for (int j = 0; j <= k; ++j) {
    log2[j] = internal::blocks_log2(plan.kept_contexts()[j], j, bucket);
  }
  // Estimated from the shortest length up; each length's gathered contexts are let go
  // once the next has been estimated from them.
  std::vector<ModelOrder> kept_orders(static_cast<std::size_t>(k) + 1);
  MadeOrder shorter_made;
  for (int j = bucket; j <= k; ++j) {
    const bool lowest = j == bucket;
    const GatheredOrder* shorter =
        lowest ? (plan.low_top_.empty() ? nullptr : &plan.low_top_[0]) : &g.orders[j - 1];
    const MadeOrder* made_shorter =
        lowest ? (plan.low_top_made_.empty() ? nullptr : &plan.low_top_made_[0]) : &shorter_made;
    MadeOrder made;
    ModelOrder order = kind.estimate(g.orders[j], plan.statistics_[j], shorter, made_shorter,
                                     kind.interpolates && j < k ? &made : nullptr);
    kept_orders[j] = kept(plan, j, std::move(order), g.orders[j].totals);
    if (!lowest) g.orders[j - 1] = GatheredOrder{};
    shorter_made = std::move(made);
  }
  g.orders.clear();
  shorter_made = MadeOrder{};

  // The sections of the share's blocks, in the file's order.
  const std::uint32_t share_index = static_cast<std::uint32_t>(index);
  std::vector<std::vector<ModelOrder>> blocks(static_cast<std::size_t>(k) + 1);
  std::vector<internal::SectionId> sections;
  for (int j = bucket; j <= k; ++j) {
    if (log2[j] < bits) {
      share.pieces[j] = std::move(kept_orders[j]);
      continue;
    }
    const std::uint32_t count = std::uint32_t{1} << (log2[j] - bits);
    const std::uint32_t first = share_index * count;
    blocks[j] = internal::orders_by_block(kept_orders[j], bucket, log2[j], first, count);
    kept_orders[j] = ModelOrder{};
    for (std::uint32_t b = 0; b < count; ++b) sections.push_back({j, first + b});
  }
  std::sort(sections.begin(), sections.end(),
            [&](const internal::SectionId& a, const internal::SectionId& b) {
              return internal::section_rank(a, log2[a.length]) <
                     internal::section_rank(b, log2[b.length]);
            });
  std::uint64_t run_bytes = 0;
  for (const internal::SectionId& id : sections) {
    const ModelOrder& part = blocks[id.length][id.block - (share_index << (log2[id.length] - bits))];
    std::uint64_t lists = 0;
    for (std::size_t c = 0; c < part.contexts.size(); ++c) {
      const std::uint64_t first = c == 0 ? 0 : part.pair_ends[c - 1];
      lists += part.pair_ends.empty() ? 0 : internal::list_bytes(part.pair_ends[c] - first);
    }
    run_bytes += internal::align8(internal::model_slots(part.contexts.size()) *
                                      internal::slot_bytes3(id.length) + lists);
  }
  share.run.reserve(run_bytes);
  for (const internal::SectionId& id : sections) {
    ModelOrder& part = blocks[id.length][id.block - (share_index << (log2[id.length] - bits))];
    const internal::SectionBytes section = internal::write_section(id.length, part);
    part = ModelOrder{};
    share.run.insert(share.run.end(), section.bytes.begin(), section.bytes.end());
    share.run.resize(internal::align8(share.run.size()), 0);
    share.sections.push_back({static_cast<std::uint64_t>(id.length), id.block, section.slots,
                              section.lists_bytes, section.contexts, section.pairs});
  }
  share.run_crc = crc32c(share.run.data(), share.run.size());
  return share;
}

BuiltShare build_share(const ContextCounts& counts, int index, int bits, const BuildPlan& plan) {
  return ShareBuilder::build(ShareBuilder::gather(counts, index, bits, plan.settings(),
                                                  share_key_bytes(counts.k()), true),
                             index, bits, plan);
}

std::string BuiltShare::serialize_sections() const {
  internal::SerialWriter out;
  out.put<std::int32_t>(index);
  out.put<std::int32_t>(bits);
  out.put<std::uint64_t>(run.size());
  out.put<std::uint32_t>(run_crc);
  out.put(sections);
  out.put<std::uint64_t>(pieces.size());
  for (const ModelOrder& piece : pieces) internal::put_model_order(out, piece);
  return out.take();
}

BuiltShare BuiltShare::deserialize_sections(const std::uint8_t* data, std::size_t size) {
  internal::SerialReader in(data, size);
  BuiltShare share;
  share.index = in.get<std::int32_t>();
  share.bits = in.get<std::int32_t>();
  in.get<std::uint64_t>();  // the run's size, which the sections give again
  share.run_crc = in.get<std::uint32_t>();
  share.sections = in.get_vector<std::array<std::uint64_t, 6>>();
  const std::uint64_t pieces = in.get<std::uint64_t>();
  if (pieces > kMaxOrder + 1) throw std::invalid_argument("a share of no model");
  for (std::uint64_t j = 0; j < pieces; ++j) share.pieces.push_back(internal::get_model_order(in));
  in.finish();
  if (share.bits < 0 || share.bits > kMostShareBits || share.index < 0 ||
      share.index >= (1 << share.bits)) {
    throw std::invalid_argument("a share of no build");
  }
  return share;
}

void settle_cut(BuildPlan& plan, const std::vector<CutCandidates>& shares) {
  CutSearch search(plan);
  while (!search.done()) {
    const std::vector<std::uint64_t>& points = search.points();
    std::vector<std::uint64_t> contexts(points.size()), pairs(points.size());
    std::vector<std::uint64_t> some(points.size()), some_pairs(points.size());
    for (const CutCandidates& candidates : shares) {
      candidates.at_most(points.data(), points.size(), some.data(), some_pairs.data());
      for (std::size_t i = 0; i < points.size(); ++i) {
        contexts[i] += some[i];
        pairs[i] += some_pairs[i];
      }
    }
    search.answer(contexts, pairs);
  }
  plan.settle_cut(search);
}

ContextModel ContextCounts::to_model(std::uint64_t min_count, std::uint64_t max_bytes,
                                     const ModelKind& kind) const {
  const BuildSettings settings{&kind, min_count, max_bytes};
  return build_in_shares(*this, settings, share_bits_within(*this, kBuildBudget));
}

ContextModel build_in_shares(const ContextCounts& counts, const BuildSettings& settings,
                             int bits) {
  if (bits < 0 || bits > kMostShareBits) throw std::invalid_argument("no such shares");
  const int k = counts.k(), bucket = share_key_bytes(k);
  const int shares = 1 << bits;
  BuildPlan plan;
  std::vector<std::vector<std::uint8_t>> runs(static_cast<std::size_t>(shares));
  std::vector<std::uint32_t> crcs(static_cast<std::size_t>(shares));
  std::vector<BuiltShare> built;
  if (bits == 0) {
    // One share: its contexts are derived once, for the survey and the build alike.
    ShareBuilder::Gathered g = ShareBuilder::gather(counts, 0, 0, settings, bucket, true);
    plan = plan_build({ShareBuilder::survey(g, settings)}, k, settings);
    if (plan.needs_cut_key()) settle_cut(plan, {ShareBuilder::candidates(g, plan)});
    built.push_back(ShareBuilder::build(std::move(g), 0, 0, plan));
  } else {
    std::vector<ShareSurvey> surveys;
    for (int s = 0; s < shares; ++s) surveys.push_back(survey_share(counts, s, bits, settings));
    plan = plan_build(surveys, k, settings);
    surveys.clear();
    if (plan.needs_cut_key()) {
      std::vector<CutCandidates> candidates;
      for (int s = 0; s < shares; ++s) candidates.push_back(cut_candidates(counts, s, bits, plan));
      settle_cut(plan, candidates);
    }
    for (int s = 0; s < shares; ++s) built.push_back(build_share(counts, s, bits, plan));
  }
  ModelAssembly assembly(plan, bits);
  for (BuiltShare& share : built) {
    crcs[share.index] = share.run_crc;
    runs[share.index] = std::move(share.run);
    assembly.add(share);
  }
  built.clear();
  // The image is written once, run by run, each let go as it is copied: no more than
  // the image and the runs not yet copied are held.
  auto image = std::make_shared<internal::BigVector<std::uint8_t>>();
  image->resize(assembly.size());
  for (const auto& [offset, bytes] : assembly.rest(crcs)) {
    std::memcpy(image->data() + offset, bytes.data(), bytes.size());
  }
  for (int s = 0; s < shares; ++s) {
    if (runs[s].size() != assembly.run_bytes(s)) throw std::logic_error("a run of another size");
    if (!runs[s].empty()) std::memcpy(image->data() + assembly.run_offset(s), runs[s].data(), runs[s].size());
    std::vector<std::uint8_t>().swap(runs[s]);
  }
  const std::uint8_t* data = image->data();
  const std::size_t size = image->size();
  return ContextModel::from_owned_image(std::move(image), data, size);
}

std::uint64_t share_build_bytes(int k, std::uint64_t windows) {
  // Measured on 50 MB of source and text, Kneser-Ney: a window's contexts gathered at
  // every length, estimated and laid out take about 60 bytes at k = 3, 150 at k = 6
  // and 210 at k = 8, the model's image among them.
  return 24 * static_cast<std::uint64_t>(k + 1) * windows;
}

int share_bits_within(const ContextCounts& counts, std::uint64_t budget) {
  if (share_key_bytes(counts.k()) == 0) return 0;  // every window is in one share
  const std::uint64_t bytes = share_build_bytes(counts.k(), counts.windows());
  int bits = 0;
  while (bits < kMostShareBits && (bytes >> bits) > budget) ++bits;
  return bits;
}

}  // namespace qelt
