#!/usr/bin/env python3
"""Our fallback paths beside OpenSSL's own fallbacks, on the same machine.

Most of our users' processors lack AVX-512 IFMA and many lack the SHA
instructions. This runs bench_rsa and bench_crypto with OpenSSL told that
those instructions are missing (OPENSSL_ia32cap, read by libcrypto when it is
loaded, hence a process of its own), and with our code forced onto the
matching paths, in the same rounds:

  private-key operation (RSA-2048, CRT)  ours on MULX/ADX and on the portable
                                         code against OpenSSL without IFMA
  SHA-256 of 1 MiB                       ours on AVX2 and on the portable code
                                         against OpenSSL without SHA-NI

OpenSSL's mask: the second 64-bit word covers cpuid leaf 7 (EBX in its low
half); bit 21 is AVX512IFMA, bit 29 SHA, so ":~0x20200000" clears both. A run
without the mask shows that OpenSSL honours it (its fast paths must be
faster). The machine is shared, so each figure is the median CPU time over
the rounds, and the benchmarks of a round run back to back.

usage: fallback_speed.py [--build build/bench] [--rounds 5]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
HIDE_IFMA_AND_SHA = ":~0x20200000"

RSA_FILTER = "OpenSslPrivate$|OursPrivateOnPath/path:[01]$"
SHA_FILTER = "Sha256_OpenSsl$|Sha256_Ours/path:[01]$"


def run(binary, pattern, mask):
    env = dict(os.environ)
    env.pop("OPENSSL_ia32cap", None)
    if mask is not None:
        env["OPENSSL_ia32cap"] = mask
    out = subprocess.run(
        [binary, "--benchmark_filter=" + pattern, "--benchmark_format=json",
         "--benchmark_min_time=0.5"],
        env=env, check=True, capture_output=True, text=True).stdout
    results = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("error_occurred"):
            continue
        if "bytes_per_second" in b:
            results[b["name"]] = b["bytes_per_second"] / 1e6  # MB/s
        else:
            scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
            results[b["name"]] = b["cpu_time"] * scale  # microseconds
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(REPO, "build", "bench"))
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    rsa = os.path.join(args.build, "bench", "bench_rsa")
    crypto = os.path.join(args.build, "bench", "bench_crypto")
    samples = {}
    for _ in range(args.rounds):
        for label, binary, pattern, mask in [
                ("fallback", rsa, RSA_FILTER, HIDE_IFMA_AND_SHA),
                ("fallback", crypto, SHA_FILTER, HIDE_IFMA_AND_SHA),
                ("full", rsa, "OpenSslPrivate$", None),
                ("full", crypto, "Sha256_OpenSsl$", None)]:
            for name, value in run(binary, pattern, mask).items():
                samples.setdefault((label, name), []).append(value)
    median = {key: statistics.median(values) for key, values in samples.items()}

    def get(label, name):
        return median.get((label, name))

    print(f"OPENSSL_ia32cap={HIDE_IFMA_AND_SHA}, median of {args.rounds} rounds (CPU time)\n")
    openssl_rsa = get("fallback", "OpenSslPrivate")
    print("RSA-2048 private-key operation, microseconds (lower is better)")
    print(f"  OpenSSL, IFMA hidden        {openssl_rsa:9.1f}")
    print(f"  OpenSSL, all it has         {get('full', 'OpenSslPrivate'):9.1f}")
    for path, name in [("MULX/ADX", "OursPrivateOnPath/path:1"),
                       ("portable", "OursPrivateOnPath/path:0")]:
        ours = get("fallback", name)
        if ours is None:
            print(f"  ours, {path:21s}  not on this processor")
            continue
        print(f"  ours, {path:21s} {ours:9.1f}   {ours / openssl_rsa:.2f} x OpenSSL's fallback")

    openssl_sha = get("fallback", "Sha256_OpenSsl")
    print("\nSHA-256 of 1 MiB, MB/s (higher is better)")
    print(f"  OpenSSL, SHA-NI hidden      {openssl_sha:9.1f}")
    print(f"  OpenSSL, all it has         {get('full', 'Sha256_OpenSsl'):9.1f}")
    for path, name in [("AVX2", "Sha256_Ours/path:1"), ("portable", "Sha256_Ours/path:0")]:
        ours = get("fallback", name)
        if ours is None:
            print(f"  ours, {path:21s}  not on this processor")
            continue
        print(f"  ours, {path:21s} {ours:9.1f}   {openssl_sha / ours:.2f} x OpenSSL's fallback time")

    if get("full", "OpenSslPrivate") >= openssl_rsa or get("full", "Sha256_OpenSsl") <= openssl_sha:
        print("\nwarning: OpenSSL was not slower with the mask; it may not honour it here",
              file=sys.stderr)


if __name__ == "__main__":
    main()
