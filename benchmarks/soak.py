"""Soak test of KelvaneStream resources (not run in CI).

    PYTHONPATH=build/release/python:python python3 benchmarks/soak.py [--scale 1.0]

Runs, in one process:

  * 10,000 file streams opened, read to the end and closed;
  * 2,000 TCP streams to a server thread of this process, read to the end and closed;
  * 10^6 frame objects read from one file and dropped;
  * 300 streams open at once (each having read one frame), then all closed.

After each phase it prints the process's resident memory, open file descriptors and threads
against the baseline taken before the first stream. `--scale` multiplies the counts (0.1 for
a quick look). The exit status is 1 when descriptors or threads are not back at the baseline
at the end.
"""

from __future__ import annotations

import argparse
import gc
import os
import socket
import tempfile
import threading
import time

from _kelvane import KelvaneStream
from kelvane.kvlx import KvlxWriter


def usage():
    with open("/proc/self/status") as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return rss / 1024.0, len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))


def write_frames(path, count, ancillas=24):
    with open(path, "wb") as f:
        w = KvlxWriter(f)
        for i in range(count):
            events = [(i + j) % 7 == 0 for j in range(ancillas)]
            w.write_frame(frame_id=i, round=i, detector_events=[int(e) for e in events], meas_results=[1] * ancillas)


def serve(listener, data, count):
    for _ in range(count):
        conn, _ = listener.accept()
        with conn:
            conn.sendall(data)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--scale", type=float, default=1.0)
    args = ap.parse_args()
    n = lambda k: max(1, int(k * args.scale))  # noqa: E731

    tmp = tempfile.mkdtemp(prefix="kelvane_soak_")
    small = os.path.join(tmp, "small.kvlx")
    large = os.path.join(tmp, "large.kvlx")
    write_frames(small, 20)
    write_frames(large, 100_000)
    data = open(small, "rb").read()

    gc.collect()
    base = usage()
    print(f"{'phase':<38} {'RSS MiB':>9} {'fds':>5} {'threads':>8} {'seconds':>8}")
    print(f"{'baseline':<38} {base[0]:9.1f} {base[1]:5d} {base[2]:8d}")

    def report(name, started):
        gc.collect()
        rss, fds, threads = usage()
        print(f"{name:<38} {rss:9.1f} {fds:5d} {threads:8d} {time.perf_counter() - started:8.1f}", flush=True)

    t = time.perf_counter()
    for _ in range(n(10_000)):
        with KelvaneStream(small) as s:
            assert sum(1 for _ in s) == 20
    report(f"{n(10_000)} file streams", t)

    t = time.perf_counter()
    listener = socket.create_server(("127.0.0.1", 0), backlog=64)
    address = "tcp://127.0.0.1:%d" % listener.getsockname()[1]
    server = threading.Thread(target=serve, args=(listener, data, n(2_000)))
    server.start()
    for _ in range(n(2_000)):
        with KelvaneStream(address) as s:
            assert sum(1 for _ in s) == 20
    server.join()
    listener.close()
    report(f"{n(2_000)} TCP streams", t)

    t = time.perf_counter()
    frames = 0
    while frames < n(1_000_000):
        for f in KelvaneStream(large):
            frames += 1
    report(f"{frames} frame objects", t)

    t = time.perf_counter()
    streams = [KelvaneStream(small) for _ in range(n(300))]
    for s in streams:
        next(s)
    report(f"{n(300)} streams open at once", t)
    for s in streams:
        s.close()
    del streams, s
    report(f"{n(300)} streams closed", t)

    end = usage()
    for name in os.listdir(tmp):
        os.unlink(os.path.join(tmp, name))
    os.rmdir(tmp)
    back = end[1] == base[1] and end[2] == base[2]
    print("descriptors and threads back at the baseline" if back else "NOT back at the baseline")
    raise SystemExit(0 if back else 1)


if __name__ == "__main__":
    main()
