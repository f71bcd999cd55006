"""kelvane's exact matching against its Union-Find decoder and PyMatching, on the same shots.

For each CELL (d:p:shots) samples a rotated surface-code X memory (d rounds, all four of Stim's
circuit-noise knobs at p, seed 1) and decodes the shots on one thread with kelvane-uf,
kelvane-matching and PyMatching, and, with --correlated, kelvane-matching-correlated and
PyMatching's correlated matching (enable_correlations=True). Prints a Markdown table of errors,
paired error ratios against PyMatching (kelvane.stats.paired_ratio, 95% intervals) and process
CPU µs per shot, then the same figures as JSON, with the load average (the machine is shared).

  python benchmarks/bench_matching.py 5:0.005:20000 9:0.007:5000 --correlated
"""

from __future__ import annotations

import json
import os
import sys
import time

import pymatching

import kelvane
from kelvane import stats
from kelvane._bench import surface_circuit

DEFAULT_CELLS = [f"{d}:{p}:{shots}" for d, shots in ((5, 20000), (9, 4000), (13, 1000), (17, 400))
                 for p in (0.001, 0.003, 0.005, 0.007)]


def run_cell(d: int, p: float, shots: int, correlated: bool) -> dict:
    circuit = surface_circuit(d, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    graph = kelvane.SpacetimeGraph.from_detector_error_model(dem, enable_correlations=correlated)
    matching = pymatching.Matching.from_detector_error_model(dem)
    dets, obs = circuit.compile_detector_sampler(seed=1).sample(shots, separate_observables=True)
    decoders = {
        "kelvane-uf": lambda: graph.decode_batch(dets),
        "kelvane-matching": lambda: graph.decode_batch(dets, method="matching"),
        "PyMatching": lambda: matching.decode_batch(dets),
    }
    if correlated:
        corr = pymatching.Matching.from_detector_error_model(dem, enable_correlations=True)
        decoders["kelvane-matching-correlated"] = lambda: graph.decode_batch(
            dets, method="matching", enable_correlations=True)
        decoders["PyMatching-correlated"] = lambda: corr.decode_batch(dets, enable_correlations=True)
    wrong, us = {}, {}
    for name, decode in decoders.items():
        start = time.process_time()
        predictions = decode()
        us[name] = (time.process_time() - start) / shots * 1e6
        wrong[name] = (predictions != obs).any(axis=1)
    cell = {"d": d, "p": p, "shots": shots, "load": round(os.getloadavg()[0], 1),
            "errors": {name: int(w.sum()) for name, w in wrong.items()},
            "us_per_shot": {name: round(t, 2) for name, t in us.items()}}
    ratios = {"kelvane-uf": "PyMatching", "kelvane-matching": "PyMatching"}
    if correlated:
        ratios["kelvane-matching-correlated"] = "PyMatching-correlated"
    cell["error_ratio"] = {name: str(stats.paired_ratio(wrong[name], wrong[peer])) for name, peer in ratios.items()}
    cell["speed_vs_peer"] = {name: round(us[peer] / us[name], 2) for name, peer in ratios.items()}
    return cell


def main(argv: list[str]) -> None:
    correlated = "--correlated" in argv
    cells = [a for a in argv if not a.startswith("--")] or DEFAULT_CELLS
    results = []
    names = ["kelvane-uf", "kelvane-matching", "PyMatching"]
    if correlated:
        names += ["kelvane-matching-correlated", "PyMatching-correlated"]
    print("| d | p | shots | errors " + " / ".join(names) + " | matching/PM errors | µs/shot "
          + " / ".join(names) + " | PM speed / matching's |")
    print("|---|---|---|---|---|---|---|")
    for text in cells:
        d_text, p_text, shots_text = text.split(":")
        cell = run_cell(int(d_text), float(p_text), int(shots_text), correlated)
        results.append(cell)
        print(f"| {cell['d']} | {cell['p']} | {cell['shots']} | "
              + " / ".join(str(cell["errors"][n]) for n in names)
              + f" | {cell['error_ratio']['kelvane-matching']} | "
              + " / ".join(f"{cell['us_per_shot'][n]:.1f}" for n in names)
              + f" | {cell['speed_vs_peer']['kelvane-matching']:.2f} |", flush=True)
    print(json.dumps({"benchmark": "bench_matching", "cells": results}, indent=1))


if __name__ == "__main__":
    main(sys.argv[1:])
