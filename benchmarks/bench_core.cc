// Times the native core on a file: patch_ends (bytes in, boundaries out) and, with
// --baseline, the straightforward definition. Prints one line per context length:
//   k <k> mbps <MB/s> patches <count> peak_bytes_per_byte <x>
// --memory runs a single call and reports the growth of the peak resident set it
// caused, which counts only the pages the call really touched.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "patching.h"
#include "reference/straightforward_patching.h"

namespace {

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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s FILE THETA THETA_R SECONDS K... [--baseline|--memory]\n",
                 argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const qelt::ByteSequence bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
  const float theta = std::strtof(argv[2], nullptr);
  const float theta_r = std::strtof(argv[3], nullptr);
  const double budget = std::strtod(argv[4], nullptr);
  const std::string mode = std::strcmp(argv[argc - 1], "--baseline") == 0 ? "baseline"
                           : std::strcmp(argv[argc - 1], "--memory") == 0 ? "memory"
                                                                          : "core";
  const int last_k = mode == "core" ? argc : argc - 1;
  for (int a = 5; a < last_k; ++a) {
    const std::int32_t k = std::atoi(argv[a]);
    std::size_t patches = 0;
    if (mode == "memory") {
      reset_peak();
      const long before = status_kib("VmRSS:");
      patches = qelt::patch_ends(bytes.data(), bytes.size(), k, theta, theta_r).size();
      const double peak = (status_kib("VmHWM:") - before) * 1024.0;
      std::printf("k %d peak_bytes_per_byte %.2f patches %zu\n", k, peak / bytes.size(),
                  patches);
      continue;
    }
    double best = 1e300;
    double spent = 0;
    do {  // best of as many runs as fit the time budget, at least one
      const auto start = std::chrono::steady_clock::now();
      patches = mode == "baseline"
                    ? qelt::testing::straightforward_patch_sequence(bytes, k, theta, theta_r).size()
                    : qelt::patch_ends(bytes.data(), bytes.size(), k, theta, theta_r).size();
      const double s =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      best = std::min(best, s);
      spent += s;
    } while (spent < budget);
    std::printf("k %d mbps %.2f patches %zu\n", k, bytes.size() / best / 1e6, patches);
  }
  return 0;
}
