// libFuzzer target for the core: drives patching, the frequency table and the
// patcher with arbitrary bytes, context lengths and thresholds, and checks them
// against the straightforward definition and their invariants. Any mismatch aborts.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "frequency_table.h"
#include "patcher.h"
#include "patching.h"
#include "straightforward_patching.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      fuzz_patching(in);
      break;
    case 1:
      fuzz_frequency_table(in);
      break;
    default:
      fuzz_patcher(in);
  }
  return 0;
}
