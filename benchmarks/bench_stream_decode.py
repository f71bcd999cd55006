"""Cost of decoding while streaming: frames read with and without set_decoder, per frame.

Stim repetition-code memory experiments (rounds = distance) are written as KVLX files, one frame
per round of d - 1 ancillas, so the stream's inferred window is exactly one shot deep and a shot's
last frame carries that shot's decoded flips. Prints microseconds per frame without a decoder, with
one, the decode's own share, and the logical error rate next to PyMatching's on the same shots.

Usage: PYTHONPATH=<build>/python:python python3 benchmarks/bench_stream_decode.py
"""

import os
import tempfile
import time

import numpy as np
import pymatching
import stim

import _kelvane
from kelvane.kvlx import KvlxWriter


def read_all(path, dem=None):
    start = time.perf_counter()
    with _kelvane.KelvaneStream(path) as s:
        if dem is not None:
            s.set_decoder(dem)
        flips = [f.observable_flips if dem is not None else 0 for f in s]
    return time.perf_counter() - start, flips


def bench(distance, p, shots, workdir):
    circuit = stim.Circuit.generated("repetition_code:memory", distance=distance, rounds=distance,
                                     before_round_data_depolarization=p, before_measure_flip_probability=p)
    dem = circuit.detector_error_model(decompose_errors=True)
    ancillas = distance - 1
    rows = dem.num_detectors // ancillas
    dets, obs = circuit.compile_detector_sampler(seed=5).sample(shots, separate_observables=True)
    path = os.path.join(workdir, f"rep{distance}_{p}.kvlx")
    with open(path, "wb") as f:
        w = KvlxWriter(f)
        frame_id = 0
        for shot in dets:
            for r in range(rows):
                w.write_frame(frame_id=frame_id, round=r, detector_events=shot[r * ancillas:(r + 1) * ancillas],
                              meas_results=bytes(ancillas))
                frame_id += 1
    frames = shots * rows
    plain, _ = read_all(path)
    decoded, flips = read_all(path, dem)
    predicted = np.array(flips[rows - 1::rows], dtype=np.uint64)
    ler = np.mean(predicted != obs[:, 0])
    matching = pymatching.Matching.from_detector_error_model(dem)
    start = time.perf_counter()
    pm = matching.decode_batch(dets)[:, 0]
    pm_us = (time.perf_counter() - start) / shots * 1e6
    pm_ler = np.mean(pm != obs[:, 0])
    print(f"d={distance:2d} p={p:<5} frames={frames:6d}  read {plain / frames * 1e6:6.2f} us/frame  "
          f"read+decode {decoded / frames * 1e6:6.2f} us/frame  decode {(decoded - plain) / frames * 1e6:6.2f} us/frame  "
          f"LER {ler:.4f} (PyMatching {pm_ler:.4f}, {pm_us:.1f} us/shot batch)")


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as workdir:
        for distance, shots in [(5, 4000), (11, 1500), (17, 800), (25, 400)]:
            for p in (0.01, 0.03):
                bench(distance, p, shots, workdir)
