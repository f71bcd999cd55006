"""Throughput of the pure-Python KVLX writer (kelvane.kvlx), in frames and megabytes per second,
and of its array form ``write_shots`` against a per-frame ``write_frame`` loop over the same shots.

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


def bench_shots(shots, detectors, density, rounds):
    """write_shots vs a write_frame loop writing the same frames (the bytes are checked equal)."""
    rng = np.random.default_rng(2)
    dets = rng.random((shots, detectors)) < density
    obs = rng.random((shots, 1)) < 0.5
    layout = np.arange(detectors).reshape(rounds, detectors // rounds) if rounds > 1 else None
    per_frame = detectors // rounds
    zeros = np.zeros(per_frame, dtype=np.int8)

    loop = io.BytesIO()
    w = KvlxWriter(loop)
    start = time.perf_counter()
    fid = 0
    for s in range(shots):
        rows = dets[s].reshape(rounds, per_frame)
        for r in range(rounds):
            flips = {"observable_flips": int(obs[s, 0])} if r == rounds - 1 else {}
            w.write_frame(fid, r, rows[r], zeros, **flips)
            fid += 1
    t_loop = time.perf_counter() - start

    batch = io.BytesIO()
    start = time.perf_counter()
    KvlxWriter(batch).write_shots(dets, obs, layout=layout)
    t_batch = time.perf_counter() - start
    assert batch.getvalue() == loop.getvalue()
    frames = shots * rounds
    print(f"write_shots {shots} shots x {detectors} detectors ({rounds} frame(s)/shot), density {density:4.2f}: "
          f"loop {frames / t_loop:9.0f} frames/s, write_shots {frames / t_batch:10.0f} frames/s "
          f"({len(batch.getvalue()) / t_batch / 1e6:6.1f} MB/s), speed-up {t_loop / t_batch:5.1f}x")


if __name__ == "__main__":
    bench_shots(20000, 24, 0.05, 1)
    bench_shots(20000, 120, 0.05, 5)
    bench_shots(5000, 624, 0.02, 1)
    bench_shots(2000, 624 * 4, 0.02, 4)
    for ancillas, frames in [(24, 20000), (288, 5000), (2000, 1000)]:
        for density in (0.01, 0.2):
            for as_numpy in (False, True):
                bench(ancillas, frames, density, as_numpy, sections=False)
    bench(288, 5000, 0.05, True, sections=True)
