"""Throughput of KelvaneStream over KVLX files.

    PYTHONPATH=build/release/python:python python3 benchmarks/bench_stream.py [--frames N] [--ancillas 24 624]

For each ancilla count it writes a file of N frames (default 10^6; detector events fire with
probability 0.05), once without optional sections and once with the payload CRC that the
writers add by default (a metadata block holding only that entry), then times

  * ``for f in KelvaneStream(path): pass``
  * the same loop calling ``f.to_numpy_detector_events()`` on every frame
  * ``stream.read_batch(1 << 14)`` until the end (NumPy columns, no per-frame object)

and prints frames/s and MB/s (file bytes / wall time; the file is read once beforehand so it
is in the page cache). Each loop runs ``--repeat`` times and the best run is reported.
"""

from __future__ import annotations

import argparse
import os
import random
import struct
import tempfile
import time
import zlib

from _kelvane import KelvaneStream
from kelvane.kvlx import (
    FLAG_METADATA,
    FLAG_PAYLOAD_CRC,
    FRAME_HEADER_SIZE,
    TRAILER_SIZE,
    KvlxWriter,
    encode_frame,
    encode_frame_header,
)

TEMPLATES = 512


def write_file(path: str, frames: int, ancillas: int, payload_crc: bool, seed: int = 1) -> int:
    """Writes `frames` frames cycling through a few hundred random bodies; returns the file size."""
    rng = random.Random(seed)
    bodies = []
    for _ in range(TEMPLATES):
        events = [int(rng.random() < 0.05) for _ in range(ancillas)]
        meas = [rng.choice((-1, 1)) for _ in range(ancillas)]
        frame = encode_frame(frame_id=0, detector_events=events, meas_results=meas, payload_crc=payload_crc)
        bodies.append(frame[FRAME_HEADER_SIZE:-TRAILER_SIZE])
    trailer = struct.Struct("<HI")
    # The payload CRC covers only the payload, so a body keeps it under any header.
    flags = FLAG_METADATA | FLAG_PAYLOAD_CRC if payload_crc else 0
    with open(path, "wb") as f:
        w = KvlxWriter(f)
        batch = []
        for k in range(frames):
            header = encode_frame_header(
                frame_id=k, round=k, timestamp_ns=1000 * k, qubit_count=2 * ancillas + 1,
                ancilla_count=ancillas, code_type=1, distance=5, flags=flags,
            )
            batch += (header, bodies[k % TEMPLATES], trailer.pack(0xFFFF, zlib.crc32(header)))
            if len(batch) >= 3 * 20000:
                w.write_bytes(b"".join(batch))
                batch.clear()
        w.write_bytes(b"".join(batch))
    return os.path.getsize(path)


def loop_plain(path: str) -> int:
    n = 0
    for _ in KelvaneStream(path):
        n += 1
    return n


def loop_numpy(path: str) -> int:
    n = 0
    for f in KelvaneStream(path):
        f.to_numpy_detector_events()
        n += 1
    return n


def loop_batch(path: str) -> int:
    n, stream = 0, KelvaneStream(path)
    while len(batch := stream.read_batch(1 << 14)):
        n += len(batch)
    return n


def best_time(fn, path, expected, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        n = fn(path)
        best = min(best, time.perf_counter() - start)
        assert n == expected, (n, expected)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--frames", type=int, default=1_000_000)
    ap.add_argument("--ancillas", type=int, nargs="+", default=[24, 624])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--dir", default=None, help="where to write the files (default: a temp dir)")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        print(f"{'ancillas':>8} {'crc':>4} {'frames':>9} {'file MB':>8}  {'loop':<28} {'frames/s':>12} {'MB/s':>8}")
        for ancillas, payload_crc in ((a, c) for a in args.ancillas for c in (False, True)):
            path = os.path.join(tmp, f"bench_{ancillas}.kvlx")
            size = write_file(path, args.frames, ancillas, payload_crc)
            with open(path, "rb") as f:  # warm the page cache
                while f.read(1 << 24):
                    pass
            mb = size / 1e6
            loops = (("for f in stream", loop_plain), ("+ to_numpy_detector_events()", loop_numpy),
                     ("read_batch(1 << 14)", loop_batch))
            for name, fn in loops:
                t = best_time(fn, path, args.frames, args.repeat)
                crc = "yes" if payload_crc else "no"
                print(f"{ancillas:>8} {crc:>4} {args.frames:>9} {mb:>8.1f}  {name:<28} {args.frames / t:>12,.0f} {mb / t:>8.1f}")
            os.remove(path)


if __name__ == "__main__":
    main()
