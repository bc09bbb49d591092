// Times the native core on a file. One line per context length:
//
//   bench_core FILE THETA THETA_R SECONDS K... [MODE]
//
//   (no mode)   patch_ends over the whole file:       k K mbps X patches N
//   --baseline  the straightforward definition:       k K mbps X patches N
//   --memory    one patch_ends call, the growth of the peak resident set it caused
//               (which counts only the pages the call really touched):
//                                                     k K peak_bytes_per_byte X patches N
//   --count     ContextCounts::add of the file as documents of 64 KiB:
//                                                     k K mbps X windows N
//   --merge     the counts of the whole file merged into an empty object, and a
//               random merge tree (fan-in 3, every merge into a new object) over the
//               counts of 64 parts of it, each against counting what it merges:
//                                                     k K count_s X merge_s Y tree_s Z parts_s W
//   --build     a model made from the counts of the file, gathered as training does
//               (8 parts counted, each through its encoding, merged together into a
//               new object), against counting the file:
//                                                     k K count_s X build_s Y contexts N
//   --model     a model trained on the file, patching the file with it:
//                                                     k K mbps X patches N
//   --small     patch_ends_batch over the file cut into documents of 1 KiB:
//                                                     k K mbps X patches N
//
// Each time is the best of as many runs as fit in SECONDS (at least one).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "batch.h"
#include "context_counts.h"
#ifndef QELT_BENCH_MODEL_METHODS
#include "model_scoring.h"
#endif
#include "patching.h"
#include "reference/straightforward_patching.h"

namespace {

// The patching calls, spelled so that this file also compiles over a core from before
// the thresholds were one struct (compare_builds.py builds it over older revisions).
#ifdef QELT_BENCH_LOOSE_THRESHOLDS
#define QELT_BENCH_THRESHOLDS(theta, theta_r) theta, theta_r
#else
#define QELT_BENCH_THRESHOLDS(theta, theta_r) qelt::Thresholds{theta, theta_r}
#endif

// Patching with a model: a method of the model in cores from before scoring had a
// header of its own.
#ifdef QELT_BENCH_MODEL_METHODS
#define QELT_BENCH_MODEL_PATCH_ENDS(model, ...) (model).patch_ends(__VA_ARGS__)
#else
#define QELT_BENCH_MODEL_PATCH_ENDS(model, ...) qelt::patch_ends((model), __VA_ARGS__)
#endif

std::vector<std::size_t> ends_of(const std::uint8_t* data, std::size_t n, std::int32_t k,
                                 float theta, float theta_r) {
  return qelt::patch_ends(data, n, k, QELT_BENCH_THRESHOLDS(theta, theta_r));
}

long status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::size_t len = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, len, field) == 0) return std::atol(line.c_str() + len + 1);
  }
  return -1;
}

void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// The best time of `run` over as many runs as fit in `budget` seconds, at least one.
template <typename Run>
double best_seconds(double budget, Run run) {
  double best = 1e300;
  double spent = 0;
  do {
    const auto start = std::chrono::steady_clock::now();
    run();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    best = std::min(best, s);
    spent += s;
  } while (spent < budget);
  return best;
}

// Counts of `data` split into `parts` equal documents.
qelt::ContextCounts counts_of(const qelt::ByteSequence& data, int k, std::size_t begin,
                              std::size_t end, std::size_t document) {
  qelt::ContextCounts counts(k);
  for (std::size_t at = begin; at < end; at += document) {
    counts.add(data.data() + at, std::min(document, end - at));
  }
  return counts;
}

// Merges `parts` into one by merges of up to 3 picked at random, each into a new
// object, as a tree reduction does.
qelt::ContextCounts merge_tree(std::vector<qelt::ContextCounts> parts, int k, unsigned seed) {
  std::mt19937 rng(seed);
  while (parts.size() > 1) {
    std::shuffle(parts.begin(), parts.end(), rng);
    std::vector<qelt::ContextCounts> next;
    for (std::size_t i = 0; i < parts.size(); i += 3) {
      qelt::ContextCounts merged(k);
#ifdef QELT_BENCH_ONE_BY_ONE  // a core whose merge takes one object at a time
      for (std::size_t j = i; j < std::min(parts.size(), i + 3); ++j) merged.merge(parts[j]);
#else
      std::vector<const qelt::ContextCounts*> group;
      for (std::size_t j = i; j < std::min(parts.size(), i + 3); ++j) group.push_back(&parts[j]);
      merged.merge(group.data(), group.size());
#endif
      next.push_back(std::move(merged));
    }
    parts = std::move(next);
  }
  return std::move(parts.front());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s FILE THETA THETA_R SECONDS K... "
                 "[--baseline|--memory|--count|--merge|--build|--model|--small]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const qelt::ByteSequence bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
  const float theta = std::strtof(argv[2], nullptr);
  const float theta_r = std::strtof(argv[3], nullptr);
  const double budget = std::strtod(argv[4], nullptr);
  const std::string last = argv[argc - 1];
  const std::string mode = last.rfind("--", 0) == 0 ? last.substr(2) : "core";
  const int last_k = mode == "core" ? argc : argc - 1;
  const std::size_t n = bytes.size();
  for (int a = 5; a < last_k; ++a) {
    const std::int32_t k = std::atoi(argv[a]);
    if (mode == "memory") {
      reset_peak();
      const long before = status_kib("VmRSS:");
      const std::size_t patches = ends_of(bytes.data(), n, k, theta, theta_r).size();
      const double peak = (status_kib("VmHWM:") - before) * 1024.0;
      std::printf("k %d peak_bytes_per_byte %.2f patches %zu\n", k, peak / n, patches);
    } else if (mode == "count") {
      std::uint64_t windows = 0;
      const double s = best_seconds(budget, [&] {
        windows = counts_of(bytes, k, 0, n, 64 << 10).positions();
      });
      std::printf("k %d mbps %.2f windows %llu\n", k, n / s / 1e6,
                  static_cast<unsigned long long>(windows));
    } else if (mode == "merge") {
      constexpr std::size_t kParts = 64;
      const double count_s = best_seconds(budget, [&] { counts_of(bytes, k, 0, n, n); });
      const qelt::ContextCounts whole = counts_of(bytes, k, 0, n, n);
      const double merge_s = best_seconds(budget, [&] {
        qelt::ContextCounts empty(k);
        empty.merge(whole);
      });
      std::vector<qelt::ContextCounts> parts;
      const double parts_s = best_seconds(budget, [&] {
        parts.clear();
        for (std::size_t p = 0; p < kParts; ++p) {
          parts.push_back(counts_of(bytes, k, n * p / kParts, n * (p + 1) / kParts, n));
        }
      });
      unsigned seed = 0;
      double tree_s = 1e300;
      for (double spent = 0; spent < budget || seed == 0;) {
        std::vector<qelt::ContextCounts> copies;
        for (std::size_t p = 0; p < kParts; ++p) {
          copies.push_back(counts_of(bytes, k, n * p / kParts, n * (p + 1) / kParts, n));
        }
        const auto start = std::chrono::steady_clock::now();
        merge_tree(std::move(copies), k, seed++);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        tree_s = std::min(tree_s, s);
        spent += s;
      }
      std::printf("k %d count_s %.4f merge_s %.4f tree_s %.4f parts_s %.4f\n", k, count_s,
                  merge_s, tree_s, parts_s);
    } else if (mode == "build") {
      constexpr std::size_t kParts = 8;
      const double count_s = best_seconds(budget, [&] { counts_of(bytes, k, 0, n, 64 << 10); });
      std::vector<qelt::ContextCounts> parts;
      std::vector<const qelt::ContextCounts*> group;
      for (std::size_t p = 0; p < kParts; ++p) {
        const std::string encoded =
            counts_of(bytes, k, n * p / kParts, n * (p + 1) / kParts, 64 << 10).serialize();
        parts.push_back(qelt::ContextCounts::deserialize(
            reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size()));
      }
      qelt::ContextCounts gathered(k);
#ifdef QELT_BENCH_ONE_BY_ONE
      for (const qelt::ContextCounts& part : parts) gathered.merge(part);
#else
      for (const qelt::ContextCounts& part : parts) group.push_back(&part);
      gathered.merge(group.data(), group.size());
#endif
      std::uint64_t contexts = 0;
      const double build_s = best_seconds(budget, [&] { contexts = gathered.to_model(1).size(); });
      std::printf("k %d count_s %.4f build_s %.4f contexts %llu\n", k, count_s, build_s,
                  static_cast<unsigned long long>(contexts));
    } else if (mode == "small") {
      std::vector<qelt::ByteSpan> documents;
      for (std::size_t i = 0; i < n; i += 1024) {
        documents.push_back({bytes.data() + i, std::min<std::size_t>(1024, n - i)});
      }
      std::size_t patches = 0;
      const double s = best_seconds(budget, [&] {
        patches = qelt::patch_ends_batch(documents.data(), documents.size(), k,
                                         QELT_BENCH_THRESHOLDS(theta, theta_r), 0)
                      .ends.size();
      });
      std::printf("k %d mbps %.2f patches %zu\n", k, n / s / 1e6, patches);
    } else if (mode == "model") {
      const qelt::ContextModel model = counts_of(bytes, k, 0, n, 64 << 10).to_model(1);
      std::size_t patches = 0;
      const double s = best_seconds(budget, [&] {
        patches = QELT_BENCH_MODEL_PATCH_ENDS(model, bytes.data(), n,
                                              QELT_BENCH_THRESHOLDS(theta, theta_r))
                      .size();
      });
      std::printf("k %d mbps %.2f patches %zu\n", k, n / s / 1e6, patches);
    } else {
      std::size_t patches = 0;
      const double s = best_seconds(budget, [&] {
        patches = mode == "baseline"
                      ? qelt::testing::straightforward_patch_sequence(bytes, k, theta, theta_r).size()
                      : ends_of(bytes.data(), n, k, theta, theta_r).size();
      });
      std::printf("k %d mbps %.2f patches %zu\n", k, n / s / 1e6, patches);
    }
  }
  return 0;
}
