// libFuzzer target for the core: drives patching (one sequence and batches), the
// frequency table, the patcher, context counts (added, merged, encoded) and models
// (their images and files) and the patch starts of packed bytes with arbitrary bytes,
// context lengths and thresholds, and checks them against the straightforward
// definition and their invariants. Any mismatch aborts.

#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "batch.h"
#include "context_counts.h"
#include "context_model.h"
#include "model_build.h"
#include "model_kinds.h"
#include "model_scoring.h"
#include "frequency_table.h"
#include "util/crc32c.h"
#include "packed.h"
#include "reading.h"
#include "patch_stream.h"
#include "patcher.h"
#include "patching.h"
#include "reference/straightforward_patch_starts.h"
#include "reference/straightforward_patching.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

// Inputs up to this size are also compared with the definition (which is slow).
constexpr std::size_t kReferenceLimit = 512;

std::int32_t pick_k(FuzzedDataProvider& in, std::size_t n) {
  const std::int32_t special[] = {0, 1, 2, 3, 4, 8, 9, 17, static_cast<std::int32_t>(n),
                                  static_cast<std::int32_t>(n) - 1, -1,
                                  std::numeric_limits<std::int32_t>::min(),
                                  std::numeric_limits<std::int32_t>::max()};
  if (in.ConsumeBool()) return in.ConsumeIntegral<std::int32_t>();
  return in.PickValueInArray(special);
}

// Any kind of model the table of kinds holds.
const qelt::ModelKind& pick_kind(FuzzedDataProvider& in) {
  const std::vector<qelt::ModelKind>& kinds = qelt::model_kinds();
  return kinds[in.ConsumeIntegralInRange<std::size_t>(0, kinds.size() - 1)];
}

float pick_threshold(FuzzedDataProvider& in, const std::vector<float>& entropies) {
  const float special[] = {std::numeric_limits<float>::quiet_NaN(),
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(),
                           0.0f, -0.0f,
                           std::numeric_limits<float>::denorm_min(),
                           -std::numeric_limits<float>::denorm_min(),
                           std::numeric_limits<float>::min(),
                           std::numeric_limits<float>::max()};
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return in.PickValueInArray(special);
    case 1:
      return in.ConsumeFloatingPoint<float>();
    default: {
      // An entropy (or rise) that occurs, or one float step beside it.
      if (entropies.empty()) return in.ConsumeFloatingPoint<float>();
      const std::size_t i = in.ConsumeIntegralInRange<std::size_t>(0, entropies.size() - 1);
      float x = entropies[i];
      if (in.ConsumeBool() && i > 0) x = static_cast<float>(x - entropies[i - 1]);
      const int step = in.ConsumeIntegralInRange<int>(-1, 1);
      return step == 0 ? x : std::nextafter(x, step * std::numeric_limits<float>::infinity());
    }
  }
}

void fuzz_patching(FuzzedDataProvider& in) {
  const bool compare = in.ConsumeBool();
  const std::string input = in.ConsumeRandomLengthString(compare ? kReferenceLimit : 1 << 16);
  const qelt::ByteSequence bytes(input.begin(), input.end());
  const std::int32_t k = pick_k(in, bytes.size());
  const std::vector<float> entropies =
      compare ? qelt::testing::straightforward_entropies(bytes, k) : std::vector<float>{};
  const float theta = pick_threshold(in, entropies);
  const float theta_r = pick_threshold(in, entropies);

  const qelt::PatchList patches = qelt::patch_sequence(bytes, k, theta, theta_r);
  qelt::ByteSequence joined;
  const std::size_t first_end = static_cast<std::size_t>(k) + 1;  // huge for k < 0
  std::size_t end = 0;
  for (const auto& patch : patches) {
    check(!patch.empty(), "a patch is empty");
    joined.insert(joined.end(), patch.begin(), patch.end());
    end += patch.size();
    check(end == bytes.size() || end >= first_end, "a patch ends before position k");
  }
  check(joined == bytes, "the patches do not join to the input");
  if (compare) {
    check(patches == qelt::testing::straightforward_patch_sequence(bytes, k, theta, theta_r),
          "patches differ from the definition");
  }
}

void fuzz_frequency_table(FuzzedDataProvider& in) {
  qelt::FrequencyTable table;
  std::map<std::string, std::int64_t> trigrams;
  std::map<std::string, std::map<int, int>> contexts;
  std::int64_t total = 0;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
      case 0: {
        const std::string s = in.ConsumeRandomLengthString(64);
        table.add_sequence(s);
        for (std::size_t p = 0; p + 3 <= s.size(); ++p, ++total) ++trigrams[s.substr(p, 3)];
        break;
      }
      case 1:
        table.clear();
        trigrams.clear();
        total = 0;
        break;
      case 2: {
        const std::string context = in.ConsumeRandomLengthString(4);
        const std::uint8_t next = in.ConsumeIntegral<std::uint8_t>();
        table.update(context, next);
        ++contexts[context][next];
        break;
      }
      case 3: {
        const std::string context = in.ConsumeRandomLengthString(4);
        const qelt::NextByteCounts counts = table.get_counts(context);
        for (int b = 0; b < 256; ++b) {
          const auto it = contexts.find(context);
          const int expected = it == contexts.end() || !it->second.count(b) ? 0 : it->second.at(b);
          check(counts[b] == expected, "context count differs");
        }
        const float h = table.compute_entropy(context);
        check(h >= 0.0f && h <= 5.546f, "entropy out of range");
        break;
      }
      default: {
        const std::string gram = in.ConsumeRandomLengthString(4);
        const double f = table.get_frequency(gram);
        const auto it = trigrams.find(gram);
        const double expected =
            it == trigrams.end() ? 0.0 : static_cast<double>(it->second) / total;
        check(f == expected, "frequency differs");
      }
    }
  }
  double sum = 0.0;
  for (const auto& [gram, count] : trigrams) {
    const double f = table.get_frequency(gram);
    check(f > 0.0 && f <= 1.0, "frequency out of (0, 1]");
    sum += f;
  }
  check(trigrams.empty() || std::fabs(sum - 1.0) < 1e-9, "frequencies do not sum to 1");
}

void fuzz_patcher(FuzzedDataProvider& in) {
  qelt::Patcher patcher;
  std::string held;
  while (in.remaining_bytes() > 0) {
    if (in.ConsumeBool()) {
      const std::string s = in.ConsumeRandomLengthString(256);
      std::vector<std::int32_t> indices(in.ConsumeIntegralInRange<int>(0, 4),
                                        in.ConsumeIntegral<std::int32_t>());
      const std::vector<std::int32_t> before = indices;
      patcher.patch_sequence(s, indices);
      check(indices == before, "the patcher changed its integer list");
      held = s;
    } else {
      patcher.reset();
      held.clear();
    }
    check(patcher.get_patched_sequence() == held, "the patcher lost its sequence");
  }
}

std::vector<std::string> consume_documents(FuzzedDataProvider& in, std::size_t most) {
  std::vector<std::string> documents(in.ConsumeIntegralInRange<std::size_t>(0, most));
  for (auto& d : documents) d = in.ConsumeRandomLengthString(2048);
  return documents;
}

std::vector<qelt::ByteSpan> spans_of(const std::vector<std::string>& documents) {
  std::vector<qelt::ByteSpan> spans;
  for (const auto& d : documents) {
    spans.push_back({reinterpret_cast<const std::uint8_t*>(d.data()), d.size()});
  }
  return spans;
}

void check_ends(const std::vector<std::size_t>& ends, std::size_t n, std::size_t max_length) {
  std::size_t begin = 0;
  for (const std::size_t end : ends) {
    check(end > begin, "ends do not increase");
    check(max_length == 0 || end - begin <= max_length, "a patch is longer than the limit");
    begin = end;
  }
  check(begin == n, "the last end is not the length");
}

// Asks a model for distributions, entropies and log-probabilities of a probe: whatever
// the image it was read from, every probability is finite and in [0, 1]; for a model
// made from counts (`made`), they sum to at most 1, and to 1 up to rounding when it is
// smoothed. (An image changed in place can list any probabilities in (0, 1]: that is
// a wrong model, not an unsafe one.)
void check_distributions(const qelt::ContextModel& model, FuzzedDataProvider& in, bool made) {
  const std::string probe = in.ConsumeRandomLengthString(256);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(probe.data());
  double p[256];
  model.probabilities(bytes, probe.size(), p);
  double sum = 0;
  for (double x : p) {
    check(std::isfinite(x) && x >= 0 && x <= 1, "a probability outside [0, 1]");
    sum += x;
  }
  if (made) {
    check(sum <= 1.0 + 1e-4, "probabilities summing past 1");
    if (model.kind().floor_probability > 0.0) {  // every byte has a probability
      check(sum >= 1.0 - 1e-4, "a smoothed distribution summing short of 1");
    }
  }
  std::vector<float> entropy(probe.size());
  std::vector<double> log2_p(probe.size());
  score(model, bytes, probe.size(), entropy.data(), log2_p.data());
  for (std::size_t i = 0; i < probe.size(); ++i) {
    check(entropy[i] >= 0 && entropy[i] <= 5.6f && log2_p[i] <= 1e-6, "an impossible score");
  }
  const qelt::ByteSpan span{bytes, probe.size()};
  const qelt::Evaluation evaluation = evaluate(model, &span, 1);
  check(evaluation.bytes == probe.size() && evaluation.bits >= -1e-3, "an impossible evaluation");
  // Learning from the probe as it goes, or mixing: probabilities stay in [0, 1],
  // entropies finite (and within ln 256 for a model made from counts, and for a mixed
  // distribution of 256 values).
  for (const qelt::ReadingMode mode : {qelt::ReadingMode::kAdaptive, qelt::ReadingMode::kMix}) {
    const qelt::Reading reading{mode};
    score(model, bytes, probe.size(), entropy.data(), log2_p.data(), reading);
    for (std::size_t i = 0; i < probe.size(); ++i) {
      check(std::isfinite(entropy[i]) && entropy[i] >= 0 &&
                ((!made && mode != qelt::ReadingMode::kMix) || entropy[i] <= 5.6f) &&
                log2_p[i] <= 1e-6,
            "an impossible adaptive or mixed score");
    }
    const qelt::Evaluation read = evaluate(model, &span, 1, reading);
    check(read.bytes == probe.size() && read.bits >= -1e-3,
          "an impossible adaptive or mixed evaluation");
  }
}

void fuzz_batch(FuzzedDataProvider& in) {
  const std::vector<std::string> documents = consume_documents(in, 8);
  const std::int32_t k = pick_k(in, 8);
  const float theta = pick_threshold(in, {});
  const float theta_r = pick_threshold(in, {});
  const std::size_t max_length = in.ConsumeIntegralInRange<std::size_t>(0, 9);
  const auto spans = spans_of(documents);
  const qelt::BatchEnds batch =
      qelt::patch_ends_batch(spans.data(), spans.size(), k, {theta, theta_r}, max_length);
  check(batch.offsets.size() == documents.size() + 1, "one offset per document and one more");
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const std::vector<std::size_t> ends(batch.ends.begin() + batch.offsets[i],
                                        batch.ends.begin() + batch.offsets[i + 1]);
    check_ends(ends, spans[i].size, max_length);
    if (spans[i].size != 0) {
      check(ends == qelt::limit_patch_length(
                        qelt::patch_ends(spans[i].data, spans[i].size, k, {theta, theta_r}),
                        max_length),
            "a document of a batch is not patched as on its own");
    }
  }
}

void fuzz_context_model(FuzzedDataProvider& in) {
  const int k = in.ConsumeIntegralInRange<int>(0, qelt::ContextModel::kMaxOrder);
  const std::vector<std::string> documents = consume_documents(in, 4);
  const auto spans = spans_of(documents);
  qelt::ContextCounts counts(k);
  counts.add_batch(spans.data(), spans.size());
  // Counted in pieces and merged, documents count as counted together.
  if (!documents.empty() && in.ConsumeBool()) {
    std::vector<qelt::ContextCounts> pieces;
    for (const auto& span : spans) {
      if (pieces.empty() || in.ConsumeBool()) pieces.emplace_back(k);
      pieces.back().add(span.data, span.size);
    }
    qelt::ContextCounts merged(k);
    std::vector<const qelt::ContextCounts*> others;
    for (const auto& piece : pieces) others.push_back(&piece);
    if (in.ConsumeBool()) {
      merged.merge(others.data(), others.size());
    } else {
      for (const auto* piece : others) merged.merge(*piece);
    }
    check(merged.serialize() == counts.serialize(), "merged counts differ from counting all");
  }
  // Counted within a small table (sealed into runs as it fills), then taken in encoded
  // shares: the shares, decoded and merged, are the counts, and the counts are empty.
  if (in.ConsumeBool()) {
    qelt::ContextCounts bounded(k);
    bounded.bound_table(in.ConsumeIntegralInRange<std::uint64_t>(0, 4096));
    bounded.add_batch(spans.data(), spans.size());
    check(bounded.serialize() == counts.serialize(), "a bounded table counts otherwise");
    const int bits = in.ConsumeIntegralInRange<int>(0, qelt::kMostShareBits);
    const qelt::ContextCounts::EncodedShares shares = bounded.take_encoded_shares(bits);
    check(bounded.positions() == 0 && bounded.windows() == 0, "taken counts are not empty");
    qelt::ContextCounts merged(k);
    std::uint64_t begin = 0;
    for (const std::uint64_t end : shares.ends) {
      merged.merge(qelt::ContextCounts::deserialize(shares.bytes.data() + begin, end - begin));
      begin = end;
    }
    check(merged.serialize() == counts.serialize(), "encoded shares differ from the counts");
  }
  if (in.ConsumeBool()) counts.merge(counts);
  const std::string encoded = counts.serialize();
  const qelt::ContextCounts decoded = qelt::ContextCounts::deserialize(
      reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size());
  check(decoded.serialize() == encoded, "counts do not survive their encoding");
  const std::uint64_t min_count = in.ConsumeIntegralInRange<std::uint64_t>(1, 4);
  const qelt::ModelKind& kind = pick_kind(in);
  const qelt::ContextModel model = counts.to_model(min_count, 0, kind);
  check_distributions(model, in, true);
  const qelt::ContextModel again = qelt::ContextModel::from_image(
      std::vector<std::uint8_t>(model.image(), model.image() + model.image_size()));
  check(again.size() == model.size() && &again.kind() == &kind,
        "a model does not survive its image");
  const float theta = pick_threshold(in, {});
  const float theta_r = pick_threshold(in, {});
  const std::string probe = in.ConsumeRandomLengthString(1024);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(probe.data());
  const std::vector<std::size_t> ends = patch_ends(model, bytes, probe.size(), {theta, theta_r});
  check_ends(ends, probe.size(), 0);
  // Trained on one sequence alone, a model patches it as the sequence's own model does.
  if (documents.size() == 1 && min_count == 1 && k >= 0 && &kind == &qelt::unsmoothed_kind()) {
    const std::vector<std::size_t> own =
        patch_ends(model, spans[0].data, spans[0].size, {theta, theta_r});
    check(own == qelt::patch_ends(spans[0].data, spans[0].size, k, {theta, theta_r}),
          "a model of one sequence patches it unlike patch_ends");
  }
  try {
    calibrate(model, spans.data(), spans.size(), 1.0 + in.ConsumeProbability<double>() * 8, theta_r);
  } catch (const std::invalid_argument&) {
  }
}

// Loads arbitrary bytes as a model, or a valid image with some bytes changed and its
// checksum made right again, so that the checks behind the checksum are reached.
void fuzz_model_image(FuzzedDataProvider& in) {
  std::vector<std::uint8_t> image;
  if (in.ConsumeBool()) {
    qelt::ContextCounts counts(in.ConsumeIntegralInRange<int>(0, 8));
    const std::string seed = in.ConsumeRandomLengthString(256);
    counts.add(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size());
    const qelt::ContextModel model = counts.to_model(
        1, 0, pick_kind(in));
    image.assign(model.image(), model.image() + model.image_size());
    for (int edits = in.ConsumeIntegralInRange<int>(1, 4); edits > 0 && !image.empty(); --edits) {
      image[in.ConsumeIntegralInRange<std::size_t>(0, image.size() - 1)] =
          in.ConsumeIntegral<std::uint8_t>();
    }
    if (in.ConsumeBool()) image.resize(in.ConsumeIntegralInRange<std::size_t>(0, image.size()));
    if (image.size() >= 8 && in.ConsumeBool()) {
      const std::uint32_t crc = qelt::crc32c(image.data(), image.size() - 8);
      for (int i = 0; i < 4; ++i) image[image.size() - 8 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
  } else {
    const std::string raw = in.ConsumeRandomLengthString(4096);
    image.assign(raw.begin(), raw.end());
  }
  const bool from_file = in.ConsumeIntegralInRange<int>(0, 7) == 0;
  const std::string path = "/tmp/qelt-fuzz-model-" + std::to_string(::getpid());
  auto load = [&] {
    if (!from_file) return qelt::ContextModel::from_image(image);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    return qelt::ContextModel::load(path);
  };
  try {
    const qelt::ContextModel model = load();
    const std::string probe = in.ConsumeRandomLengthString(512);
    check_ends(patch_ends(model, reinterpret_cast<const std::uint8_t*>(probe.data()), probe.size(),
                                {1.0f, 0.5f}),
               probe.size(), 0);
    if (model.has_probabilities()) check_distributions(model, in, false);
  } catch (const qelt::ModelFormatError&) {
  }
  if (from_file) std::remove(path.c_str());
}

// Decodes arbitrary bytes as context counts: whatever is accepted must be exactly
// what the encoder would write for the counts it holds.
void fuzz_counts_encoding(FuzzedDataProvider& in) {
  const std::string raw = in.ConsumeRemainingBytesAsString();
  try {
    const qelt::ContextCounts counts = qelt::ContextCounts::deserialize(
        reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
    // The first form of version 1 has its own magic and no version field.
    const std::string canonical =
        raw.compare(0, 8, "QELTCNT1") == 0 ? "QELTCNTS" + std::string("\1\0\0\0", 4) + raw.substr(8)
                                           : raw;
    check(counts.serialize() == canonical, "an accepted encoding is not the canonical one");
    counts.to_model(1);
  } catch (const qelt::ModelFormatError&) {
  }
}

// Patch starts of a stretch of packed bytes, for arbitrary lengths (zero and huge ones
// too) and positions up to the top of the 64-bit range; and stretches of a small shard
// read through its block starts.
void fuzz_patch_starts(FuzzedDataProvider& in) {
  std::vector<std::uint32_t> lengths(in.ConsumeIntegralInRange<std::size_t>(0, 64));
  const bool small = in.ConsumeBool();
  for (auto& length : lengths) {
    length = small ? in.ConsumeIntegralInRange<std::uint32_t>(0, 9)
                   : in.ConsumeIntegral<std::uint32_t>();
  }
  if (small && in.ConsumeBool()) {
    std::uint64_t size = 0;
    for (const std::uint32_t length : lengths) size += length;
    const std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(size);
    const std::size_t block = in.ConsumeIntegralInRange<std::size_t>(1, 9);
    std::vector<std::uint64_t> sums((lengths.size() + block - 1) / block);
    qelt::sum_length_blocks(lengths.data(), lengths.size(), block, sums.data());
    std::vector<std::uint64_t> starts(std::max<std::size_t>(sums.size(), 1), 0);
    for (std::size_t b = 1; b < starts.size(); ++b) starts[b] = starts[b - 1] + sums[b - 1];
    const qelt::PackedShard shard{bytes.data(), bytes.size(),  lengths.data(), lengths.size(),
                                  starts.data(), starts.size(), block};
    const std::uint64_t begin = in.ConsumeIntegralInRange<std::uint64_t>(0, bytes.size());
    const std::uint64_t end = in.ConsumeIntegralInRange<std::uint64_t>(begin, bytes.size());
    std::vector<std::uint8_t> data(end - begin), marks(end - begin);
    qelt::read_stretch(shard, begin, end, data.data(), marks.data());
    check(std::equal(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(begin)),
          "a stretch is not the shard's bytes");
    check(marks == qelt::testing::straightforward_patch_starts(lengths, 0, begin, end),
          "the starts of a stretch differ from the definition");
    return;
  }
  const std::uint64_t first = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, 16)
                                               : in.ConsumeIntegral<std::uint64_t>();
  const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t begin =
      first + in.ConsumeIntegralInRange<std::uint64_t>(0, std::min<std::uint64_t>(most - first, 300));
  const std::uint64_t end =
      begin + in.ConsumeIntegralInRange<std::uint64_t>(0, std::min<std::uint64_t>(most - begin, 300));
  std::vector<std::uint8_t> starts(end - begin, 7);
  qelt::mark_patch_starts(lengths.data(), lengths.size(), first, begin, end, starts.data());
  // The definition steps patch by patch, and is only safe away from the top of the range.
  if (most - first > (std::uint64_t{1} << 40)) {
    check(starts == qelt::testing::straightforward_patch_starts(lengths, first, begin, end),
          "patch starts differ from the definition");
  } else {
    for (const std::uint8_t s : starts) check(s <= 1, "a start is neither 0 nor 1");
  }
}

// Entropies from anywhere, patched by the rules: against the rules stepped through one
// position at a time; and a model's stream, fed the probe in pushes of any size,
// against the model's patching of the whole probe (both learning from it, or not).
void fuzz_given_entropies_and_streams(FuzzedDataProvider& in) {
  const float theta = pick_threshold(in, {});
  const float theta_r = pick_threshold(in, {});
  const std::size_t max_length = in.ConsumeIntegralInRange<std::size_t>(0, 9);
  if (in.ConsumeBool()) {
    std::vector<float> entropies(in.ConsumeIntegralInRange<std::size_t>(0, 300));
    for (float& h : entropies) h = pick_threshold(in, {});
    const std::size_t first = in.ConsumeIntegralInRange<std::size_t>(0, entropies.size() + 2);
    std::vector<std::size_t> expected;
    bool nan = false;
    float previous = 0.0f;
    for (std::size_t i = 0; i < entropies.size(); ++i) {
      nan = nan || std::isnan(entropies[i]);
      if (i < first) continue;
      const float h = entropies[i];
      if (h > theta || static_cast<double>(h) - previous > theta_r) expected.push_back(i + 1);
      previous = h;
    }
    if (!entropies.empty() && (expected.empty() || expected.back() != entropies.size())) {
      expected.push_back(entropies.size());
    }
    try {
      const std::vector<std::size_t> ends = qelt::patch_ends_from_entropies(
          entropies.data(), entropies.size(), first, {theta, theta_r});
      check(!nan && ends == expected, "ends from given entropies differ from the rules");
    } catch (const std::invalid_argument&) {
      check(nan, "entropies without a NaN refused");
    }
    return;
  }
  qelt::ContextCounts counts(in.ConsumeIntegralInRange<int>(0, 8));
  const std::string seed = in.ConsumeRandomLengthString(300);
  counts.add(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size());
  const qelt::ContextModel model = counts.to_model(
      1, 0, pick_kind(in));
  const std::string probe = in.ConsumeRandomLengthString(300);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(probe.data());
  // Small budgets make an adaptive or mixing reading start afresh within a probe.
  const qelt::Reading reading{
      qelt::reading_modes()[in.ConsumeIntegralInRange<std::size_t>(0, 2)],
      in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(4096, 12000)
                       : qelt::Reading::kDefaultMemory};
  qelt::PatchStream stream(model, {theta, theta_r}, max_length, reading);
  std::vector<std::size_t> ends;
  for (std::size_t at = 0; at < probe.size();) {
    // An empty push now and then; never two in a row (an exhausted input gives 0).
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) stream.push(bytes + at, 0, ends);
    const std::size_t size =
        std::min(probe.size() - at, in.ConsumeIntegralInRange<std::size_t>(1, 40));
    const bool closes = stream.next_ends_patch();
    const std::size_t before = ends.size();
    stream.push(bytes + at, size, ends);
    if (size > 0 && at + 1 < probe.size()) {
      check((ends.size() > before && ends[before] == at + 1) == closes,
            "a stream's next byte closed a patch unlike it said");
    }
    at += size;
  }
  stream.finish(ends);
  check(ends == qelt::limit_patch_length(
                    patch_ends(model, bytes, probe.size(), {theta, theta_r}, reading),
                    max_length),
        "a stream's ends differ from the whole probe's");
  try {
    stream.push(bytes, probe.size(), ends);
    check(false, "a finished stream took more bytes");
  } catch (const std::logic_error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 8)) {
    case 0:
      fuzz_patching(in);
      break;
    case 1:
      fuzz_frequency_table(in);
      break;
    case 2:
      fuzz_patcher(in);
      break;
    case 3:
      fuzz_batch(in);
      break;
    case 4:
      fuzz_context_model(in);
      break;
    case 5:
      fuzz_model_image(in);
      break;
    case 6:
      fuzz_counts_encoding(in);
      break;
    case 7:
      fuzz_patch_starts(in);
      break;
    default:
      fuzz_given_entropies_and_streams(in);
  }
  return 0;
}
