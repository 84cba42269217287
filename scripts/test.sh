#!/usr/bin/env bash
# Installs what is needed, then builds and runs the whole test suite twice:
# an optimised build and an AddressSanitizer + UndefinedBehaviorSanitizer build,
# followed by the tests of threaded code under ThreadSanitizer and a short run
# of every fuzz target. A build that finds no tests fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
for preset in release asan; do
  echo "== $preset =="
  scripts/build.sh "$preset"
  ctest --test-dir "build/$preset" --output-on-failure --no-tests=error -j "$jobs"
done
echo "== tsan (threaded code) =="
scripts/tsan.sh
echo "== fuzz (short runs) =="
scripts/fuzz.sh 20
