#!/usr/bin/env bash
# Installs the module with its test dependencies into the Python it is run with (a
# virtual environment is best), then runs every test: the C++ core
# tests (GoogleTest through CTest) and the Python tests (pytest). Fails if any test
# fails or if either runner finds no test.
set -euo pipefail
cd "$(dirname "$0")/.."
# Builds on every core (CMake's Makefiles build one file at a time unless told).
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest is missing: install Debian's libgtest-dev (or your system's equivalent)" >&2
    exit 1
  fi
fi

# The pages are tested in Debian's Chromium, driven through its chromedriver.
if ! command -v chromedriver >/dev/null; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq chromium chromium-driver >/dev/null
  else
    echo "Chromium is missing: the page tests are skipped (install Debian's chromium and" \
      "chromium-driver to run them)" >&2
  fi
fi

# The pip that `python3 -m venv` brings (23.x) can spend the better part of an hour
# backtracking through the releases of botocore, aiobotocore and fsspec; a current
# pip with the pinned versions of tools/constraints.txt resolves them at once.
python3 -m pip install --quiet --upgrade 'pip>=25'
python3 -m pip install --quiet -c tools/constraints.txt '.[test]'

echo "== The manual =="
bash tools/build_docs.sh --no-install

echo "== C++ core tests =="
cmake -S . -B build/core-tests -DQELT_BUILD_TESTS=ON >/dev/null
cmake --build build/core-tests
ctest --test-dir build/core-tests --output-on-failure --no-tests=error

echo "== Python tests =="
# Two test processes at most: many tests start clusters of their own.
python3 -m pytest -n auto --maxprocesses 2
