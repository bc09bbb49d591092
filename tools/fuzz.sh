#!/usr/bin/env bash
# Fuzzes the core with libFuzzer (clang, with AddressSanitizer and UBSan) for the
# given number of seconds (default 60), starting from the bundled sample text and
# the corpus that earlier runs left in build/fuzz/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
# Builds on every core (CMake's Makefiles build one file at a time unless told).
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
seconds="${1:-60}"

if ! command -v clang++ >/dev/null ||
   ! compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a" >/dev/null; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get update -qq && apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
  else
    echo "clang with libFuzzer is missing: install Debian's clang and libclang-rt-14-dev" >&2
    exit 1
  fi
fi

CXX=clang++ cmake -S . -B build/fuzz -DQELT_BUILD_FUZZER=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz --target qelt_fuzz >/dev/null
mkdir -p build/fuzz/corpus build/fuzz/seeds
cp examples/sample.txt build/fuzz/seeds/
cd build/fuzz
status=0
./qelt_fuzz -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 corpus seeds \
  >fuzz.log 2>&1 || status=$?
grep -E "^(Done|stat::number_of_executed_units|SUMMARY|check failed|==[0-9]+==ERROR)" fuzz.log || true
if [ "$status" -ne 0 ]; then
  echo "fuzzing found a failure (exit $status); the input is saved in build/fuzz, log in fuzz.log" >&2
  tail -n 30 fuzz.log >&2
fi
exit "$status"
