"""Bulk reading against Stim's b8 reader, side by side on the same shots.

    PYTHONPATH=build/release/python:python python3 benchmarks/bench_read_vs_stim.py \\
        [--shots N] [--codes 3x3 9x1 13x1 5x26] [--repeat 5] [--baseline-build DIR] [--json FILE]

For each rotated surface-code Z memory (distance x rounds; p = 0.001 on Stim's four noise knobs)
it samples N shots of detection events with Stim, writes them once as a b8 file
(``stim.write_shot_data_file``) and once as a KVLX file of one frame per shot
(``KvlxWriter.write_shots``: every detector an ancilla of the frame, payload CRC on), reads the
page cache warm, then times

  * Stim: ``stim.read_shot_data_file(path=..., format="b8", num_detectors=D)``
  * kelvane: ``kelvane.open(path).read_batch(1 << 16)`` until the end (every check made: header,
    payload and trailer CRCs, frame ids, event lengths)

each the best of ``--repeat`` runs, in CPU time of this process (both readers run on the calling
thread; CPU time is what a shared machine leaves steady) and in wall time. Both give the same
shots x detectors bool array; the script checks that they agree. With ``--baseline-build`` the
kelvane reader of another build (its ``python/`` directory holds ``_kelvane``) is timed on the
same file in a child process, for a before/after comparison. Prints a Markdown table and JSON.
The block parser alone, as the live path runs it (no NumPy columns, the file in memory), is timed
by ``build/release/kvlx_block_timing FILE.kvlx``.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

BATCH = 1 << 16


def read_kelvane(path: str) -> tuple[int, np.ndarray | None]:
    import kelvane

    stream = kelvane.open(path)
    n, first = 0, None
    while len(batch := stream.read_batch(BATCH)):
        if first is None:
            first = batch.detector_events
        n += len(batch)
    return n, first


def best_of(fn, repeat: int) -> tuple[float, float]:
    """(CPU seconds, wall seconds), each the best of `repeat` runs."""
    cpu = wall = float("inf")
    for _ in range(repeat):
        c, w = time.process_time(), time.perf_counter()
        fn()
        cpu, wall = min(cpu, time.process_time() - c), min(wall, time.perf_counter() - w)
    return cpu, wall


def time_kelvane(path: str, shots: int, repeat: int) -> tuple[float, float]:
    def run():
        n, _ = read_kelvane(path)
        assert n == shots, (n, shots)

    run()
    return best_of(run, repeat)


def baseline(build: str, path: str, shots: int, repeat: int) -> tuple[float, float]:
    """The kelvane reader of another build, timed in a child process on the same file."""
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, KELVANE_BUILD_DIR=build,
               PYTHONPATH=os.pathsep.join([os.path.join(build, "python"), os.path.join(here, "..", "python")]))
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--time-kelvane", path, str(shots), str(repeat)],
                         env=env, check=True, capture_output=True, text=True).stdout
    cpu, wall = json.loads(out.strip().splitlines()[-1])
    return cpu, wall


def sample(distance: int, rounds: int, shots: int) -> np.ndarray:
    import stim

    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_z", distance=distance, rounds=rounds, after_clifford_depolarization=0.001,
        before_round_data_depolarization=0.001, before_measure_flip_probability=0.001,
        after_reset_flip_probability=0.001)
    return circuit.compile_detector_sampler(seed=1).sample(shots)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--shots", type=int, default=1_000_000)
    ap.add_argument("--codes", nargs="+", default=["3x3", "9x1", "13x1", "5x26"],
                    help="distance x rounds of each memory (detectors per shot: 24, 80, 168, 624)")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--baseline-build", default=None, help="another build directory to time on the same files")
    ap.add_argument("--json", default=None, help="also write the JSON to this file")
    ap.add_argument("--dir", default=None, help="where to write the files (default: a temp dir)")
    ap.add_argument("--time-kelvane", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.time_kelvane:  # the child of --baseline-build
        path, shots, repeat = args.time_kelvane
        print(json.dumps(time_kelvane(path, int(shots), int(repeat))))
        return

    import stim

    from kelvane.kvlx import KvlxWriter

    rows = []
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        for code in args.codes:
            distance, rounds = (int(x) for x in code.split("x"))
            dets = sample(distance, rounds, args.shots)
            detectors = dets.shape[1]
            b8 = os.path.join(tmp, f"{code}.b8")
            kvlx = os.path.join(tmp, f"{code}.kvlx")
            stim.write_shot_data_file(data=dets, path=b8, format="b8", num_detectors=detectors)
            with open(kvlx, "wb") as f:
                KvlxWriter(f).write_shots(dets)
            for p in (b8, kvlx):  # warm the page cache
                with open(p, "rb") as f:
                    while f.read(1 << 24):
                        pass
            got = stim.read_shot_data_file(path=b8, format="b8", num_detectors=detectors)
            _, first = read_kelvane(kvlx)
            assert np.array_equal(got[: len(first)], first) and np.array_equal(got, dets)
            del got, first
            stim_cpu, stim_wall = best_of(
                lambda: stim.read_shot_data_file(path=b8, format="b8", num_detectors=detectors), args.repeat)
            kv_cpu, kv_wall = time_kelvane(kvlx, args.shots, args.repeat)
            row = {
                "code": f"d={distance}, {rounds} rounds", "detectors": detectors, "shots": args.shots,
                "events_per_shot": float(dets.sum() / args.shots),
                "b8_bytes_per_shot": os.path.getsize(b8) / args.shots,
                "kvlx_bytes_per_shot": os.path.getsize(kvlx) / args.shots,
                "stim_cpu_us": 1e6 * stim_cpu / args.shots, "stim_wall_us": 1e6 * stim_wall / args.shots,
                "kelvane_cpu_us": 1e6 * kv_cpu / args.shots, "kelvane_wall_us": 1e6 * kv_wall / args.shots,
            }
            if args.baseline_build:
                base_cpu, base_wall = baseline(args.baseline_build, kvlx, args.shots, args.repeat)
                row["baseline_cpu_us"] = 1e6 * base_cpu / args.shots
                row["baseline_wall_us"] = 1e6 * base_wall / args.shots
            rows.append(row)
            os.remove(b8)
            os.remove(kvlx)

    base = args.baseline_build is not None
    head = "| detectors | code | KVLX / b8 bytes | Stim b8 M shots/s | kelvane M frames/s | kelvane / Stim |"
    head += " kelvane µs/frame (CPU, wall) |" + (" baseline µs/frame (CPU, wall) | speed-up |" if base else "")
    print(head)
    print("|" + "---|" * (head.count("|") - 1))
    for r in rows:
        line = (f"| {r['detectors']} | {r['code']} | {r['kvlx_bytes_per_shot']:.0f} / {r['b8_bytes_per_shot']:.0f} "
                f"| {1 / r['stim_cpu_us']:.2f} | {1 / r['kelvane_cpu_us']:.2f} "
                f"| {r['stim_cpu_us'] / r['kelvane_cpu_us']:.2f}× "
                f"| {r['kelvane_cpu_us']:.3f}, {r['kelvane_wall_us']:.3f} |")
        if base:
            line += (f" {r['baseline_cpu_us']:.3f}, {r['baseline_wall_us']:.3f} "
                     f"| {r['baseline_cpu_us'] / r['kelvane_cpu_us']:.2f}× |")
        print(line)
    print("\n(frames/s from CPU time, best of", args.repeat, "runs; µs per frame as CPU time, wall time)\n")
    text = json.dumps({"benchmark": "read_vs_stim", "batch": BATCH, "rows": rows}, indent=1)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
