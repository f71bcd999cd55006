"""Union-Find decoding speed and accuracy beside PyMatching on rotated surface-code memories.

For each distance d and physical error rate p, a rotated surface-code memory circuit with d
rounds and uniform circuit noise is sampled with Stim; the same shots are decoded by
`SpacetimeGraph.decode_batch` and by `pymatching.Matching.decode_batch`, and the table gives
microseconds per shot (best of the timed runs; decoder construction excluded for both, ours
shown apart) and logical error rates side by side, with the failure counts behind them (at
p = 0.001 the larger codes see no failure at all in these shot counts).

    PYTHONPATH=build/release/python:python python3 benchmarks/bench_decoder.py [--scale 1.0]
"""

import argparse
import time

import numpy as np
import pymatching
import stim

import _kelvane

DISTANCES = (5, 9, 13, 17)
ERROR_RATES = (0.001, 0.005)
BASE_SHOTS = {5: 100_000, 9: 20_000, 13: 10_000, 17: 6_000}


def circuit_for(distance, p):
    return stim.Circuit.generated(
        "surface_code:rotated_memory_x",
        distance=distance,
        rounds=distance,
        after_clifford_depolarization=p,
        before_round_data_depolarization=p,
        before_measure_flip_probability=p,
        after_reset_flip_probability=p,
    )


def best_time(fn, repeats):
    best = float("inf")
    result = None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiply the shot counts")
    parser.add_argument("--repeats", type=int, default=3, help="timed runs per decoder (best kept)")
    args = parser.parse_args()

    header = (
        f"{'d':>3} {'p':>6} {'dets':>6} {'fired':>6} {'shots':>7} | {'UF us/shot':>10} {'PM us/shot':>10} "
        f"{'speedup':>7} | {'UF LER':>9} {'PM LER':>9} {'LER ratio':>9} {'fails UF/PM':>11} | {'UF build ms':>11}"
    )
    print(header)
    print("-" * len(header))
    for distance in DISTANCES:
        for p in ERROR_RATES:
            shots = max(100, int(BASE_SHOTS[distance] * args.scale))
            circuit = circuit_for(distance, p)
            dem = circuit.detector_error_model(decompose_errors=True)
            detections, observables = circuit.compile_detector_sampler(seed=distance * 1000 + int(p * 1e4)).sample(
                shots, separate_observables=True
            )
            actual = observables[:, 0]

            start = time.perf_counter()
            graph = _kelvane.DetectorErrorModel.parse(str(dem)).to_graph()
            graph.decode_batch(detections[:1])  # builds the decoder this graph's decodes reuse
            build_ms = (time.perf_counter() - start) * 1e3
            matching = pymatching.Matching.from_detector_error_model(dem)

            uf_time, uf_bits = best_time(lambda: graph.decode_batch(detections), args.repeats)
            pm_time, pm_bits = best_time(lambda: matching.decode_batch(detections), args.repeats)

            uf_fails = int(np.count_nonzero(uf_bits[:, 0].astype(bool) != actual))
            pm_fails = int(np.count_nonzero(pm_bits[:, 0].astype(bool) != actual))
            uf_ler = uf_fails / shots
            pm_ler = pm_fails / shots
            uf_us = uf_time / shots * 1e6
            pm_us = pm_time / shots * 1e6
            ratio = f"{uf_ler / pm_ler:9.2f}" if pm_ler > 0 else f"{'n/a':>9}"
            print(
                f"{distance:>3} {p:>6} {dem.num_detectors:>6} {detections.sum(axis=1).mean():>6.1f} {shots:>7} | "
                f"{uf_us:>10.2f} {pm_us:>10.2f} {pm_us / uf_us:>6.2f}x | "
                f"{uf_ler:>9.5f} {pm_ler:>9.5f} {ratio} {f'{uf_fails}/{pm_fails}':>11} | {build_ms:>11.1f}",
                flush=True,
            )


if __name__ == "__main__":
    main()
