#!/usr/bin/env python3
"""Figures of the running companion, measured against the real binary inside
tools/e2e-sandbox (private network, fake back ends on their real ports):

  start-up to a listening port, resident memory after start (headless, and
  with the panel on an Xvfb display when Xvfb is installed), the time from a
  request's first byte to the generate reply with an instant back end, 64
  generates at once against a back end that answers after 1 s (with GET
  /health latency meanwhile), and the CPU used by idle refreshing.

Usage: tools/e2e-sandbox /usr/bin/python3 bench/companion_bench.py [BINARY] [--idle-seconds N]
"""
import argparse
import collections
import concurrent.futures
import os
import pathlib
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from companion_support import Companion, FakeBackend  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def rss_mb(pid):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def panel_rss(binary, home):
    """Resident memory of the companion showing its panel on a fresh Xvfb display."""
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    display = ":" + xvfb.stdout.readline().decode().strip()
    c = Companion(binary, home, {"DISPLAY": display})
    c.log = open(pathlib.Path(home) / "panel.log", "ab")
    c.proc = subprocess.Popen([binary, "--panel"], env=c.env, stdout=c.log, stderr=c.log)
    def serving():
        try:
            return c.get_json("/health")[1]["ok"]
        except OSError:
            return False

    try:
        c.wait_for(serving, timeout=20)
        time.sleep(2)  # the panel is drawn
        return rss_mb(c.proc.pid), threads(c.proc.pid)
    finally:
        c.stop()
        xvfb.kill()
        xvfb.wait()
        xvfb.stdout.close()


def raw_request(payload):
    start = time.perf_counter()
    s = socket.create_connection(("127.0.0.1", 18765))
    s.sendall(payload)
    while s.recv(65536):
        pass
    s.close()
    return time.perf_counter() - start


def status_of(payload):
    """The reply's status code; a refused upload whose socket closes under it counts as 0."""
    reply = b""
    try:
        with socket.create_connection(("127.0.0.1", 18765)) as s:
            s.sendall(payload)
            while chunk := s.recv(65536):
                reply += chunk
    except OSError:
        return 0
    parts = reply.split(b" ", 2)
    return int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary", nargs="?", default=str(pathlib.Path(__file__).resolve().parents[1] /
                                                     "build/dev/bin/tavlo-companion"))
    ap.add_argument("--idle-seconds", type=float, default=30.0)
    args = ap.parse_args()
    if os.environ.get("TAVLO_IN_SANDBOX") != "1":
        sys.exit("run me inside tools/e2e-sandbox")

    ollama, lmstudio = FakeBackend("ollama"), FakeBackend("lmstudio")
    ollama.models = ["bench-model"]
    home = tempfile.mkdtemp(prefix="tavlo-bench-", dir=os.environ.get("TAVLO_BENCH_DIR"))
    c = Companion(args.binary, home)

    starts = []
    for _ in range(5):
        t0 = time.perf_counter()
        c.start()
        starts.append(time.perf_counter() - t0)
        c.stop()
    print(f"start-up to listening port: median {statistics.median(starts) * 1000:.1f} ms (5 runs, no Tailscale)")

    c.start()
    c.wait_for(lambda: c.get_json("/health")[1]["selected_model"])
    time.sleep(1)
    print(f"resident memory after start: {rss_mb(c.proc.pid):.1f} MB, {threads(c.proc.pid)} threads (headless)")

    body = b'{"prompt":"Make a dark-mode toggle"}'
    gen = (b"POST /generate HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + str(len(body)).encode() +
           b"\r\n\r\n" + body)
    health = b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    for _ in range(20):
        raw_request(gen)
    times = [raw_request(gen) for _ in range(200)]
    print(f"generate, instant back end: median {statistics.median(times) * 1000:.2f} ms, "
          f"p99 {pct(times, 99) * 1000:.2f} ms (request's first byte to the reply, pack written)")
    htimes = [raw_request(health) for _ in range(500)]
    print(f"GET /health alone: median {statistics.median(htimes) * 1000:.3f} ms, p99 {pct(htimes, 99) * 1000:.3f} ms")

    # 64 generates at once against a back end that answers after one second.
    orig = ollama.RequestHandlerClass.do_POST

    def slow_post(handler):
        time.sleep(1.0)
        orig(handler)

    ollama.RequestHandlerClass.do_POST = slow_post
    with concurrent.futures.ThreadPoolExecutor(max_workers=80) as pool:
        t0 = time.perf_counter()
        futures = [pool.submit(status_of, gen) for _ in range(64)]
        during = []
        while not all(f.done() for f in futures):
            during.append(raw_request(health))
        wall = time.perf_counter() - t0
    codes = collections.Counter(f.result() for f in futures)
    # At most TAVLO_MAX_RUNS run at once and 16 wait: the rest are refused as busy (503).
    print(f"64 generates at once, 1 s back end: all answered in {wall:.2f} s "
          f"({codes[200]} packs, {codes[503]} busy, {64 - codes[200] - codes[503]} other); "
          f"GET /health meanwhile p99 {pct(during, 99) * 1000:.2f} ms over {len(during)} requests")
    ollama.RequestHandlerClass.do_POST = orig

    before = cpu_seconds(c.proc.pid)
    time.sleep(args.idle_seconds)
    used = cpu_seconds(c.proc.pid) - before
    print(f"idle refreshing: {used:.2f} s CPU in {args.idle_seconds:.0f} s, "
          f"{used * 3600 / args.idle_seconds:.1f} s per hour")
    c.stop()
    if shutil.which("Xvfb"):
        rss, count = panel_rss(args.binary, home)
        print(f"resident memory with the panel shown (Xvfb): {rss:.1f} MB, {count} threads")
    ollama.close()
    lmstudio.close()


if __name__ == "__main__":
    main()
