"""Cluster matching against plain kelvane and plain PyMatching on the same shots.

For each CELL (d:p:shots) samples a rotated surface-code Z memory (d rounds, all four of Stim's
circuit-noise knobs at p, seed 1) and decodes the shots with kelvane, kelvane with
match_clusters=True and PyMatching, on one thread. Prints each decoder's errors, the paired
ratios with their 95% intervals (kelvane.stats.paired_ratio) and process CPU µs per shot, with the
load average (the machine is shared).

  python benchmarks/bench_cluster_matching.py 9:0.007:10000 13:0.005:80000
"""

from __future__ import annotations

import os
import sys
import time

import pymatching

import kelvane
from kelvane import stats
from kelvane._bench import surface_circuit


def main(cells: list[str]) -> None:
    for cell in cells:
        d_text, p_text, shots_text = cell.split(":")
        d, p, shots = int(d_text), float(p_text), int(shots_text)
        circuit = surface_circuit(d, p, basis="z")
        dem = circuit.detector_error_model(decompose_errors=True)
        graph = kelvane.SpacetimeGraph.from_detector_error_model(dem)
        matching = pymatching.Matching.from_detector_error_model(dem)
        dets, obs = circuit.compile_detector_sampler(seed=1).sample(shots, separate_observables=True)
        decoders = {
            "kelvane": lambda: graph.decode_batch(dets),
            "matched": lambda: graph.decode_batch(dets, match_clusters=True),
            "PyMatching": lambda: matching.decode_batch(dets),
        }
        fails, us = {}, {}
        for name, decode in decoders.items():
            start = time.process_time()
            predictions = decode()
            us[name] = (time.process_time() - start) / shots * 1e6
            fails[name] = predictions[:, 0] != obs[:, 0]
        k, m, pm = fails["kelvane"], fails["matched"], fails["PyMatching"]
        print(f"d={d} p={p} shots={shots} load={os.getloadavg()[0]:.1f}: errors kelvane {k.sum()} "
              f"matched {m.sum()} PyMatching {pm.sum()}; matched/kelvane {stats.paired_ratio(m, k)}; "
              f"matched/PyMatching {stats.paired_ratio(m, pm)}; kelvane/PyMatching {stats.paired_ratio(k, pm)}; "
              f"CPU us/shot kelvane {us['kelvane']:.1f} matched {us['matched']:.1f} "
              f"PyMatching {us['PyMatching']:.1f}", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:] or ["5:0.005:40000", "9:0.007:10000"])
