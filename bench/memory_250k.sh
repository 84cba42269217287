#!/usr/bin/env bash
# Peak memory of `vltool local backup` on a large tree: 250 000 small files
# in folders of about 1 000, with names of everyday lengths and a few KB of
# content each, made deterministically. Four runs against one copy store:
#   first    the first copy (every file read, sealed and stored);
#   second   the unchanged tree again (the previous copy's list is read and
#            indexed, every file is reused by name);
#   changed  after 1 % of the files got new content and a new time;
#   content  the same tree with --content-compare (every file read again and
#            reused by content), the heaviest way through the indexes.
# Each run is measured with /usr/bin/time -v; the maximum resident set size
# is reported in MiB against the target of 300 MiB.
#
# usage: bench/memory_250k.sh [FOLDER]   (default build/memory_250k)
# environment: VLTOOL (default build/release/tools/vltool), FILES (default
# 250000), TARGET_MIB (default 300), KEEP=1 keeps the tree and the store.
set -euo pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
VLTOOL=${VLTOOL:-$REPO/build/release/tools/vltool}
FILES=${FILES:-250000}
TARGET_MIB=${TARGET_MIB:-300}
WORK=$(mkdir -p "${1:-$REPO/build/memory_250k}" && cd "${1:-$REPO/build/memory_250k}" && pwd)
[ -x "$VLTOOL" ] || { echo "no vltool at $VLTOOL (set VLTOOL)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package 'time')" >&2; exit 2; }

TREE=$WORK/tree
STORE=$WORK/store
KEYS=$WORK/keys
WD=$WORK/wd
rm -rf "$TREE" "$STORE" "$KEYS" "$WD"
mkdir -p "$TREE" "$KEYS" "$WD"
[ -n "${KEEP:-}" ] || trap 'rm -rf "$TREE" "$STORE" "$KEYS" "$WD"' EXIT

# The tree: top folders of a home directory, each with sub-folders of about
# 1 000 files. Every file starts with a line of its own, so no two files
# share content; the rest is a slice of a text-like or a random blob.
python3 - "$TREE" "$FILES" <<'EOF'
import os, random, sys
root, total = sys.argv[1], int(sys.argv[2])
rng = random.Random(250000)
words = ('backup report invoice photo holiday summer draft final notes budget meeting '
         'project family garden kitchen receipt scan letter contract minutes plan '
         'översikt sammanfattning räkning semester kvitto').split()
text = ' '.join(rng.choice(words) for _ in range(300000)).encode()
noise = rng.randbytes(1 << 20)
tops = ['Documents', 'Pictures', 'Music', 'Desktop', 'Projects', 'Mail archive']
stems = ['IMG_%08d', 'Quarterly report %d', 'Meeting notes %d (final)', 'track_%05d',
         'invoice-%06d', 'Scan %d', 'kvitto_%d_2019', 'draft v%d']
exts = ['.jpg', '.docx', '.txt', '.mp3', '.pdf', '.xlsx', '.odt', '.csv']
made = 0
folder = 0
while made < total:
    here = os.path.join(root, tops[folder % len(tops)],
                        '%s %d' % (rng.choice(['Archive', 'Year', 'Backup set', 'Samling']),
                                   folder))
    os.makedirs(here)
    for _ in range(min(1000, total - made)):
        i = rng.randrange(10 ** 7)
        name = (rng.choice(stems) % i) + '_%d' % made + rng.choice(exts)
        size = rng.randrange(1024, 8192)
        blob = noise if made % 3 == 0 else text
        start = rng.randrange(len(blob) - size)
        with open(os.path.join(here, name), 'wb') as f:
            f.write(b'file %d\n' % made)
            f.write(blob[start:start + size])
        made += 1
    folder += 1
EOF
BYTES=$(du -sb "$TREE" | cut -f1)
"$VLTOOL" keys generate "$KEYS" >/dev/null

# run NAME [OPTIONS...]: one backup of the tree, its peak and time.
run() {
  local name=$1
  shift
  (cd "$WD" && exec /usr/bin/time -v "$VLTOOL" local backup --store "$STORE" --keys "$KEYS" "$@" \
    "$TREE") >"$WORK/$name.out" 2>"$WORK/$name.err" || {
    echo "backup '$name' failed:" >&2
    cat "$WORK/$name.err" >&2
    exit 1
  }
  local kib seconds
  kib=$(sed -n 's/^\s*Maximum resident set size (kbytes): //p' "$WORK/$name.err")
  seconds=$(sed -n 's/^\s*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$WORK/$name.err")
  awk -v n="$name" -v k="$kib" -v t="$TARGET_MIB" -v s="$seconds" 'BEGIN {
    mib = k / 1024
    printf "%-8s peak %7.1f MiB  %5.2f of the %d MiB target  %s  wall %s\n", n, mib, mib / t, t,
           (mib <= t ? "within" : "OVER"), s }'
  tail -n 1 "$WORK/$name.out" | sed 's/^/         /'
}

echo "tree: $FILES files, $BYTES bytes in $TREE"
run first
run second
# 1 % of the files: new content and a new last-write time.
python3 - "$TREE" <<'EOF'
import os, sys
paths = sorted(os.path.join(d, f) for d, _, fs in os.walk(sys.argv[1]) for f in fs)
for path in paths[::100]:
    with open(path, 'ab') as f:
        f.write(b'changed\n')
    st = os.stat(path)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 10 ** 9))
print('changed %d files' % len(paths[::100]))
EOF
run changed
run content --content-compare
