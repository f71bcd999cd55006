"""Union-Find decoding speed and accuracy beside PyMatching on rotated surface-code memories.

For each distance d and physical error rate p, a rotated surface-code memory circuit with d
rounds and uniform circuit noise is sampled with Stim; the same shots are decoded by
`SpacetimeGraph.decode_batch` (one thread, then `--threads` threads) and by
`pymatching.Matching.decode_batch`, and the table gives microseconds per shot (best of the timed
runs; decoder construction excluded) and logical error rates side by side, with the failure
counts behind them and their ratio, with a 95% interval from the shots where exactly one decoder
failed (kelvane.stats.paired_ratio), given where PyMatching sees enough failures (>= 50).

`--chain` times instead the equal-weight chain case: n detectors in a line, all fired, every
edge of the same weight, so every growth event happens at the same time.

    PYTHONPATH=build/release/python:python python3 benchmarks/bench_decoder.py [--scale 1.0]
    PYTHONPATH=build/release/python:python python3 benchmarks/bench_decoder.py --chain
"""

import argparse
import os

import numpy as np

import _kelvane
from kelvane._bench import best_of, surface_circuit
from kelvane.stats import paired_ratio

DISTANCES = (5, 9, 13, 17, 21)
ERROR_RATES = (0.001, 0.003, 0.005, 0.007)


def shots_for(distance, p, scale):
    """About the same decoding work per case: fewer shots where each shot holds more events."""
    detectors = distance**3
    fired = max(1.0, detectors * p * 12)
    return max(200, int(scale * 4e6 / (fired + 20)))


def surface_table(args):
    import pymatching

    header = (
        f"| {'d':>2} | {'p':>5} | {'shots':>6} | {'fired':>6} | {'UF us/shot':>10} | {'PM us/shot':>10} | "
        f"{'speed x':>7} | {'UF LER':>8} | {'PM LER':>8} | {'fails UF/PM':>11} | {'LER x [95% CI]':>21} | "
        f"{'UF ' + str(args.threads) + ' thr us':>10} | {'thr x':>5} |"
    )
    print(f"load average before: {os.getloadavg()[0]:.2f}")
    print(header)
    print("|" + "|".join("-" * (len(cell)) for cell in header.split("|")[1:-1]) + "|")
    for distance in args.distances:
        for p in args.rates:
            shots = shots_for(distance, p, args.scale)
            circuit = surface_circuit(distance, p)
            dem = circuit.detector_error_model(decompose_errors=True)
            detections, observables = circuit.compile_detector_sampler(seed=distance * 1000 + int(p * 1e4)).sample(
                shots, separate_observables=True
            )
            actual = observables[:, 0]
            graph = _kelvane.SpacetimeGraph.from_detector_error_model(dem)
            matching = pymatching.Matching.from_detector_error_model(dem)
            graph.decode_batch(detections[:10])
            matching.decode_batch(detections[:10])

            uf_time, uf_pred = best_of(lambda: graph.decode_batch(detections), args.repeats, "wall")
            pm_time, pm_pred = best_of(lambda: matching.decode_batch(detections), args.repeats, "wall")
            th_time, th_pred = best_of(
                lambda: graph.decode_batch(detections, num_threads=args.threads), args.repeats, "wall"
            )
            assert np.array_equal(th_pred, uf_pred), "threaded predictions differ"

            uf_wrong, pm_wrong = uf_pred[:, 0].astype(bool) != actual, pm_pred[:, 0].astype(bool) != actual
            uf_fails, pm_fails = int(uf_wrong.sum()), int(pm_wrong.sum())
            uf_us, pm_us, th_us = (t / shots * 1e6 for t in (uf_time, pm_time, th_time))
            ler_ratio = f"{str(paired_ratio(uf_wrong, pm_wrong)):>21}" if pm_fails >= 50 else f"{'-':>21}"
            print(
                f"| {distance:>2} | {p:>5} | {shots:>6} | {detections.sum(axis=1).mean():>6.1f} | {uf_us:>10.2f} | "
                f"{pm_us:>10.2f} | {pm_us / uf_us:>7.2f} | {uf_fails / shots:>8.5f} | {pm_fails / shots:>8.5f} | "
                f"{f'{uf_fails}/{pm_fails}':>11} | {ler_ratio} | {th_us:>10.2f} | {uf_us / th_us:>5.2f} |",
                flush=True,
            )
    print(f"load average after: {os.getloadavg()[0]:.2f}")


def chain_table(args):
    print("| nodes | decode ms |")
    print("|---|---|")
    for n in (16_384, 131_072):
        text = "error(0.1) D0\n" + "".join(f"error(0.1) D{k} D{k + 1}\n" for k in range(n - 1))
        text += f"error(0.1) D{n - 1}\n"
        graph = _kelvane.DetectorErrorModel.parse(text).to_graph()
        shot = np.ones((1, n), dtype=bool)
        elapsed, _ = best_of(lambda: graph.decode_batch(shot), args.repeats, "wall")
        print(f"| {n} | {elapsed * 1e3:.1f} |", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiply the shot counts")
    parser.add_argument("--repeats", type=int, default=3, help="timed runs per decoder (best kept)")
    parser.add_argument("--threads", type=int, default=0, help="threads for the threaded column (0: all cores)")
    parser.add_argument("--distances", type=int, nargs="+", default=DISTANCES)
    parser.add_argument("--rates", type=float, nargs="+", default=ERROR_RATES)
    parser.add_argument("--chain", action="store_true", help="time the equal-weight chain case instead")
    args = parser.parse_args()
    if args.chain:
        chain_table(args)
    else:
        surface_table(args)


if __name__ == "__main__":
    main()
