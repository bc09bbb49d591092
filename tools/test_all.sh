#!/usr/bin/env bash
# Installs the module with its test dependencies, then runs every test: the C++ core
# tests (GoogleTest through CTest) and the Python tests (pytest). Fails if any test
# fails or if either runner finds no test.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest is missing: install Debian's libgtest-dev (or your system's equivalent)" >&2
    exit 1
  fi
fi

python3 -m pip install --quiet '.[test]'

echo "== C++ core tests =="
cmake -S . -B build/core-tests -DQELT_BUILD_TESTS=ON >/dev/null
cmake --build build/core-tests
ctest --test-dir build/core-tests --output-on-failure --no-tests=error

echo "== Python tests =="
python3 -m pytest
