#!/usr/bin/env bash
# Builds the tests of the code that runs threads (restore workers and their
# record opening, the random pool, section sealing and compression, the file
# lock, vltool's sealing threads, the transport and the server's connection
# threads) with ThreadSanitizer and runs them. Any race it reports fails the
# run.
set -euo pipefail
cd "$(dirname "$0")/.."
# program and the tests in it that matter here
runs=(
  "vl_engine_tests *"
  "vl_crypto_tests *"
  "vl_model_tests *"
  "vl_codec_tests SectionCompression*"
  "vl_platform_tests *"
  "vl_tools_tests *"
  "vl_net_tests *"
  "vl_server_tests *"
)
targets=()
for run in "${runs[@]}"; do targets+=("${run%% *}"); done
cmake --preset tsan >/dev/null
cmake --build build/tsan -j "$(nproc)" --target "${targets[@]}"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
status=0
for run in "${runs[@]}"; do
  program=${run%% *}
  filter=${run#* }
  echo "-- $program ($filter)"
  if ! "build/tsan/tests/$program" --gtest_filter="$filter" --gtest_brief=1; then
    echo "FAILED: $program under ThreadSanitizer"
    status=1
  fi
done
exit $status
