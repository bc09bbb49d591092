#!/usr/bin/env bash
# Builds the manual into build/docs/ (static HTML that opens from disk), with every
# warning an error: a broken link or cross-reference, a page missing from the
# navigation, a name the reference cannot import. Installs the [docs] extra at the
# pinned versions first unless told --no-install. Prints the front page's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" != "--no-install" ]; then
  python3 -m pip install --quiet -c tools/constraints.txt '.[docs]'
fi
python3 -m mkdocs build --strict --quiet
echo "$PWD/build/docs/index.html"
