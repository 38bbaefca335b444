#!/usr/bin/env python3
"""GET /health latency of the running companion while 1,100 slow peers hold
connections open (each sent one byte of its head and then nothing), from
127.0.0.1 and from 200 addresses of one IPv6 /64, against the idle figure.
Runs inside tools/e2e-sandbox (private network: the /64 is put on its `lo`).

Usage: tools/e2e-sandbox /usr/bin/python3 bench/flood_bench.py [BINARY] [--requests N]
"""
import argparse
import os
import pathlib
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from companion_support import Companion  # noqa: E402

PEERS, SLASH64, CLIENT6 = 1100, "fd00:aa::", "fd00:bb::1"


def health_ms(family, address, requests):
    """Latencies of `requests` one-at-a-time GET /health from `address`, in ms."""
    times = []
    for _ in range(requests):
        start = time.perf_counter()
        with socket.socket(family, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            s.bind((address, 0))
            s.connect(("::1" if family == socket.AF_INET6 else "127.0.0.1", 18765))
            s.sendall(b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            reply = b""
            while chunk := s.recv(65536):
                reply += chunk
        if not reply.startswith(b"HTTP/1.1 200"):
            sys.exit(f"flood_bench: /health from {address} answered {reply[:60]!r}")
        times.append((time.perf_counter() - start) * 1000)
    return times


def slow_peers(family, sources):
    peers = []
    for i in range(PEERS):
        s = socket.socket(family, socket.SOCK_STREAM)
        s.bind((sources[i % len(sources)], 0))
        s.setblocking(False)
        s.connect_ex(("::1" if family == socket.AF_INET6 else "127.0.0.1", 18765))
        peers.append(s)
    time.sleep(1)
    for s in peers:
        try:
            s.send(b"G")
        except OSError:
            pass  # closed by the server's caps: that is what is measured
    return peers


def report(name, times):
    times = sorted(times)
    p99 = times[min(len(times) - 1, len(times) * 99 // 100)]
    print(f"{name:<34} median {statistics.median(times):7.2f} ms   p99 {p99:7.2f} ms   ({len(times)} requests)")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary", nargs="?", default=str(pathlib.Path(__file__).resolve().parents[1] /
                                                     "build" / "dev" / "bin" / "tavlo-companion"))
    ap.add_argument("--requests", type=int, default=200)
    args = ap.parse_args()
    if os.environ.get("TAVLO_IN_SANDBOX") != "1":
        sys.exit("flood_bench: run it inside tools/e2e-sandbox")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    for i in range(1, 201):
        subprocess.run(["ip", "-6", "addr", "add", f"{SLASH64}{i:x}/64", "dev", "lo", "nodad"], check=True)
    subprocess.run(["ip", "-6", "addr", "add", f"{CLIENT6}/64", "dev", "lo", "nodad"], check=True)
    print("load average before:", " ".join(f"{x:.2f}" for x in os.getloadavg()))
    with tempfile.TemporaryDirectory() as tmp:
        companion = Companion(args.binary, pathlib.Path(tmp) / "home")
        companion.start()
        try:
            report("idle, from 127.0.0.1", health_ms(socket.AF_INET, "127.0.0.1", args.requests))
            peers = slow_peers(socket.AF_INET, ["127.0.0.1"])
            report("1,100 slow peers on 127.0.0.1", health_ms(socket.AF_INET, "127.0.0.1", args.requests))
            for s in peers:
                s.close()
            time.sleep(1)
            peers = slow_peers(socket.AF_INET6, [f"{SLASH64}{i:x}" for i in range(1, 201)])
            report("1,100 slow peers from one /64", health_ms(socket.AF_INET6, CLIENT6, args.requests))
            for s in peers:
                s.close()
        finally:
            companion.stop()
    print("load average after: ", " ".join(f"{x:.2f}" for x in os.getloadavg()))


if __name__ == "__main__":
    main()
