// The file of a build in shares is its header and directories, the sections of the
// lengths that no share holds whole blocks of (the shortest, and those with fewer
// blocks than shares), made here from the plan and the shares' pieces, and the runs of
// the shares, which lie between them in the file's order of sections. Only the sizes
// of the shares' sections are needed to place everything; the checksum of the whole
// combines those of the parts, so no one needs every byte of the file.

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>
#include <tuple>

#include "estimation/build_parts.h"
#include "format/model_format.h"
#include "format/model_layout.h"
#include "model_build.h"
#include "util/crc32c.h"
#include "util/little_endian.h"

namespace qelt {

struct ModelAssembly::State {
  std::unique_ptr<internal::ImageLayout> layout;
  std::vector<std::uint64_t> run_offsets, run_bytes;
  // The sections made here, at their positions in the order.
  std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> written;
};

ModelAssembly::ModelAssembly(const BuildPlan& plan, int bits)
    : plan_(&plan), bits_(bits), added_(std::size_t{1} << bits, false) {
  if (bits < 0 || bits > kMostShareBits) throw std::invalid_argument("no such shares");
  if (plan.needs_cut_key()) throw std::logic_error("the plan's cut key is not settled");
}

ModelAssembly::~ModelAssembly() = default;

void ModelAssembly::add(const BuiltShare& share) {
  if (share.bits != bits_ || share.index < 0 || share.index >= (1 << bits_)) {
    throw std::invalid_argument("a share of another build");
  }
  if (added_[share.index]) throw std::invalid_argument("a share given twice");
  BuiltShare sections;
  sections.index = share.index;
  sections.bits = share.bits;
  sections.run_crc = share.run_crc;
  sections.sections = share.sections;
  sections.pieces = share.pieces;
  shares_.push_back(std::move(sections));
  added_[share.index] = true;
  state_.reset();
}

namespace {

// The pieces of one length from every share, as one order sorted by key.
ModelOrder merged_pieces(const std::vector<BuiltShare>& shares, int length) {
  std::vector<std::tuple<std::uint64_t, std::size_t, std::size_t>> contexts;
  for (std::size_t s = 0; s < shares.size(); ++s) {
    if (shares[s].pieces.size() <= static_cast<std::size_t>(length)) continue;
    const ModelOrder& piece = shares[s].pieces[length];
    for (std::size_t c = 0; c < piece.contexts.size(); ++c) {
      contexts.emplace_back(piece.contexts[c].key, s, c);
    }
  }
  std::sort(contexts.begin(), contexts.end());
  ModelOrder merged;
  for (const auto& [key, s, c] : contexts) {
    internal::append_context(merged, shares[s].pieces[length], c);
  }
  if (!merged.weights.empty() && merged.weights.size() != merged.contexts.size()) {
    throw std::invalid_argument("pieces of a length with weights and without");
  }
  return merged;
}

}  // namespace

void ModelAssembly::lay_out() const {
  if (state_ != nullptr) return;
  if (std::find(added_.begin(), added_.end(), false) != added_.end()) {
    throw std::logic_error("not every share of the model is built");
  }
  const BuildPlan& plan = *plan_;
  const int k = plan.k(), bucket = share_key_bytes(k);
  auto state = std::make_unique<State>();
  state->layout = std::make_unique<internal::ImageLayout>(plan.settings().model_kind(),
                                                          plan.settings().min_count, k,
                                                          plan.kept_contexts(), plan.kept_pairs());
  internal::ImageLayout& layout = *state->layout;
  const auto& log2 = layout.blocks_log2();
  const std::vector<internal::SectionId>& order = layout.order();
  std::vector<std::vector<std::size_t>> position_of(static_cast<std::size_t>(k) + 1);
  for (int j = 0; j <= k; ++j) position_of[j].resize(std::size_t{1} << log2[j]);
  for (std::size_t i = 0; i < order.size(); ++i) {
    position_of[order[i].length][order[i].block] = i;
    layout.set_section(i, 0, 0, 0, 0);
  }
  auto write = [&](int length, const ModelOrder& part, std::uint32_t block) {
    internal::SectionBytes section = internal::write_section(length, part);
    const std::size_t position = position_of[length][block];
    layout.set_section(position, section.slots, section.lists_bytes, section.contexts,
                       section.pairs);
    if (section.slots != 0) state->written.emplace_back(position, std::move(section.bytes));
  };
  const std::vector<ModelOrder> low = ShareBuilder::kept_low_orders(plan);
  for (int j = 0; j < bucket; ++j) write(j, low[j], 0);
  for (int j = bucket; j <= k; ++j) {
    if (log2[j] >= bits_) continue;
    const std::vector<ModelOrder> blocks = internal::orders_by_block(
        merged_pieces(shares_, j), bucket, log2[j], 0, std::uint32_t{1} << log2[j]);
    for (std::uint32_t b = 0; b < blocks.size(); ++b) write(j, blocks[b], b);
  }
  // The shares' runs: each a range of positions of its own.
  const std::size_t shares = std::size_t{1} << bits_;
  std::vector<std::size_t> first(shares, order.size()), last(shares, 0), held(shares, 0);
  for (const BuiltShare& share : shares_) {
    for (const auto& [length, block, slots, lists, contexts, pairs] : share.sections) {
      if (length > static_cast<std::uint64_t>(k) || block >= position_of[length].size() ||
          log2[length] < bits_ || (block >> (log2[length] - bits_)) != static_cast<std::uint64_t>(share.index)) {
        throw std::invalid_argument("a share's section is not of its blocks");
      }
      const std::size_t position = position_of[length][block];
      layout.set_section(position, slots, lists, contexts, pairs);
      first[share.index] = std::min(first[share.index], position);
      last[share.index] = std::max(last[share.index], position);
      ++held[share.index];
    }
  }
  state->run_offsets.assign(shares, 0);
  state->run_bytes.assign(shares, 0);
  for (std::size_t s = 0; s < shares; ++s) {
    if (held[s] == 0) continue;
    if (last[s] - first[s] + 1 != held[s]) {
      throw std::logic_error("a share's sections are not next to one another");
    }
    state->run_offsets[s] = layout.section_start(first[s]);
    state->run_bytes[s] = layout.section_end(last[s]) - state->run_offsets[s];
  }
  state_ = std::move(state);
}

std::uint64_t ModelAssembly::run_offset(int index) const {
  lay_out();
  return state_->run_offsets.at(static_cast<std::size_t>(index));
}

std::uint64_t ModelAssembly::run_bytes(int index) const {
  lay_out();
  return state_->run_bytes.at(static_cast<std::size_t>(index));
}

std::uint64_t ModelAssembly::size() const {
  lay_out();
  return state_->layout->size();
}

std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> ModelAssembly::rest(
    const std::vector<std::uint32_t>& run_crcs) const {
  lay_out();
  const internal::ImageLayout& layout = *state_->layout;
  if (run_crcs.size() != state_->run_offsets.size()) {
    throw std::invalid_argument("a CRC for every share's run");
  }
  std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> rest;
  rest.emplace_back(0, layout.header());
  for (const auto& [position, bytes] : state_->written) {
    std::vector<std::uint8_t> padded = bytes;
    padded.resize(layout.section_end(position) - layout.section_start(position), 0);
    rest.emplace_back(layout.section_start(position), std::move(padded));
  }
  // The checksum of everything before the trailer, part by part in the file's order.
  struct Part {
    std::uint64_t offset, bytes;
    std::uint32_t crc;
  };
  std::vector<Part> parts;
  for (const auto& [offset, bytes] : rest) {
    parts.push_back({offset, bytes.size(), crc32c(bytes.data(), bytes.size())});
  }
  for (std::size_t s = 0; s < run_crcs.size(); ++s) {
    if (state_->run_bytes[s] != 0) {
      parts.push_back({state_->run_offsets[s], state_->run_bytes[s], run_crcs[s]});
    }
  }
  std::sort(parts.begin(), parts.end(),
            [](const Part& a, const Part& b) { return a.offset < b.offset; });
  std::uint32_t crc = 0;
  std::uint64_t at = 0;
  for (const Part& part : parts) {
    if (part.offset != at) throw std::logic_error("the parts of a model file do not tile it");
    crc = crc32c_combine(crc, part.crc, part.bytes);
    at += part.bytes;
  }
  if (at + internal::kTrailer != layout.size()) {
    throw std::logic_error("the parts of a model file do not tile it");
  }
  std::vector<std::uint8_t> trailer(internal::kTrailer, 0);
  internal::store_le<std::uint32_t>(trailer.data(), crc);
  rest.emplace_back(at, std::move(trailer));
  return rest;
}

}  // namespace qelt
