#!/bin/bash
# System calls of one vltool local restore, per restored file.
#
# Runs the restore under `strace -c -f` into a fresh folder and prints every
# call made at least once per hundred files, with its count per file, then
# the wall, user and system seconds of the same restore run without strace.
# With -t the restore goes through its temporary section folder, in the
# working directory (-w).
#
# usage: restore_syscalls.sh -v VLTOOL -s STORE -k KEYS [-t] [-w WORKDIR] [PATH...]
#   PATH...  entries of the copy to restore (default: the whole copy)
set -euo pipefail

vltool="" store="" keys="" wd="" mode=()
while getopts "v:s:k:tw:" opt; do
  case $opt in
    v) vltool=$(realpath "$OPTARG") ;;
    s) store=$(realpath "$OPTARG") ;;
    k) keys=$(realpath "$OPTARG") ;;
    t) mode=(--temp-folder) ;;
    w) wd=$(realpath "$OPTARG") ;;
    *) sed -n '2,12p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [[ -z $vltool || -z $store || -z $keys ]]; then sed -n '2,12p' "$0"; exit 2; fi
command -v strace > /dev/null || { echo "strace is not installed" >&2; exit 2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
wd=${wd:-$scratch/wd}
mkdir -p "$wd"

restore() {  # restore TARGET [wrapper...]
  local target=$1
  shift
  rm -rf "$target"
  (cd "$wd" && "$@" "$vltool" local restore --store "$store" --keys "$keys" --to "$target" \
    ${mode[@]+"${mode[@]}"} ${paths[@]+"${paths[@]}"})
}
paths=("$@")

out=$(restore "$scratch/traced" strace -c -f -o "$scratch/counts")
echo "$out"
files=$(sed -n 's/.*: \([0-9]*\) files,.*/\1/p' <<< "$out")
if [[ -z $files || $files == 0 ]]; then echo "no files restored" >&2; exit 1; fi
rm -rf "$scratch/traced"

echo
echo "calls per restored file ($files files):"
awk -v files="$files" '
  $1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" {
    if ($4 / files >= 0.01) printf "  %-14s %8.2f\n", $NF, $4 / files
  }' "$scratch/counts" | sort -k2 -rn

echo
/usr/bin/time -f "untraced: wall %e s, user %U s, system %S s" \
  bash -c "$(declare -f restore); $(declare -p vltool store keys wd mode paths); restore '$scratch/timed'" \
  > /dev/null
