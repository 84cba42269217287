#!/usr/bin/env bash
# Kills `vltool local backup` with SIGKILL at random moments and checks what
# the next run makes of it:
#   - it resumes from "restart.bin": every file the killed attempt had
#     recorded as completed is reused by name, none of them is read again,
#     so only the file in progress and the ones not reached are read;
#   - the copy it finally commits restores bit for bit.
# Odd trials kill twice before letting the copy finish.
#
# usage: bench/kill_resume.sh [TRIALS]       (default 20)
# environment: VLTOOL (default build/release/tools/vltool), WORK (a scratch
# folder, default a fresh temporary one, removed at the end).
set -euo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
VLTOOL=${VLTOOL:-$REPO/build/release/tools/vltool}
TRIALS=${1:-20}
KEEP_WORK=${WORK:+1}
WORK=${WORK:-$(mktemp -d /tmp/kill_resume.XXXXXX)}
[ -x "$VLTOOL" ] || { echo "no vltool at $VLTOOL (set VLTOOL)" >&2; exit 2; }
[ -n "$KEEP_WORK" ] || trap 'rm -rf "$WORK"' EXIT

DATA=$WORK/data
KEYS=$WORK/keys
mkdir -p "$DATA" "$KEYS"

# A tree with nested and empty folders, empty files, twins, non-ASCII names,
# files at the section boundary and files of several sections.
python3 - "$DATA" <<'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20261208)
def put(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)
for i in range(120):
    folder = os.path.join(root, 'd%d' % (i % 7), 'e%d' % (i % 3))
    size = int(2 ** rng.uniform(0, 18))
    put(os.path.join(folder, 'small_%03d.bin' % i), rng.randbytes(size))
for i in range(14):
    size = rng.choice([2097152, 2097153, 3 * 2097152 + 17, rng.randrange(2100000, 9000000)])
    data = (b'text line %d\n' % i) * (size // 13) if i % 2 else rng.randbytes(size)
    put(os.path.join(root, 'big', 'stor_%02d' % i), data[:size])
put(os.path.join(root, 'tom', 'empty'), b'')
os.makedirs(os.path.join(root, 'tom', 'tomt'), exist_ok=True)
twin = rng.randbytes(70000)
put(os.path.join(root, 'tvilling_a'), twin)
put(os.path.join(root, 'd1', 'tvilling_b'), twin)
put(os.path.join(root, 'räksmörgås ☃.txt'), 'smörgås'.encode())
EOF
TOTAL_FILES=$(find "$DATA" -type f | wc -l)
"$VLTOOL" keys generate "$KEYS" >/dev/null

# Records in a restart.bin (buffer file: length, next section id, count).
records_in() {
  python3 - "$1" <<'EOF'
import struct, sys
try:
    data = open(sys.argv[1], 'rb').read()
    print(struct.unpack_from('<I', data, 8)[0] if len(data) >= 12 else 0)
except OSError:
    print(0)
EOF
}

stat_of() { sed -n "s/^$1 = //p" "$2"; }

backup() {  # backup STORE WD OUT
  (cd "$2" && exec "$VLTOOL" local backup --store "$1" --keys "$KEYS" --restart-interval 0 "$DATA") \
    >"$3" 2>"$3.err"
}

# How long an uninterrupted copy takes, to spread the kills over it.
mkdir -p "$WORK/probe"
START=$(date +%s%N)
backup "$WORK/probe/store" "$WORK/probe" "$WORK/probe/out"
FULL_MS=$(( ($(date +%s%N) - START) / 1000000 ))
echo "files: $TOTAL_FILES, uninterrupted copy: ${FULL_MS} ms"

failures=0
for trial in $(seq 1 "$TRIALS"); do
  dir=$WORK/trial_$trial
  rm -rf "$dir"; mkdir -p "$dir/wd"
  kills=$(( trial % 2 + 1 ))
  for k in $(seq 1 "$kills"); do
    # Within the first 80 % of a whole copy; a resumed run has less to do,
    # so a second kill comes sooner.
    delay_ms=$(( RANDOM % (FULL_MS * 8 / 10 / k + 1) + 20 ))
    # Started directly (not through a function), so that $! is vltool itself.
    (cd "$dir/wd" && exec "$VLTOOL" local backup --store "$dir/store" --keys "$KEYS" \
       --restart-interval 0 "$DATA") >"$dir/killed_$k" 2>&1 &
    pid=$!
    sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  recorded=$(records_in "$dir/wd/restart.bin")
  copies_before=$(ls "$dir/store/copies" 2>/dev/null | wc -l)

  if ! backup "$dir/store" "$dir/wd" "$dir/final"; then
    echo "trial $trial: the resumed copy failed: $(cat "$dir/final.err")"; failures=$((failures + 1)); continue
  fi
  reused=$(stat_of num_restarted_name_reuse_files "$dir/final")
  read_files=$(stat_of num_read_files "$dir/final")
  verdict=ok
  if [ "$copies_before" -eq 0 ]; then
    # Nothing committed yet: the final run resumes what the kills left.
    if [ "$reused" -ne "$recorded" ] || [ "$read_files" -ne $((TOTAL_FILES - recorded)) ]; then
      verdict="restart state held $recorded files, reused $reused, read $read_files of $TOTAL_FILES"
    fi
  fi

  rm -rf "$dir/restored"
  if ! (cd "$dir/wd" && "$VLTOOL" local restore --store "$dir/store" --keys "$KEYS" \
          --to "$dir/restored" >"$dir/restore.out" 2>&1); then
    verdict="restore failed: $(tail -1 "$dir/restore.out")"
  elif ! diff -r "$DATA" "$dir/restored/data" >"$dir/diff" 2>&1; then
    verdict="restored tree differs: $(head -3 "$dir/diff")"
  fi
  printf 'trial %2d: %d kill(s), %3d files recorded, %3d reused, %3d read, copies before %d: %s\n' \
    "$trial" "$kills" "$recorded" "$reused" "$read_files" "$copies_before" "$verdict"
  [ "$verdict" = ok ] || failures=$((failures + 1))
  rm -rf "$dir/restored" "$dir/store"
done

echo "$failures of $TRIALS trials failed"
[ "$failures" -eq 0 ]
