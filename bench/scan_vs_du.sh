#!/usr/bin/env bash
# Times the measuring scan against `du -s --apparent-size` on the same tree:
# 100 000 files in 1 000 folders, made by the shared dataset generator (or by
# a small generator of our own when that is not there). Both run in turns,
# several times each, with warm caches; the minimum wall time of each and
# their ratio are printed.
#
#   bench/scan_vs_du.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR holds a benchmark build (default build/scan-bench; made with the
# bench preset's settings when missing). The tree is kept in
# BUILD_DIR/dataset and reused by later runs.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build/scan-bench}"
runs="${2:-7}"
generator="$here/../shared/bench/make_dataset.py"
dataset="$build/dataset"
tree="$dataset/smallfiles"

if [[ ! -x "$build/bench/bench_scan" ]]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVL_BENCH=ON -DVL_TESTS=OFF >/dev/null
fi
if ! out=$(cmake --build "$build" -j2 --target bench_scan 2>&1); then
  echo "$out" >&2
  exit 1
fi

if [[ ! -d "$tree" ]]; then
  if [[ -f "$generator" ]]; then
    python3 "$generator" create smallfiles --root "$dataset" >/dev/null
  else
    # 1 000 folders (40 x 25) of 100 files each, 0 to 8 KiB.
    python3 - "$tree" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(1)
for a in range(40):
    for b in range(25):
        folder = os.path.join(root, f"d{a:02d}", f"e{b:02d}")
        os.makedirs(folder, exist_ok=True)
        for f in range(100):
            with open(os.path.join(folder, f"f{f:03d}.dat"), "wb") as out:
                out.write(b"x" * rng.randint(0, 8192))
PY
  fi
fi

# Wall time of one command in seconds, output discarded.
wall() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null
  end=$(date +%s%N)
  echo $(( end - start ))
}

best_du=""
best_scan=""
for ((i = 0; i < runs; i++)); do
  t=$(wall du -s --apparent-size "$tree")
  [[ -z "$best_du" || "$t" -lt "$best_du" ]] && best_du=$t
  t=$(wall "$build/bench/bench_scan" --scan "$tree")
  [[ -z "$best_scan" || "$t" -lt "$best_scan" ]] && best_scan=$t
done

echo "tree: $tree ($("$build/bench/bench_scan" --scan "$tree"))"
awk -v du="$best_du" -v scan="$best_scan" -v runs="$runs" 'BEGIN {
  printf "du -s --apparent-size  min %.3f s\n", du / 1e9
  printf "measuring scan         min %.3f s\n", scan / 1e9
  printf "ratio scan/du          %.2f (target at most 1.5; minimum of %d runs each)\n", scan / du, runs
}'
