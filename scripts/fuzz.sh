#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for the given number of seconds
# (default 180). Crashes are written to build/fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-180}
scripts/build.sh fuzz
mkdir -p build/fuzz/crashes build/fuzz/corpus
status=0
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  mkdir -p "build/fuzz/corpus/$name"
  seeds="fuzz/corpus/$name"
  args=("build/fuzz/corpus/$name")
  [ -d "$seeds" ] && args+=("$seeds")
  echo "-- $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=0 \
        -artifact_prefix="build/fuzz/crashes/$name-" "${args[@]}" >"build/fuzz/$name.log" 2>&1; then
    echo "FAILED: $name (see build/fuzz/$name.log)"; tail -n 30 "build/fuzz/$name.log"; status=1
  fi
done
exit $status
