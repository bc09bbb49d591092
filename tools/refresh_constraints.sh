#!/usr/bin/env bash
# Resolves the [test] extra afresh in a new virtual environment and writes the
# versions it chose to tools/constraints.txt, which the test command installs with.
# Run it to move the tests to newer releases; commit the file if the tests pass.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="$(mktemp -d)/venv"
trap 'rm -rf "$(dirname "$venv")"' EXIT
python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
# The CPU build of PyTorch: the tests need no other, and it is a tenth of the size.
echo "torch==2.13.0" > "$venv/torch.txt"
"$venv/bin/python" -m pip install --quiet -c "$venv/torch.txt" '.[test]'
{
  sed -n '1,/^# Refresh/p' tools/constraints.txt
  # A local build label (+cpu) is not on every index: the version alone is pinned.
  # moto's JSON-schema validators are left to float: pip takes them at once.
  "$venv/bin/python" -m pip freeze --exclude qelt | sed -e 's/+cpu$//' \
    | grep -v -e '^jsonschema-s' -e '^openapi-'
} > tools/constraints.txt.new
mv tools/constraints.txt.new tools/constraints.txt
echo "tools/constraints.txt: $(grep -vc '^#' tools/constraints.txt) packages pinned"
