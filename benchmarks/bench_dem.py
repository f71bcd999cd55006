"""Parse and graph-build times of a large Stim DEM, as ratios to Stim's own parser.

Usage: PYTHONPATH=build/<dir>/python:python python3 benchmarks/bench_dem.py [--distance 25]
       [--rounds 25] [--repeats 7] [--tool build/<dir>/dem_timing]

The DEM is Stim's rotated surface-code memory experiment (errors decomposed into graph-like
components), in its nested form (repeat blocks with shift_detectors) and flattened. Every
figure is the best of --repeats runs, measured in this process. Graph building is timed by
`DetectorErrorModel.to_graph()` when the module has it, otherwise by the `dem_timing` tool
(built from tools/dem_timing.cc), which times the same C++ calls on the same text.
"""

import argparse
import gc
import glob
import os
import subprocess
import sys
import tempfile
import time

import stim

import _kelvane


def best_time(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        del result
        best = min(best, elapsed)
    return best


def find_tool(explicit):
    if explicit:
        return explicit
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = sorted(glob.glob(os.path.join(here, "..", "build", "*", "dem_timing")), key=os.path.getmtime)
    return candidates[-1] if candidates else None


def graph_time_with_tool(tool, text, repeats):
    with tempfile.NamedTemporaryFile("w", suffix=".dem", delete=False) as f:
        f.write(text)
        path = f.name
    try:
        out = subprocess.run([tool, path, str(repeats)], check=True, capture_output=True, text=True).stdout
    finally:
        os.unlink(path)
    figures = {}
    for line in out.splitlines():
        parts = line.split()
        if parts and parts[0] in ("parse", "graph"):
            figures[parts[0]] = float(parts[1])
    return figures


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--distance", type=int, default=25)
    ap.add_argument("--rounds", type=int, default=25)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--tool", default=None, help="path of the dem_timing tool")
    args = ap.parse_args()

    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_x",
        distance=args.distance,
        rounds=args.rounds,
        after_clifford_depolarization=0.001,
        before_round_data_depolarization=0.001,
        before_measure_flip_probability=0.001,
        after_reset_flip_probability=0.001,
    )
    dem = circuit.detector_error_model(decompose_errors=True)
    texts = {"nested": str(dem), "flattened": str(dem.flattened())}
    tool = None if hasattr(_kelvane.DetectorErrorModel, "to_graph") else find_tool(args.tool)

    print(f"rotated surface code d={args.distance}, {args.rounds} rounds: {dem.num_detectors} detectors, "
          f"best of {args.repeats}")
    print(f"{'form':<10} {'chars':>10} {'errors':>8} {'stim parse':>11} {'our parse':>10} {'ratio':>6}"
          f" {'graph':>9} {'ratio':>6}")
    for form, text in texts.items():
        stim_s = best_time(lambda: stim.DetectorErrorModel(text), args.repeats)
        ours_s = best_time(lambda: _kelvane.DetectorErrorModel.parse(text), args.repeats)
        model = _kelvane.DetectorErrorModel.parse(text)
        assert model.detector_count == dem.num_detectors
        if tool is None and hasattr(model, "to_graph"):
            graph_s = best_time(model.to_graph, args.repeats)
        elif tool is not None:
            graph_s = graph_time_with_tool(tool, text, args.repeats)["graph"]
        else:
            graph_s = float("nan")
        print(f"{form:<10} {len(text):>10} {model.error_count:>8} {stim_s * 1e3:>9.2f}ms {ours_s * 1e3:>8.2f}ms"
              f" {ours_s / stim_s:>6.2f} {graph_s * 1e3:>7.2f}ms {graph_s / stim_s:>6.2f}")
    if tool is None and not hasattr(_kelvane.DetectorErrorModel, "to_graph"):
        print("graph times unavailable: build the dem_timing tool or pass --tool", file=sys.stderr)
    elif tool is not None:
        print(f"graph build timed with {os.path.relpath(tool)}")
    print("ratio = our time / stim.DetectorErrorModel(text) time for the same text (below 1: faster)")


if __name__ == "__main__":
    main()
