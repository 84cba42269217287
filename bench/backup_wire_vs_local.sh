#!/usr/bin/env bash
# The backup over the wire against the same backup offline, on the same
# data in the same run: `vardlok backup` to a vl_server on loopback (client
# and server sharing this machine's cores) beside `vltool local backup` into
# a local store, each a first copy and an unchanged second copy, rounds
# interleaved, the minimum of each printed with the ratio wire / local.
#
# usage: bench/backup_wire_vs_local.sh [ROUNDS]      (default 3)
# environment: BUILD (default build/release), SERVER_DATA_ROOT (where the
# server keeps its data; default the scratch folder, /dev/shm takes the
# disk out), WORK (scratch folder; default a fresh temporary one).
set -euo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$REPO/build/release}
ROUNDS=${1:-3}
VARDLOK=$BUILD/src/vardlok/vardlok
VLTOOL=$BUILD/tools/vltool
SERVER=$BUILD/server/vl_server
for program in "$VARDLOK" "$VLTOOL" "$SERVER"; do
  [ -x "$program" ] || { echo "missing $program (build it first)" >&2; exit 2; }
done
KEEP_WORK=${WORK:+1}
WORK=${WORK:-$(mktemp -d /tmp/wire_vs_local.XXXXXX)}
SERVER_DATA_ROOT=${SERVER_DATA_ROOT:-$WORK}
SERVER_PID=
cleanup() {
  [ -z "$SERVER_PID" ] || kill "$SERVER_PID" 2>/dev/null || true
  [ -n "$KEEP_WORK" ] || rm -rf "$WORK"
}
trap cleanup EXIT

# "mixed": random files of several sections, compressible text, many small files.
python3 - "$WORK/data/mixed" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(1)
for sub in ("rand", "text", "small"):
    os.makedirs(os.path.join(root, sub), exist_ok=True)
for i in range(12):
    open(f"{root}/rand/r{i}.bin", "wb").write(random.randbytes(5_000_000))
words = [b"alpha", b"beta", b"gamma", b"delta", b"backup", b"section", b"copy"]
for i in range(20):
    open(f"{root}/text/t{i}.txt", "wb").write(b" ".join(random.choice(words) for _ in range(400000)))
for i in range(800):
    open(f"{root}/small/s{i}.txt", "wb").write(random.randbytes(200) + b"x" * random.randint(0, 8000))
PY

seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null 2>&1; end=$(date +%s.%N); echo "$end - $start" | bc; }

declare -A best
keep() { local key=$1 value=$2; if [ -z "${best[$key]:-}" ] || (( $(echo "$value < ${best[$key]}" | bc) )); then best[$key]=$value; fi; }

for round in $(seq 1 "$ROUNDS"); do
  # A fresh server and account per round, so that each first copy is one.
  [ -z "$SERVER_PID" ] || { kill "$SERVER_PID"; wait "$SERVER_PID" 2>/dev/null || true; }
  sdata=$SERVER_DATA_ROOT/server$round
  rm -rf "$sdata"
  "$SERVER" init --data "$sdata" --key-file "$REPO/keys/dev_server_key.full" >/dev/null
  "$SERVER" run --data "$sdata" --listen 127.0.0.1:0 --reserved-gib 40 >"$WORK/server.out" 2>"$WORK/server.err" &
  SERVER_PID=$!
  for _ in $(seq 50); do grep -q listening "$WORK/server.out" && break; sleep 0.1; done
  port=$(grep -o '127.0.0.1:[0-9]*' "$WORK/server.out" | cut -d: -f2)
  export HOME=$WORK/home$round
  mkdir -p "$HOME"
  "$VARDLOK" server "127.0.0.1:$port" --key-record "$sdata/server_key.rec" >/dev/null 2>&1
  "$VARDLOK" account create "$HOME/a.drf" --name Bench --organisation Bench --email b@b >/dev/null 2>&1
  python3 - "$WORK/data/mixed" "$HOME/.local/share/VL_wd/folders.bin" <<'PY'
import struct, sys
path = sys.argv[1].encode() + b"\0"
body = struct.pack("<II", 1, len(path)) + path
open(sys.argv[2], "wb").write(struct.pack("<I", len(body)) + body)
PY
  mkdir -p "$WORK/keys$round" "$WORK/local$round"
  cp "$HOME/.local/share/VL_wd/local_key.bin" "$WORK/keys$round/"

  keep wire_first "$(seconds "$VARDLOK" backup)"
  keep wire_second "$(seconds "$VARDLOK" backup)"
  keep local_first "$(cd "$WORK/local$round" && seconds "$VLTOOL" local backup --store "$WORK/store$round" --keys "$WORK/keys$round" "$WORK/data/mixed")"
  keep local_second "$(cd "$WORK/local$round" && seconds "$VLTOOL" local backup --store "$WORK/store$round" --keys "$WORK/keys$round" "$WORK/data/mixed")"
done

printf "%-14s %10s %10s %8s\n" scenario wire local ratio
for scenario in first second; do
  wire=${best[wire_$scenario]}
  local_=${best[local_$scenario]}
  printf "%-14s %9.2fs %9.2fs %8.2f\n" "$scenario copy" "$wire" "$local_" "$(echo "$wire / $local_" | bc -l)"
done
