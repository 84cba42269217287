#!/usr/bin/env bash
# Measures what unwrapping the section secrets during the request pass (while
# the restore waits for the server's next answer) saves against unwrapping
# them all in the writing pass: the same copy restored from a vl_server on
# loopback in turns, the fastest of several rounds each.
#
# The data set is mostly small files (one section each), where the private-key
# operation per section is most of a restore's work, plus a few large ones.
#
# usage: bench/restore_unwrap_ahead.sh [ROUNDS] [FILES] [DELAY_MS]
#        (defaults 5, 3000, 0; DELAY_MS holds each piece of the server's
#        answers back that long, as a distant server would)
# environment: BUILD (default build/bench, which has restore_wire), WORK (a
# scratch folder, default a fresh temporary one, removed at the end).
set -euo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$REPO/build/bench}
ROUNDS=${1:-5}
FILES=${2:-3000}
DELAY_MS=${3:-0}
KEEP_WORK=${WORK:+1}
WORK=${WORK:-$(mktemp -d /tmp/restore_ahead.XXXXXX)}
[ -n "$KEEP_WORK" ] || trap 'kill $SERVER_PID 2>/dev/null || true; rm -rf "$WORK"' EXIT
SERVER=$BUILD/server/vl_server
VARDLOK=$BUILD/src/vardlok/vardlok
CLIENT=$BUILD/src/core/vl_client
WIRE=$BUILD/bench/restore_wire
for program in "$SERVER" "$VARDLOK" "$CLIENT" "$WIRE"; do
  [ -x "$program" ] || { echo "missing $program (build the bench preset)" >&2; exit 2; }
done

export HOME=$WORK/home
mkdir -p "$HOME" "$WORK/data" "$WORK/out"
python3 - "$WORK/data" "$FILES" <<'EOF'
import os, random, sys
root, files = sys.argv[1], int(sys.argv[2])
rng = random.Random(20261208)
for i in range(files):
    folder = os.path.join(root, 'd%02d' % (i % 30))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, 'f%05d.bin' % i), 'wb') as f:
        f.write(rng.randbytes(rng.randint(1000, 16000)))
for i in range(3):
    with open(os.path.join(root, 'big%d.bin' % i), 'wb') as f:
        f.write(rng.randbytes(6 * 1024 * 1024))
EOF

"$SERVER" init --data "$WORK/server" --key-file "$REPO/keys/dev_server_key.full" >/dev/null
"$SERVER" run --data "$WORK/server" --listen 127.0.0.1:0 --reserved-gib 40 \
  >"$WORK/server.out" 2>"$WORK/server.err" &
SERVER_PID=$!
for _ in $(seq 100); do
  grep -q "listening on" "$WORK/server.out" 2>/dev/null && break
  sleep 0.1
done
ADDRESS=$(sed -n 's/.*listening on \(127\.0\.0\.1:[0-9]*\).*/\1/p' "$WORK/server.out" | head -1)
[ -n "$ADDRESS" ] || { echo "vl_server did not start" >&2; cat "$WORK/server.err" >&2; exit 1; }

"$VARDLOK" server "$ADDRESS" --key-record "$WORK/server/server_key.rec"
"$VARDLOK" account create "$WORK/anna.drf" --name Anna --organisation Bench \
  --email anna@example.org >/dev/null 2>&1
"$VARDLOK" folders add "$WORK/data" >/dev/null
"$CLIENT" backup || { echo "the backup failed: $?" >&2; exit 1; }

echo "restore of $FILES small files and 3 x 6 MiB, $ROUNDS rounds, $(nproc) processors," \
  "answers held back $DELAY_MS ms"
"$WIRE" --working-dir "$HOME/.local/share/VL_wd" --recovery "$WORK/anna.drf" \
  --to "$WORK/out" --rounds "$ROUNDS" --delay-ms "$DELAY_MS"
