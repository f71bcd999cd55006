"""SyndromeWindow push cost: a window that never evicts (depth 0) against a bounded one.

Usage: PYTHONPATH=build/<dir>/python:python python3 benchmarks/bench_window.py [--pushes 4000]
       [--width 1000]

Prints the time of --pushes pushes of --width detector events, in pushes per second, for depth
0 (never evicts) and for depth 16, and the cost of the last tenth of the depth-0 pushes
relative to the first tenth: a push that rewrote the whole matrix would make the later pushes
many times slower than the early ones; a push that writes only its row keeps the ratio near 1.
"""

import argparse
import time

import numpy as np

import _kelvane


def timed_pushes(depth, pushes, width):
    rng = np.random.default_rng(1)
    rows = rng.random((pushes, width)) < 0.1
    window = _kelvane.SyndromeWindow(width, depth)
    marks = []
    start = time.perf_counter()
    for i in range(pushes):
        window.push_numpy(rows[i], i, i)
        marks.append(time.perf_counter())
    return marks[-1] - start, start, marks


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pushes", type=int, default=4000)
    parser.add_argument("--width", type=int, default=1000)
    args = parser.parse_args()
    tenth = args.pushes // 10
    for depth in (0, 16):
        total, start, marks = timed_pushes(depth, args.pushes, args.width)
        first = marks[tenth - 1] - start
        last = marks[-1] - marks[-tenth - 1]
        print(f"depth {depth:2d}: {args.pushes} pushes of width {args.width} in {total:.3f} s "
              f"({args.pushes / total:,.0f} pushes/s); last tenth / first tenth = {last / first:.2f}")


if __name__ == "__main__":
    main()
