#!/usr/bin/env python3
"""Load on one vl_server: many clients opening exchanges at once.

Initialises a server in a temporary folder with the development key
(keys/dev_server_key.full), runs it on a free loopback port, and runs
server_load against it: first --clients clients for --seconds, then one
client alone for a few seconds with transport encryption off and on (the
time of one whole exchange start on loopback). Reports admitted starts per
second, the 50th and 99th percentile of a start's time, failed starts, the
server's resident memory over the run (after the first tenth, the warm-up:
mean of the first third against the last third) and how many start digests the server keeps for its replay check.

    bench/server_load.py                       # 50 clients, 30 s
    bench/server_load.py --seconds 300 --clients 50 --data-parent /dev/shm

Both programs come from the bench build (scripts/build.sh bench). Exits 1
when a start failed or the memory grew by more than --growth-limit.
"""
import argparse
import os
import sqlite3
import subprocess
import sys
import tempfile
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def run_load(load, port, clients, seconds, accounts, encrypt, use=None):
    command = [load, "--server", f"127.0.0.1:{port}", "--clients", str(clients),
               "--seconds", str(seconds), "--accounts", str(accounts),
               "--encrypt", str(encrypt)]
    if use:
        command += ["--use-accounts", use]
    done = subprocess.run(command, capture_output=True, text=True)
    sys.stderr.write(done.stderr)
    figures = {}
    for line in done.stdout.splitlines():
        name, value = line.split()
        figures[name] = float(value)
    figures["exit"] = done.returncode
    return figures


def sample_memory(pid, stop, samples):
    while not stop.is_set():
        samples.append(rss_kib(pid))
        stop.wait(0.5)


def kept_starts(database):
    connection = sqlite3.connect(f"file:{database}?mode=ro", uri=True)
    try:
        return connection.execute("SELECT COUNT(*) FROM used_starts").fetchone()[0]
    finally:
        connection.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--accounts", type=int, default=3)
    parser.add_argument("--encrypt", type=int, choices=(0, 1), default=1)
    parser.add_argument("--single-seconds", type=int, default=5,
                        help="one client alone, encryption off and on, after the load (0: skip)")
    parser.add_argument("--data-parent", default=None,
                        help="where the server's temporary folder goes (default: the system's)")
    parser.add_argument("--growth-limit", type=float, default=0.10,
                        help="largest allowed growth of the server's memory, last third "
                             "against first third")
    args = parser.parse_args()

    server = os.path.join(args.build, "server", "vl_server")
    load = os.path.join(args.build, "bench", "server_load")
    for program in (server, load):
        if not os.access(program, os.X_OK):
            sys.exit(f"{program} is missing: scripts/build.sh bench")

    with tempfile.TemporaryDirectory(dir=args.data_parent) as folder:
        data = os.path.join(folder, "server")
        subprocess.run([server, "init", "--data", data, "--key-file",
                        os.path.join(ROOT, "keys", "dev_server_key.full")],
                       check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(folder, "server.log"), "w") as log:
            # Every client comes from 127.0.0.1 and opens its next connection
            # while the server may still hold the last one: the limits leave
            # room for two per client, so a refused connection is a fault.
            room = str(max(64, 2 * args.clients))
            process = subprocess.Popen([server, "run", "--data", data, "--listen", "127.0.0.1:0",
                                        "--max-connections", room,
                                        "--connections-per-address", room],
                                       stdout=subprocess.PIPE, stderr=log, text=True)
            try:
                line = process.stdout.readline()
                if not line.startswith("listening on "):
                    sys.exit(f"the server did not start: {line!r}")
                port = int(line.rsplit(":", 1)[1])
                return measure(args, load, port, process.pid,
                               os.path.join(data, "accounts.db"))
            finally:
                process.terminate()
                process.wait(timeout=30)


def measure(args, load, port, pid, database):
    samples = []
    stop = threading.Event()
    sampler = threading.Thread(target=sample_memory, args=(pid, stop, samples))
    sampler.start()
    figures = run_load(load, port, args.clients, args.seconds, args.accounts, args.encrypt)
    stop.set()
    sampler.join()
    failed = int(figures.get("failed", 1)) + (0 if figures.get("admitted") else 1)

    # The first tenth is the warm-up (threads, caches, the first accounts);
    # flat memory is judged on the rest.
    steady = samples[len(samples) // 10:]
    third = max(1, len(steady) // 3)
    first = sum(steady[:third]) / third
    last = sum(steady[-third:]) / third
    growth = (last - first) / first if first else 0.0
    print(f"{args.clients} clients for {figures.get('seconds', 0):.1f} s, transport encryption "
          f"{'on' if args.encrypt else 'off'}, {args.accounts} accounts:")
    print(f"  admitted starts: {int(figures.get('admitted', 0))}, "
          f"{figures.get('starts_per_second', 0):.1f}/s; failed starts: "
          f"{int(figures.get('failed', 0))}")
    print(f"  start time p50 {figures.get('p50_ms', 0):.2f} ms, p99 {figures.get('p99_ms', 0):.2f}"
          f" ms, max {figures.get('max_ms', 0):.2f} ms (round trip alone p50 "
          f"{figures.get('rtt_p50_ms', 0):.2f} ms, p99 {figures.get('rtt_p99_ms', 0):.2f} ms)")
    print(f"  server RSS after warm-up: first third {first / 1024:.1f} MiB, last third {last / 1024:.1f} MiB "
          f"({growth * 100:+.1f}%), peak {max(samples, default=0) / 1024:.1f} MiB, "
          f"{len(samples)} samples")
    tenths = [samples[len(samples) * i // 10] / 1024 for i in range(10)] if samples else []
    print("  server RSS by tenths of the run (MiB): " + " ".join(f"{v:.1f}" for v in tenths))
    print(f"  start digests kept for the replay check: {kept_starts(database)}")

    # One client alone on the idle server, with an account the load made.
    for encrypt in (0, 1) if args.single_seconds else ():
        single = run_load(load, port, 1, args.single_seconds, 1, encrypt, use="1")
        failed += int(single.get("failed", 1))
        print(f"one client, transport encryption {'on' if encrypt else 'off'}: "
              f"{int(single.get('admitted', 0))} starts, p50 {single.get('p50_ms', 0):.2f} ms, "
              f"p99 {single.get('p99_ms', 0):.2f} ms (round trip alone p50 "
              f"{single.get('rtt_p50_ms', 0):.2f} ms)")
    return 1 if failed or growth > args.growth_limit else 0


if __name__ == "__main__":
    sys.exit(main())
