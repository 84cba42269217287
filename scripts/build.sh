#!/usr/bin/env bash
# Builds one preset: release (default), asan, fuzz or bench.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
cmake --preset "$preset" >/dev/null
cmake --build "build/$preset" -j "$(nproc)"
