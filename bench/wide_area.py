#!/usr/bin/env python3
"""The first copy and the full restore of a dataset over a slow link.

The protocol answers every section before the next is sent, so each section
costs a round trip. This runs `vardlok backup` and `vardlok restore` against
a vl_server on loopback twice, interleaved: directly, and through
bench/tcp_proxy.py adding --delay-ms to each direction (the kernel here has
no netem). It prints both elapsed times, their difference, and beside it the
number of sections times the added round-trip time: the cost a link of that
latency adds when nothing overlaps the round trips.

usage: wide_area.py [--data DIR] [--dataset mixed] [--delay-ms 10] [--rounds 1]
                    [--bindir BUILD] [--work DIR]

--data is compare_tools.py's folder (the dataset is made there when missing).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import compare_tools  # noqa: E402  (same folder)


def start_proxy(target, delay_ms):
    proxy = subprocess.Popen([sys.executable, os.path.join(HERE, "tcp_proxy.py"), "--target", target,
                              "--delay-ms", str(delay_ms)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = proxy.stdout.readline().split()
    if len(line) != 3 or line[0] != "listening":
        sys.exit("tcp_proxy.py did not start")
    return proxy, line[2]


def stored_sections(server, data):
    out = subprocess.run([server, "check", "--data", data], capture_output=True, text=True).stdout
    found = re.search(r"(\d+) sections", out)
    return int(found.group(1)) if found else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", default=os.path.join(compare_tools.REPO, "build", "bench-data"))
    parser.add_argument("--work", default=None)
    parser.add_argument("--dataset", default="mixed")
    parser.add_argument("--delay-ms", type=float, default=10.0)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--bindir", default=os.path.join(compare_tools.REPO, "build", "release"))
    args = parser.parse_args()
    args.data, args.bindir = os.path.abspath(args.data), os.path.abspath(args.bindir)
    pristine = os.path.join(args.data, "pristine")
    work = os.path.abspath(args.work or os.path.join(args.data, "wide-area"))
    if not os.path.isdir(os.path.join(pristine, args.dataset)):
        subprocess.check_call([sys.executable, compare_tools.MAKE_DATASET, "create", args.dataset,
                               "--root", pristine])
    data = os.path.join(pristine, args.dataset)
    rtt = 2 * args.delay_ms / 1000.0
    best = {}
    sections = 0
    for r in range(args.rounds):
        direct = compare_tools.VardlokNet(args.bindir, os.path.join(work, "direct"))
        slow = compare_tools.VardlokNet(args.bindir, os.path.join(work, "slow"))
        proxy = None
        try:
            for net in (direct, slow):
                os.makedirs(net.work, exist_ok=True)
                net.init()
            proxy, address = start_proxy(slow.address, args.delay_ms)
            slow.client("server", address, "--key-record",
                        os.path.join(slow.work, "server", "server_key.rec"))
            for step in ("first", "restore"):
                for name, net in (("direct", direct), ("slow", slow)):
                    compare_tools.settle()
                    if step == "first":
                        measured = net.backup(data)
                    else:
                        measured = compare_tools.timed_restore(net, os.path.join(work, "restore"))
                        shutil.rmtree(os.path.join(work, "restore"), ignore_errors=True)
                    print(f"  round {r + 1} {step:8s} {name:7s} {measured[0]:8.2f} s "
                          f"{measured[2]:8.2f} s CPU", flush=True)
                    key = (step, name)
                    best[key] = min(best.get(key, measured[0]), measured[0])
            sections = stored_sections(slow.server, os.path.join(slow.work, "server"))
        finally:
            if proxy:
                proxy.terminate()
                proxy.wait()
            direct.stop()
            slow.stop()
    print(f"\n{args.dataset}: {sections} sections, added round trip {rtt * 1000:.0f} ms, "
          f"sections x RTT = {sections * rtt:.2f} s; minimum over {args.rounds} round(s)")
    print(f"{'step':10s} {'direct':>9s} {'+RTT':>9s} {'added':>9s} {'sections x RTT':>15s}")
    for step in ("first", "restore"):
        d, s = best[(step, "direct")], best[(step, "slow")]
        print(f"{step:10s} {d:9.2f} {s:9.2f} {s - d:9.2f} {sections * rtt:15.2f}")


if __name__ == "__main__":
    main()
