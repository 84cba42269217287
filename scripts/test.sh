#!/usr/bin/env bash
# Installs what is needed, then builds and runs the whole test suite twice:
# an optimised build and an AddressSanitizer + UndefinedBehaviorSanitizer build,
# followed by a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
for preset in release asan; do
  echo "== $preset =="
  scripts/build.sh "$preset"
  ctest --test-dir "build/$preset" --output-on-failure -j "$jobs"
done
echo "== fuzz (short runs) =="
scripts/fuzz.sh 20
