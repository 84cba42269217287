#!/usr/bin/env python3
"""Side-by-side timing of Vardlok's copies against restic and borg.

Vardlok is timed twice: "vardlok" is the client over loopback against its
own vl_server on this machine (both share its cores), "vl-local" is
vltool's offline copy into a local store, so that the table shows what the
wire costs beside what restic and borg cost with local repositories.

For each dataset (made with ../shared/bench/make_dataset.py) and each round,
the tools take turns (the order rotates every round) through four scenarios
on the same data:

  first     the first copy into a fresh repository
  second    a second copy with nothing changed
  mutated   a copy after make_dataset.py mutate changed about 1 % of the files
  restore   a full restore of the latest copy, onto disk and into /dev/shm

The machines are noisy, so each figure is the minimum over the rounds; peak
memory (max RSS of the tool's process tree as reported by wait4) is the
maximum. restic (local repository) and borg (local repository, repokey
encryption, lz4 compression) come from Debian; the script installs them with
apt-get when missing.

The datasets are mixed, smallfiles and bigfile (one 2 GiB disk image, half
zero extents, half random) by default. bigfile wants about 12 GiB free under
--data: the pristine image, the round's copy, three repositories and the disk
restore (the /dev/shm restore takes another 2 GiB of memory).

usage: compare_tools.py [--data DIR] [--rounds N] [--datasets mixed,smallfiles,bigfile]
                        [--scenarios first,second,mutated,restore]
                        [--tools vardlok,vl-local,restic,borg]
                        [--vltool PATH] [--bindir BUILD] [--work DIR]

--scenarios runs only the named scenarios (second and mutated need first;
mutated needs second; restore restores whatever the last copy was).
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
# The shared dataset maker sits beside the checkout (or beside the folder of
# worktrees that holds it).
MAKE_DATASET = next((p for p in (os.path.join(REPO, "..", "shared", "bench", "make_dataset.py"),
                                 os.path.join(REPO, "..", "..", "shared", "bench", "make_dataset.py"))
                     if os.path.exists(p)), os.path.join(REPO, "..", "shared", "bench", "make_dataset.py"))
PASSWORD = "benchmark-password"
# Disk space a dataset takes under --data, pristine and working copies,
# repositories and restore together (GiB, generous).
NEEDS_GIB = {"mixed": 7, "smallfiles": 3, "bigfile": 12}


def run(cmd, cwd=None, env=None, quiet=True):
    """Runs a command; returns (seconds, max RSS in MiB, CPU seconds of the
    process tree, user and system). Fails loudly."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, cwd=cwd, env=env,
                            stdout=subprocess.DEVNULL if quiet else None,
                            stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit(f"command failed ({code}): {' '.join(cmd)}\n{err}")
    return seconds, usage.ru_maxrss / 1024.0, usage.ru_utime + usage.ru_stime


def ensure_tools():
    missing = [p for p, b in (("restic", "restic"), ("borgbackup", "borg")) if not shutil.which(b)]
    if missing:
        subprocess.check_call(["apt-get", "install", "-y", "-q"] + missing)


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


class Vltool:
    """vltool's offline copies into a local store: what the wire adds to is
    measured against this."""
    name = "vl-local"

    def __init__(self, binary, work, restore_options=()):
        self.binary, self.work = binary, work
        self.restore_options = list(restore_options)
        self.keys = os.path.join(work, "keys")
        if not os.path.exists(os.path.join(self.keys, "local_key.bin")):
            fresh(self.keys)
            subprocess.check_call([binary, "keys", "generate", self.keys], stdout=subprocess.DEVNULL)

    def init(self):
        self.store = os.path.join(self.work, "store")
        self.cwd = os.path.join(self.work, "wd")
        fresh(self.store)
        fresh(self.cwd)

    def backup(self, data):
        return run([self.binary, "local", "backup", "--store", self.store, "--keys", self.keys, data],
                   cwd=self.cwd)

    def restore(self, target):
        return run([self.binary, "local", "restore", "--store", self.store, "--keys", self.keys,
                    "--to", target] + self.restore_options, cwd=self.cwd)


class VardlokNet:
    """The client over loopback against its own vl_server, both on this
    machine: `vardlok backup` and `vardlok restore`, each run in a home of
    its own. The server is started once per repository (init) with the
    development key; the client's working directory holds the account."""
    name = "vardlok"

    def __init__(self, bindir, work):
        self.vardlok = os.path.join(bindir, "src", "vardlok", "vardlok")
        self.server = os.path.join(bindir, "server", "vl_server")
        self.work = work
        self.proc = None

    def env(self):
        return dict(os.environ, HOME=self.home, XDG_DATA_HOME=os.path.join(self.home, "data"))

    def server_cpu(self):
        """CPU seconds (user + system) the server has used so far."""
        if not self.proc:
            return 0.0
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def client(self, *words):
        """Runs the client; its CPU figure includes what the server spent
        meanwhile, so that the wire is charged with both ends."""
        before = self.server_cpu()
        seconds, rss, cpu = run([self.vardlok] + list(words), cwd=self.home, env=self.env())
        return seconds, rss, cpu + self.server_cpu() - before

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait()
            self.proc = None

    def init(self):
        self.stop()
        data, self.home = os.path.join(self.work, "server"), os.path.join(self.work, "home")
        fresh(data)
        fresh(self.home)
        subprocess.check_call([self.server, "init", "--data", data, "--key-file",
                               os.path.join(REPO, "keys", "dev_server_key.full")],
                              stdout=subprocess.DEVNULL)
        self.proc = subprocess.Popen([self.server, "run", "--data", data, "--listen", "127.0.0.1:0",
                                      "--reserved-gib", "1000"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline().split()
        if len(line) != 3 or line[0] != "listening":
            sys.exit("vl_server did not start")
        self.address = line[2]
        self.recovery = os.path.join(self.home, "recovery.drf")
        self.client("server", self.address, "--key-record", os.path.join(data, "server_key.rec"))
        self.client("account", "create", self.recovery, "--name", "Bench", "--organisation", "-",
                    "--email", "bench@example.org")
        self.selected = None

    def backup(self, data):
        if self.selected != data:
            self.client("folders", "add", data)
            self.selected = data
        return self.client("backup")

    def restore(self, target):
        return self.client("restore", self.recovery, "--to", target)


class Restic:
    name = "restic"

    def __init__(self, work):
        self.work = work
        self.env = dict(os.environ, RESTIC_PASSWORD=PASSWORD)

    def init(self):
        self.repo = os.path.join(self.work, "repo")
        shutil.rmtree(self.repo, ignore_errors=True)
        run(["restic", "init", "--repo", self.repo], env=self.env)

    def backup(self, data):
        return run(["restic", "backup", "--repo", self.repo, "--quiet", data], env=self.env)

    def restore(self, target):
        return run(["restic", "restore", "latest", "--repo", self.repo, "--target", target],
                   env=self.env)


class Borg:
    name = "borg"

    def __init__(self, work):
        self.work = work
        self.env = dict(os.environ, BORG_PASSPHRASE=PASSWORD,
                        BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK="yes",
                        BORG_RELOCATED_REPO_ACCESS_IS_OK="yes")
        self.count = 0

    def init(self):
        self.repo = os.path.join(self.work, "repo")
        shutil.rmtree(self.repo, ignore_errors=True)
        run(["borg", "init", "--encryption=repokey", self.repo], env=self.env)
        self.count = 0

    def backup(self, data):
        self.count += 1
        # borg stores paths relative to its working folder: run it from the data's parent.
        parent, leaf = os.path.split(data.rstrip("/"))
        return run(["borg", "create", "--compression", "lz4", f"{self.repo}::c{self.count}", leaf],
                   cwd=parent, env=self.env)

    def restore(self, target):
        return run(["borg", "extract", f"{self.repo}::c{self.count}"], cwd=target, env=self.env)


def settle():
    """Writes dirty pages out before the next timed step, so that no tool pays
    for the previous one's writeback (a disk restore leaves about as much
    behind as it wrote)."""
    os.sync()


def timed_restore(tool, base):
    fresh(base)
    settle()
    return tool.restore(base)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", default=os.path.join(REPO, "build", "bench-data"))
    parser.add_argument("--work", default=None)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--datasets", default="mixed,smallfiles,bigfile")
    parser.add_argument("--scenarios", default="first,second,mutated,restore",
                        help="comma-separated subset of first,second,mutated,restore")
    parser.add_argument("--vltool", default=os.path.join(REPO, "build", "release", "tools", "vltool"))
    parser.add_argument("--bindir", default=os.path.join(REPO, "build", "release"),
                        help="build folder holding vardlok and vl_server")
    parser.add_argument("--tools", default="vardlok,vl-local,restic,borg",
                        help="comma-separated subset of vardlok,vl-local,restic,borg")
    parser.add_argument("--json", default=None, help="also write the raw results here")
    args = parser.parse_args()
    # The tools run in folders of their own: every path must be absolute.
    for name in ("data", "work", "vltool", "bindir"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    scenarios = set(args.scenarios.split(","))
    unknown = scenarios - {"first", "second", "mutated", "restore"}
    if unknown:
        sys.exit(f"unknown scenarios: {', '.join(sorted(unknown))}")
    if "second" in scenarios or "mutated" in scenarios or "restore" in scenarios:
        scenarios.add("first")
    if "mutated" in scenarios:
        scenarios.add("second")
    ensure_tools()
    os.makedirs(args.data, exist_ok=True)
    need = sum(NEEDS_GIB.get(ds, 0) for ds in args.datasets.split(","))
    free = shutil.disk_usage(args.data).free / 2**30
    if free < need:
        sys.exit(f"{args.data} has {free:.1f} GiB free; the datasets want about {need} GiB")
    pristine = os.path.join(args.data, "pristine")
    work = args.work or os.path.join(args.data, "work")
    for ds in args.datasets.split(","):
        if not os.path.isdir(os.path.join(pristine, ds)):
            subprocess.check_call([sys.executable, MAKE_DATASET, "create", ds, "--root", pristine])

    wanted = args.tools.split(",")
    every = {"vardlok": lambda: VardlokNet(args.bindir, os.path.join(work, "vardlok-net")),
             "vl-local": lambda: Vltool(args.vltool, os.path.join(work, "vardlok")),
             "restic": lambda: Restic(os.path.join(work, "restic")),
             "borg": lambda: Borg(os.path.join(work, "borg"))}
    if set(wanted) - set(every):
        sys.exit(f"unknown tools: {', '.join(sorted(set(wanted) - set(every)))}")
    tools = [every[name]() for name in every if name in wanted]
    for t in tools:
        os.makedirs(t.work, exist_ok=True)
    shm = "/dev/shm/vl-compare-restore"
    results = {}  # (dataset, scenario, tool) -> list of (seconds, rss)

    def note(ds, scenario, tool, measured):
        results.setdefault((ds, scenario, tool.name), []).append(measured)
        print(f"  {ds:10s} {scenario:16s} {tool.name:8s} {measured[0]:8.2f} s {measured[1]:8.0f} MiB"
              f" {measured[2]:8.2f} s CPU",
              flush=True)

    for ds in args.datasets.split(","):
        data = os.path.join(work, "data", ds)
        for r in range(args.rounds):
            order = tools[r % len(tools):] + tools[:r % len(tools)]
            # Fresh copy of the pristine data for this round, so that mutate
            # gives the same tree to every tool.
            shutil.rmtree(data, ignore_errors=True)
            os.makedirs(os.path.dirname(data), exist_ok=True)
            subprocess.check_call(["cp", "-a", os.path.join(pristine, ds), data])
            for t in order:
                t.init()
                settle()
                note(ds, "first", t, t.backup(data))
            if "second" in scenarios:
                for t in order:
                    settle()
                    note(ds, "second", t, t.backup(data))
            if "mutated" in scenarios:
                subprocess.check_call([sys.executable, MAKE_DATASET, "mutate", data,
                                       "--round", str(r + 1)], stdout=subprocess.DEVNULL)
                for t in order:
                    settle()
                    note(ds, "mutated", t, t.backup(data))
            if "restore" not in scenarios:
                continue
            for t in order:
                note(ds, "restore-disk", t, timed_restore(t, os.path.join(work, "restore")))
                shutil.rmtree(os.path.join(work, "restore"), ignore_errors=True)
                note(ds, "restore-shm", t, timed_restore(t, shm))
                shutil.rmtree(shm, ignore_errors=True)

    for t in tools:
        if hasattr(t, "stop"):
            t.stop()
    print("\nminimum seconds over %d rounds (peak MiB in brackets); ratio = vardlok / faster of "
          "restic and borg; wire = vardlok / vl-local" % args.rounds)
    print("CPU rows: minimum CPU seconds (user + system) of the same runs, which a busy machine"
          " disturbs less than the elapsed time (for vardlok the client's and the server's)")
    header = (f"{'dataset':10s} {'scenario':14s} " + " ".join(f"{t.name:>16s}" for t in tools) +
              "   ratio    wire")
    print(header)
    for ds in args.datasets.split(","):
        for scenario in ("first", "second", "mutated", "restore-disk", "restore-shm"):
            if not any((ds, scenario, t.name) in results for t in tools):
                continue
            cells, best = [], {}
            for t in tools:
                runs = results.get((ds, scenario, t.name), [])
                if not runs:
                    cells.append(f"{'-':>16s}")
                    continue
                secs = min(r[0] for r in runs)
                rss = max(r[1] for r in runs)
                best[t.name] = secs
                cells.append(f"{secs:8.2f} [{rss:5.0f}]")
            def ratios(figures):
                mine = figures.get("vardlok", figures.get("vl-local", 0))
                others = [v for k, v in figures.items() if k in ("restic", "borg")]
                ratio = mine / min(others) if others and min(others) > 0 else 0
                wire = (figures["vardlok"] / figures["vl-local"]
                        if "vardlok" in figures and figures.get("vl-local") else 0)
                return f"   {ratio:5.2f}   {wire:5.2f}"

            print(f"{ds:10s} {scenario:14s} " + " ".join(cells) + ratios(best))
            cpu = {t.name: min(r[2] for r in results[(ds, scenario, t.name)])
                   for t in tools if (ds, scenario, t.name) in results}
            print(f"{'':10s} {'  CPU':14s} " + " ".join(
                f"{cpu[t.name]:16.2f}" if t.name in cpu else f"{'-':>16s}" for t in tools)
                + ratios(cpu))
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"|".join(k): v for k, v in results.items()}, out, indent=1)


if __name__ == "__main__":
    main()
