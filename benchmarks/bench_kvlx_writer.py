"""Throughput of the pure-Python KVLX writer (kelvane.kvlx), in frames and megabytes per second.

Usage: PYTHONPATH=<build>/python:python python3 benchmarks/bench_kvlx_writer.py
"""

import io
import time

import numpy as np

from kelvane.kvlx import KvlxWriter


def bench(ancillas, frames, density, as_numpy, sections):
    rng = np.random.default_rng(1)
    events = rng.random((frames, ancillas)) < density
    meas = rng.integers(-1, 2, size=(frames, ancillas), dtype=np.int8)
    extra = {}
    if sections:
        extra = dict(timing_offsets=[100] * ancillas, observable_flips=1, annotations=[(1, 2, 3)])
    rows = [(e if as_numpy else e.astype(int).tolist(), m if as_numpy else m.tolist()) for e, m in zip(events, meas)]
    buf = io.BytesIO()
    w = KvlxWriter(buf)
    start = time.perf_counter()
    for i, (e, m) in enumerate(rows):
        w.write_frame(frame_id=i, round=i, detector_events=e, meas_results=m, **extra)
    elapsed = time.perf_counter() - start
    kind = "numpy" if as_numpy else "list "
    print(f"{ancillas:5d} ancillas  density {density:4.2f}  {kind}  sections={int(sections)}  "
          f"{frames / elapsed:9.0f} frames/s  {w.bytes_written / elapsed / 1e6:6.2f} MB/s")


if __name__ == "__main__":
    for ancillas, frames in [(24, 20000), (288, 5000), (2000, 1000)]:
        for density in (0.01, 0.2):
            for as_numpy in (False, True):
                bench(ancillas, frames, density, as_numpy, sections=False)
    bench(288, 5000, 0.05, True, sections=True)
