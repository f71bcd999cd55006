"""decode_sliding rounds/s of two or more builds of _kelvane, measured in the same run.

    python3 benchmarks/bench_sliding_builds.py BUILD_PYTHON_DIR [BUILD_PYTHON_DIR ...] [--repeats N]

Each directory holds a built _kelvane (e.g. build/release/python, or a copy kept from before a
change); only the extension is used, so builds of different ages compare. Stim rotated surface-code Z memory, 10*d rounds, circuit noise p = 0.001, windows of
commit = buffer = d, d = 5, 9 and 13; each shot array is decoded 32 shots per call, so that
with num_threads=2 every shot is decoded in core and seam windows on both threads. A figure is
the best wall-clock rounds/s of 5 passes in a fresh process; the builds alternate, `repeats`
processes each, and the best is printed, so that a loaded machine slows them alike.
"""

import argparse
import json
import subprocess
import sys

CHILD = r'''
import json, sys, time
sys.path.insert(0, sys.argv[1])
import _kelvane
import stim
d, threads, p = int(sys.argv[2]), int(sys.argv[3]), 0.001
circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=d, rounds=10 * d,
                                 after_clifford_depolarization=p, before_measure_flip_probability=p,
                                 after_reset_flip_probability=p, before_round_data_depolarization=p)
graph = _kelvane.SpacetimeGraph.from_detector_error_model(circuit.detector_error_model(decompose_errors=True))
shots = {5: 640, 9: 256, 13: 128}.get(d, 128)
dets = circuit.compile_detector_sampler(seed=7).sample(shots)
graph.decode_sliding(dets[:4], commit=d, buffer=d, num_threads=threads)  # window graphs built
best = float("inf")
for _ in range(5):
    t = time.perf_counter()
    for k in range(0, shots, 32):
        graph.decode_sliding(dets[k:k + 32], commit=d, buffer=d, num_threads=threads)
    best = min(best, time.perf_counter() - t)
print(json.dumps(shots * 10 * d / best))
'''


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+", help="directories holding a built _kelvane")
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--distances", type=int, nargs="+", default=[5, 9, 13])
    args = parser.parse_args()
    print("| d | threads | " + " | ".join(args.builds) + " |")
    print("|---|---|" + "---|" * len(args.builds))
    for d in args.distances:
        for threads in (1, 2):
            best = dict.fromkeys(args.builds, 0.0)
            for _ in range(args.repeats):
                for build in args.builds:
                    out = subprocess.run([sys.executable, "-c", CHILD, build, str(d), str(threads)],
                                         capture_output=True, text=True, check=True).stdout
                    best[build] = max(best[build], json.loads(out))
            print(f"| {d} | {threads} | " + " | ".join(f"{best[b]:,.0f}" for b in args.builds) + " |", flush=True)


if __name__ == "__main__":
    main()
