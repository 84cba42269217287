#!/usr/bin/env python3
"""Restores only, side by side: vltool local restore against restic and borg.

compare_tools.py times every scenario once per round and builds its
repositories anew each round; restores, which vary most on these shared
machines, want more rounds on one set of repositories. This script makes one
copy of each dataset with each tool, then repeats full restores (onto disk
under --work and into /dev/shm), the tools taking turns, and prints the
minimum per tool and the ratio of vltool to the faster of the other two.

vltool reads the records in place from its store. With --temp-folder it
first copies them into its temporary section folder, as a restore from a
server does; that folder is in its working directory, and --wd puts that
directory elsewhere (for instance on /dev/shm), to tell the cost of the
temporary folder from the rest.

usage: compare_restore.py [--data DIR] [--work DIR] [--rounds N]
                          [--datasets mixed,smallfiles] [--vltool PATH]
                          [--temp-folder] [--wd DIR]
"""
import argparse
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare_tools as ct  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", default=os.path.join(ct.REPO, "build", "bench-data"))
    parser.add_argument("--work", default=None)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--datasets", default="mixed,smallfiles")
    parser.add_argument("--vltool", default=os.path.join(ct.REPO, "build", "release", "tools", "vltool"))
    parser.add_argument("--wd", default=None, help="vltool's working directory (temporary folder)")
    parser.add_argument("--temp-folder", action="store_true",
                        help="vltool restores through its temporary section folder")
    args = parser.parse_args()
    # The tools run in folders of their own: every path must be absolute.
    for name in ("data", "work", "vltool", "wd"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    ct.ensure_tools()
    pristine = os.path.join(args.data, "pristine")
    work = args.work or os.path.join(args.data, "restore-work")
    datasets = args.datasets.split(",")
    for ds in datasets:
        if not os.path.isdir(os.path.join(pristine, ds)):
            subprocess.check_call([sys.executable, ct.MAKE_DATASET, "create", ds, "--root", pristine])

    shm = "/dev/shm/vl-restore-only"
    results = {}  # (dataset, place, tool) -> [seconds]
    for ds in datasets:
        tools = [ct.Vltool(args.vltool, os.path.join(work, ds, "vardlok"),
                           ["--temp-folder"] if args.temp_folder else []),
                 ct.Restic(os.path.join(work, ds, "restic")), ct.Borg(os.path.join(work, ds, "borg"))]
        for t in tools:
            os.makedirs(t.work, exist_ok=True)
            t.init()
            if args.wd and isinstance(t, ct.Vltool):
                t.cwd = args.wd
                ct.fresh(t.cwd)
            t.backup(os.path.join(pristine, ds))
        for r in range(args.rounds):
            for t in tools[r % 3:] + tools[:r % 3]:
                for place, target in (("disk", os.path.join(work, "restore")), ("shm", shm)):
                    seconds, _ = ct.timed_restore(t, target)
                    shutil.rmtree(target, ignore_errors=True)
                    results.setdefault((ds, place, t.name), []).append(seconds)
                    print(f"  {ds:10s} {place:5s} {t.name:8s} {seconds:8.2f} s", flush=True)

    names = ("vardlok", "restic", "borg")
    print(f"\nminimum seconds over {args.rounds} rounds; ratio = vardlok / faster of the others")
    print(f"{'dataset':10s} {'restore':8s} " + " ".join(f"{n:>9s}" for n in names) + "   ratio")
    for ds in datasets:
        for place in ("disk", "shm"):
            best = {n: min(results[(ds, place, n)]) for n in names}
            ratio = best["vardlok"] / min(best["restic"], best["borg"])
            print(f"{ds:10s} {place:8s} " + " ".join(f"{best[n]:9.2f}" for n in names) + f"   {ratio:5.2f}")


if __name__ == "__main__":
    main()
