"""Sliding-window decoding: accuracy against whole-shot decoding, throughput, latency, memory.

    PYTHONPATH=build/release/python:python python3 benchmarks/bench_sliding.py [--quick]

1. Accuracy: Stim rotated surface-code Z memory, 10*d rounds, circuit noise p, windows of
   commit = buffer = d rounds. The logical error rate of SpacetimeGraph.decode_sliding is set
   against decode_batch (the same Union-Find decoder on the whole shot) on the same shots; the
   ratio's 95% interval comes from the shots where exactly one of them failed
   (kelvane.stats.paired_ratio). A ratio is printed only where whole-shot decoding saw at
   least 50 logical errors. The last column sets two threads' parallel windows against one
   thread's sliding windows on the same shots (decode_sliding of 32 shots at a time, so each
   shot is decoded in parallel windows; it needs two usable cores).
2. Throughput and latency: one stream of many rounds per (d, p), sampled from the Stim model
   with its repeated round stretched (head and tail rounds as in the model), pushed through
   SpacetimeGraph.sliding_decoder in chunks. "decode rounds/s" is the decoder's own figure
   (rounds committed per second of decoding time); "wall rounds/s" adds reading the NumPy
   chunks. PyMatching (whole shots of 10*d rounds, one thread) and kelvane's decode_batch are
   measured in the same run for scale.
3. Memory: a 10^6-round stream at d=5, p=0.001 in a fresh process, next to a 10^5-round one;
   the peak RSS must not grow with the stream.
4. Cost against batch decoding: decode_batch and decode_sliding (c = b = d) on the same array of
   10*d-round shots, process CPU time per round, best of 3 (run it under `taskset -c 1` for one
   core); the graph is warmed by one small call first (it keeps its round split and window
   decoders). The two-thread columns are parallel windows on one stream: a stream of
   --stream-rounds rounds sampled as in 2, held in memory and pushed in one block through
   sliding_decoder(num_threads=1) and (num_threads=2), wall time, best of 3 (the window graphs
   are built by a first run). Two threads give one stream two cores only through parallel
   windows, whose predictions differ from one thread's: the accuracy table's note says by how
   much.
5. Buffer trade-off: c = d and buffers from 1 round up to d at p = 0.005, LER against whole-shot
   decoding (paired) and cost against decode_batch.

6. Full-speed live runs: per d, decode_sliding's rounds/s R (sliding_decoder on a stream in
   memory, one thread) beside `kelvane decode --commit d --buffer d` on core 1 of one endless
   --full-speed-rounds stream read from its file and over TCP from `kelvane serve` at full speed
   on core 0, each against the target 0.8 / (1/R + 0.1 us), with both runs' peak RSS.

7. Paced live runs: `kelvane serve --rate R` (core 0) feeding `kelvane decode tcp://... --commit d
   --buffer d` (core 1, decoding in C++ as frames arrive) with one endless d-distance stream of
   --paced-rounds frames (p = 0.001, the model's repeated rounds stretched); rates double from
   --paced-start frames/s until the decoder falls behind (it warned of a growing backlog, its
   largest backlog passed half a second of frames, or it decoded under 90% of the rate), then
   halve the gap to the last rate kept up with. Each row: the decoder's rounds/s, largest
   backlog, the three commit latencies (from the closing frame's arrival, from each frame's
   arrival, to the decision's write), the decoder's peak RSS and the load average. Then a
   --memory-rounds run at the first distance's highest rate checks that memory stays bounded.
   The server alone (paced at 5 M frames/s and at full speed into a plain socket reader) shows
   the arrival rate it reaches beside the asked one, so that a paced row measures the decoder.

Every table is printed as Markdown; --json PATH also writes its rows as JSON.
"""

import argparse
import json
import resource
import subprocess
import sys
import time

import numpy as np
import stim

import kelvane
from kelvane.stats import paired_ratio

ROUNDS_PER_D = 10
METHOD = "union-find"  # kelvane's decoding method in every table (--method)
RESULTS = {}  # table name -> list of row dicts, for --json


def circuit_for(d, p, rounds=None):
    return stim.Circuit.generated(
        "surface_code:rotated_memory_z",
        distance=d,
        rounds=rounds or ROUNDS_PER_D * d,
        after_clifford_depolarization=p,
        before_measure_flip_probability=p,
        after_reset_flip_probability=p,
        before_round_data_depolarization=p,
    )


def graph_for(circuit):
    return kelvane.SpacetimeGraph.from_detector_error_model(circuit.detector_error_model(decompose_errors=True))


def accuracy(distances, ps, shots_for):
    print(f"## Accuracy: sliding (c = b = d) vs whole-shot decoding, method={METHOD}, same shots, 10*d rounds\n")
    print("| d | p | shots | whole LER | sliding LER | whole errors | ratio | 95% CI |"
          " 2 threads / 1 thread LER, parallel windows [95% CI] |")
    print("|---|---|---|---|---|---|---|---|---|")
    for d in distances:
        for p in ps:
            circuit = circuit_for(d, p)
            graph = graph_for(circuit)
            shots = shots_for(d)
            dets, obs = circuit.compile_detector_sampler(seed=d * 1000 + int(p * 1e4)).sample(
                shots, separate_observables=True
            )
            whole = (graph.decode_batch(dets, method=METHOD) != obs).any(axis=1)
            sliding = (graph.decode_sliding(dets, method=METHOD, commit=d, buffer=d) != obs).any(axis=1)
            # Fewer than 32 shots a thread: decode_sliding decodes each in parallel windows.
            two = np.concatenate([graph.decode_sliding(dets[k:k + 32], method=METHOD, commit=d, buffer=d,
                                                       num_threads=2) for k in range(0, shots, 32)])
            two = (two != obs).any(axis=1)
            w, s = int(whole.sum()), int(sliding.sum())
            if w >= 50:
                r = paired_ratio(sliding, whole)
                ratio, ci = f"{r.ratio:.3f}", f"[{r.low:.3f}, {r.high:.3f}]"
            else:
                ratio, ci = "n/a (< 50 errors)", ""
            if s >= 50:
                r2 = paired_ratio(two, sliding)
                two_ratio = f"{r2.ratio:.3f} [{r2.low:.3f}, {r2.high:.3f}]"
            else:
                two_ratio = "n/a (< 50 errors)"
            print(f"| {d} | {p} | {shots} | {w / shots:.2e} | {s / shots:.2e} | {w} | {ratio} | {ci} | {two_ratio} |",
                  flush=True)
    print()


class StreamSampler:
    """Samples one long stream of rounds from a Stim model whose repeated round is stretched.

    Errors are grouped by the earliest round of their detectors; a stream of N rounds takes the
    model's head rounds, then its repeating block's errors shifted to every middle round (same phase), then its
    tail rounds, the same split the sliding decoder makes."""

    def __init__(self, circuit, head, tail, period):
        dem = circuit.detector_error_model(decompose_errors=True).flattened()
        coords = dem.get_detector_coordinates()
        times = np.array([coords[k][-1] for k in range(dem.num_detectors)])
        distinct = np.unique(times)
        self.round_of = np.searchsorted(distinct, times)
        self.rounds = len(distinct)
        self.slot_of = np.zeros(dem.num_detectors, dtype=np.int64)
        sizes = np.zeros(self.rounds, dtype=np.int64)
        for k in range(dem.num_detectors):
            self.slot_of[k] = sizes[self.round_of[k]]
            sizes[self.round_of[k]] += 1
        self.width = int(sizes.max())
        self.head, self.tail, self.period = head, tail, period
        by_round = [[] for _ in range(self.rounds)]
        for inst in dem:
            if inst.type != "error":
                continue
            dets, obs = set(), 0
            for t in inst.targets_copy():
                if t.is_relative_detector_id():
                    dets ^= {t.val}
                elif t.is_logical_observable_id():
                    obs ^= 1 << t.val
            if not dets:
                continue
            first = min(self.round_of[k] for k in dets)
            by_round[first].append((inst.args_copy()[0], [(self.round_of[k] - first, self.slot_of[k]) for k in dets], obs))
        self.by_round = [self._pack(errors) for errors in by_round]
        self.reach = 1 + max((dr for errs in by_round for _, hits, _ in errs for dr, _ in hits), default=0)

    @staticmethod
    def _pack(errors):
        probs = np.array([e[0] for e in errors])
        owner = np.array([i for i, e in enumerate(errors) for _ in e[1]], dtype=np.int64)
        dr = np.array([h[0] for e in errors for h in e[1]], dtype=np.int64)
        slot = np.array([h[1] for e in errors for h in e[1]], dtype=np.int64)
        obs = np.array([e[2] for e in errors], dtype=np.uint64)
        return probs, owner, dr, slot, obs

    def chunks(self, total, chunk, rng):
        """Yields (rows, truth so far) blocks of `chunk` rounds of a `total`-round stream."""
        carry = np.zeros((self.reach, self.width), dtype=np.uint8)
        truth = 0
        for begin in range(0, total, chunk):
            k = min(chunk, total - begin)
            rows = np.zeros((k + self.reach, self.width), dtype=np.uint8)
            rows[: self.reach] ^= carry
            for j in range(begin, begin + k):
                if self.head <= j < total - self.tail:
                    continue
                model_round = j if j < self.head else j - total + self.rounds
                truth ^= self._apply(rows, j - begin, self.by_round[model_round], 1, rng)
            for phase in range(self.period):
                steady = [j - begin for j in range(begin, begin + k)
                          if self.head <= j < total - self.tail and (j - self.head) % self.period == phase]
                if steady:
                    truth ^= self._apply(rows, np.array(steady), self.by_round[self.head + phase], len(steady), rng)
            carry = rows[k:].copy()
            yield rows[:k], truth

    @staticmethod
    def _apply(rows, at, packed, count, rng):
        probs, owner, dr, slot, obs = packed
        if len(probs) == 0:
            return 0
        fired = rng.random((count, len(probs))) < probs
        where, which = np.nonzero(fired)
        base = np.broadcast_to(np.atleast_1d(at), (count,))[where]
        flips = np.bitwise_xor.reduce(obs[which]) if len(which) else np.uint64(0)
        # Every hit of every fired error: expand each fired error to its detectors.
        starts = np.searchsorted(owner, which)
        ends = np.searchsorted(owner, which, side="right")
        lengths = ends - starts
        hit = np.repeat(starts, lengths) + (np.arange(lengths.sum()) - np.repeat(np.cumsum(lengths) - lengths, lengths))
        np.bitwise_xor.at(rows, (np.repeat(base, lengths) + dr[hit], slot[hit]), 1)
        return int(flips)


def run_stream(d, p, total, seed=1):
    circuit = circuit_for(d, p)
    graph = graph_for(circuit)
    decoder = graph.sliding_decoder(method=METHOD, commit=d, buffer=d)
    sampler = StreamSampler(circuit, decoder.head_rounds, decoder.tail_rounds, decoder.period)
    total += (sampler.rounds - total) % decoder.period  # whole periods from the model
    rng = np.random.default_rng(seed)
    # Chunks of a few million error draws keep the sampler's memory small.
    chunk = max(500, 3_000_000 // max(1, len(sampler.by_round[sampler.head][0])))
    decoder.start(total)
    wall = 0.0
    for rows, _ in sampler.chunks(total, chunk, rng):
        t = time.perf_counter()
        decoder.push_rounds(rows)
        wall += time.perf_counter() - t
    return decoder, total / wall


def peer_rounds_per_second(d, p, shots):
    import pymatching

    circuit = circuit_for(d, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    dets, _ = circuit.compile_detector_sampler(seed=3).sample(shots, separate_observables=True)
    rounds = shots * (ROUNDS_PER_D * d + 1)
    matching = pymatching.Matching.from_detector_error_model(dem)
    t = time.perf_counter()
    matching.decode_batch(dets)
    pm = rounds / (time.perf_counter() - t)
    graph = graph_for(circuit)
    t = time.perf_counter()
    graph.decode_batch(dets, method=METHOD)
    uf = rounds / (time.perf_counter() - t)
    return pm, uf


def throughput(distances, ps, total):
    print(f"## Throughput and commit-step latency: one stream of {total} rounds, c = b = d, one thread\n")
    print("| d | p | decode rounds/s | wall rounds/s | median step | p99.9 step | worst step | keeps up (10^6/s) |"
          " PyMatching whole-shot rounds/s | kelvane decode_batch rounds/s |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for p in ps:
        for d in distances:
            decoder, wall = run_stream(d, p, total)
            s = decoder.stats()
            pm, uf = peer_rounds_per_second(d, p, max(200, 20000 // d**2))
            keeps = "yes" if s["rounds_per_second"] >= 1e6 else "no"
            print(f"| {d} | {p} | {s['rounds_per_second']:.3g} | {wall:.3g} | {s['median_step_ns'] / 1e3:.1f} us |"
                  f" {s['p999_step_ns'] / 1e3:.1f} us | {s['worst_step_ns'] / 1e3:.1f} us | {keeps} | {pm:.3g} | {uf:.3g} |",
                  flush=True)
    print()


def memory_child(total):
    decoder, wall = run_stream(5, 0.001, total)
    s = decoder.stats()
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"| {total} | {peak_mb:.1f} MB | {s['rounds_per_second']:.3g} | {wall:.3g} | {s['p999_step_ns'] / 1e3:.1f} us |"
          f" {s['worst_step_ns'] / 1e3:.1f} us | {s['window_graphs']} ({s['build_ns'] / 1e6:.1f} ms) |", flush=True)


def memory():
    print("## Memory: d = 5, p = 0.001, c = b = 5, each run in a fresh process\n")
    print("| rounds | peak RSS | decode rounds/s | wall rounds/s | p99.9 step | worst step | window graphs (build time) |")
    print("|---|---|---|---|---|---|---|")
    for total in (100_000, 1_000_000):
        subprocess.run([sys.executable, __file__, "--memory-child", str(total)], check=True)
    print()


def best_cpu(f, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        t = time.process_time()
        f()
        best = min(best, time.process_time() - t)
    return best


def best_wall(f, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        t = time.perf_counter()
        f()
        best = min(best, time.perf_counter() - t)
    return best


def stream_rows(circuit, graph, d, total, seed=1):
    """One stream of about `total` rounds (whole periods from the model) as one array."""
    decoder = graph.sliding_decoder(method=METHOD, commit=d, buffer=d)
    sampler = StreamSampler(circuit, decoder.head_rounds, decoder.tail_rounds, decoder.period)
    total += (sampler.rounds - total) % decoder.period
    return np.concatenate([rows for rows, _ in sampler.chunks(total, 20_000, np.random.default_rng(seed))])


def stream_seconds_per_round(graph, d, rows, threads):
    decoder = graph.sliding_decoder(method=METHOD, commit=d, buffer=d, num_threads=threads)

    def run():
        decoder.start(len(rows))
        decoder.push_rounds(rows)

    run()  # builds the window graphs
    return best_wall(run) / len(rows)


def cost(distances, p, shots_for, stream_total=100_000):
    print(f"## Cost against batch decoding: method={METHOD}, p = {p}, 10*d rounds, c = b = d, same shots\n")
    print("| d | shots | batch us/round | sliding us/round | sliding / batch | sliding rounds/s |"
          f" 2 threads rounds/s (one {stream_total}-round stream, wall) | 2 threads / 1 thread (wall) |")
    print("|---|---|---|---|---|---|---|---|")
    for d in distances:
        circuit = circuit_for(d, p)
        graph = graph_for(circuit)
        shots = shots_for(d)
        dets = circuit.compile_detector_sampler(seed=d).sample(shots)
        graph.decode_batch(dets[:10], method=METHOD)
        graph.decode_sliding(dets[:10], method=METHOD, commit=d, buffer=d)
        rounds = shots * ROUNDS_PER_D * d
        batch = best_cpu(lambda: graph.decode_batch(dets, method=METHOD)) / rounds
        sliding = best_cpu(lambda: graph.decode_sliding(dets, method=METHOD, commit=d, buffer=d)) / rounds
        rows = stream_rows(circuit, graph, d, stream_total)
        one_wall = stream_seconds_per_round(graph, d, rows, 1)
        two_wall = stream_seconds_per_round(graph, d, rows, 2)
        row = {"d": d, "p": p, "shots": shots, "batch_us_per_round": batch * 1e6, "sliding_us_per_round": sliding * 1e6,
               "ratio": sliding / batch, "sliding_rounds_per_s": 1 / sliding, "two_thread_rounds_per_s": 1 / two_wall,
               "two_thread_speedup": one_wall / two_wall}
        RESULTS.setdefault("cost", []).append(row)
        print(f"| {d} | {shots} | {batch * 1e6:.3f} | {sliding * 1e6:.3f} | {sliding / batch:.2f} | {1 / sliding:.3g} |"
              f" {1 / two_wall:.3g} | {one_wall / two_wall:.2f} |", flush=True)
    print()


def buffers(distances, p, shots_for):
    print(f"## Buffer trade-off: p = {p}, 10*d rounds, c = d, same shots\n")
    print("| d | buffer | shots | whole LER | sliding LER | whole errors | ratio | 95% CI | sliding / batch cost |")
    print("|---|---|---|---|---|---|---|---|---|")
    for d in distances:
        circuit = circuit_for(d, p)
        graph = graph_for(circuit)
        shots = shots_for(d)
        dets, obs = circuit.compile_detector_sampler(seed=7 * d).sample(shots, separate_observables=True)
        whole = (graph.decode_batch(dets, method=METHOD) != obs).any(axis=1)
        batch = best_cpu(lambda: graph.decode_batch(dets, method=METHOD), 2)
        for b in sorted({1, 2, (d + 1) // 2, d}):
            graph.decode_sliding(dets[:10], method=METHOD, commit=d, buffer=b)
            sliding = (graph.decode_sliding(dets, method=METHOD, commit=d, buffer=b) != obs).any(axis=1)
            ratio_cost = best_cpu(lambda: graph.decode_sliding(dets, method=METHOD, commit=d, buffer=b), 2) / batch
            w, s = int(whole.sum()), int(sliding.sum())
            r = paired_ratio(sliding, whole) if w >= 50 else None
            RESULTS.setdefault("buffers", []).append(
                {"d": d, "p": p, "buffer": b, "shots": shots, "whole_errors": w, "sliding_errors": s,
                 "ratio": r.ratio if r else None, "low": r.low if r else None, "high": r.high if r else None,
                 "cost_ratio": ratio_cost})
            ratio, ci = (f"{r.ratio:.3f}", f"[{r.low:.3f}, {r.high:.3f}]") if r else ("n/a (< 50 errors)", "")
            print(f"| {d} | {b} | {shots} | {w / shots:.2e} | {s / shots:.2e} | {w} | {ratio} | {ci} | {ratio_cost:.2f} |",
                  flush=True)
    print()


def write_endless_stream(d, rounds, path, seed=1):
    """An endless stream of `rounds` frames (frame id and round j) of the d-distance model at
    p = 0.001, its repeated rounds stretched as the window decoder stretches them, and the
    model's file and layout beside it (PATH.dem, PATH.layout.npy)."""
    import _kelvane
    from kelvane.kvlx import _SHOT_HEADER_BITS, KvlxWriter

    circuit = circuit_for(d, 0.001)
    graph = graph_for(circuit)
    decoder = graph.sliding_decoder(method=METHOD, commit=d, buffer=d)
    sampler = StreamSampler(circuit, decoder.head_rounds, decoder.tail_rounds, decoder.period)
    layout = kelvane.layout_from_stim(circuit)
    circuit.detector_error_model(decompose_errors=True).to_file(path + ".dem")
    np.save(path + ".layout.npy", layout)
    # Frame bit a of a frame standing for model round m is slot slot_of[layout[m, a]] of its row.
    slot_index = np.where(layout >= 0, sampler.slot_of[np.maximum(layout, 0)], sampler.width)
    head, period = decoder.head_rounds, decoder.period
    total = rounds + sampler.tail + (sampler.rounds - rounds - sampler.tail) % period
    rng = np.random.default_rng(seed)
    chunk = max(500, 1_000_000 // max(1, len(sampler.by_round[sampler.head][0])))
    j = 0
    with KvlxWriter(path) as writer:
        for rows, _ in sampler.chunks(total, chunk, rng):
            k = min(len(rows), rounds - j)
            if k <= 0:
                break
            js = np.arange(j, j + k)
            model_round = np.where(js < head, js, head + (js - head) % period)
            padded = np.concatenate([rows[:k], np.zeros((k, 1), dtype=np.uint8)], axis=1)
            events = padded[np.arange(k)[:, None], slot_index[model_round]]
            events = np.ascontiguousarray(events, dtype=np.uint8)
            writer.write_bytes(_kelvane._kvlx_encode_frames(events, events.shape[1], js.astype("<u8"), js.astype("<u4"),
                                                            None, 0, None, (0,) * len(_SHOT_HEADER_BITS), None, None))
            j += k


_SINK = """
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
buf = bytearray(1 << 22)
total, first = 0, None
while (n := s.recv_into(buf)):
    first = first or time.perf_counter()
    total += n
print(total, time.perf_counter() - first)
"""


def server_alone(path, rate):
    """`kelvane serve --rate rate` (0: full speed) on core 0 into a plain socket reader on core 1:
    the frames/s that arrive, so that a paced run's arrival rate is known not to be the server's."""
    import os
    import socket as so

    from kelvane.kvlx import FILE_HEADER_SIZE, frame_offsets

    with open(path, "rb") as f:
        data = f.read()
    frames = len(frame_offsets(data)) - 1
    with so.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen(["taskset", "-c", "0", sys.executable, "-m", "kelvane", "serve", path, "--port",
                               str(port), "--rate", str(rate), "--quiet"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    server.stdout.readline()  # listening
    load = os.getloadavg()[0]
    out = subprocess.run(["taskset", "-c", "1", sys.executable, "-c", _SINK, str(port)], capture_output=True,
                         text=True, check=True).stdout.split()
    server.wait(60)
    total, seconds = int(out[0]), float(out[1])
    arrived = frames * (total - FILE_HEADER_SIZE) / (len(data) - FILE_HEADER_SIZE) / seconds
    return {"rate": rate, "frames": frames, "arrived_per_s": arrived, "mb_per_s": total / seconds / 1e6,
            "load": round(max(load, os.getloadavg()[0]), 2)}


def paced_run(d, rate, path, tmp):
    """Serves `path` at `rate` frames/s on core 0 and decodes it on core 1; the decoder's figures,
    its peak RSS, and the machine's load average."""
    import os
    import re
    import socket as so

    with so.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    cli = [sys.executable, "-m", "kelvane"]
    server = subprocess.Popen(["taskset", "-c", "0", *cli, "serve", path, "--port", str(port), "--rate", str(rate),
                               "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    server.stdout.readline()  # listening
    load = os.getloadavg()[0]
    with open(os.path.join(tmp, "out.txt"), "w+") as out_f, open(os.path.join(tmp, "err.txt"), "w+") as err_f:
        decoder = subprocess.Popen(["taskset", "-c", "1", *cli, "decode", f"tcp://127.0.0.1:{port}", "--dem",
                                    path + ".dem", "--layout", path + ".layout.npy", "--commit", str(d), "--buffer",
                                    str(d), "--out", os.path.join(tmp, "decisions.kvld"), "--method", METHOD,
                                    "--quiet"],
                                   stdout=out_f, stderr=err_f, text=True)
        decoder.wait()
        out_f.seek(0)
        err_f.seek(0)
        out, err = out_f.read(), err_f.read()
    server.wait(60)
    load = max(load, os.getloadavg()[0])
    if not re.search(r"\(([\d.]+) rounds/s", out):
        raise RuntimeError(f"kelvane decode printed no summary; stderr: {err[-2000:]}")
    speed = float(re.search(r"\(([\d.]+) rounds/s", out).group(1))
    backlog = int(re.search(r"largest backlog (\d+)", out).group(1))
    arrived = float(re.search(r"arrived at ([\d.]+) frames/s", out).group(1))
    # The decoder's own high-water mark (a forked child's getrusage figure includes its parent's).
    rss = re.search(r"peak RSS ([\d.]+) MB", out)
    frames = int(re.search(r"decoded (\d+) frames", out).group(1))
    lat = {}
    for key, pattern in (("closing", "closing frame's arrival: "), ("frame", "each frame's arrival: "),
                         ("written", "decision written, from the closing frame's arrival: ")):
        m = re.search(re.escape(pattern) + r"median ([\d.]+) us, p99.9 ([\d.]+) us, worst ([\d.]+) us", out)
        lat[key] = [float(x) for x in m.groups()]
    behind = "backlog has grown" in err or backlog > 0.5 * rate or speed < 0.9 * rate
    return {"d": d, "rate": rate, "frames": frames, "rounds_per_s": speed, "arrived_per_s": arrived,
            "largest_backlog": backlog,
            "latency_us": lat, "kept_up": not behind, "load": round(load, 2),
            "peak_rss_mb": float(rss.group(1)) if rss else float("nan")}


def live_decode(d, source, path, server=None):
    """`kelvane decode SOURCE --commit d --buffer d` on core 1 (no --out): its rounds/s, peak RSS,
    largest backlog and arrival rate from its summary lines."""
    import re

    cli = [sys.executable, "-m", "kelvane"]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    try:
        out = subprocess.run(["taskset", "-c", "1", *cli, "-q", "decode", source, "--dem", path + ".dem", "--layout",
                              path + ".layout.npy", "--commit", str(d), "--buffer", str(d)], capture_output=True,
                             text=True, check=True).stdout
    finally:
        if server is not None:
            server.wait(60)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    number = lambda pattern: float(re.search(pattern, out).group(1))  # noqa: E731
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime  # with the server's, if any
    return {"cpu_s": cpu, "rounds_per_s": number(r"\(([\d.]+) rounds/s"), "peak_rss_mb": number(r"peak RSS ([\d.]+) MB"),
            "largest_backlog": number(r"largest backlog (\d+)"), "arrived_per_s": number(r"arrived at ([\d.]+) frames/s"),
            "frames": number(r"decoded (\d+) frames")}


def full_speed(distances, rounds):
    """Live decoding at full speed against the window decoder alone: per d, decode_sliding's
    rounds/s R on a stream in memory (sliding_decoder, one thread), the target 0.8 / (1/R + 0.1
    us), and `kelvane decode --commit d --buffer d` (core 1) of a `rounds`-frame endless stream
    from its file and over TCP from `kelvane serve` at full speed (core 0)."""
    import os
    import socket as so
    import tempfile

    print(f"## Full-speed live decoding: one endless stream of {rounds} frames, c = b = d, p = 0.001, decoder on "
          "core 1\n")
    print("| d | decode_sliding rounds/s (memory) | target 0.8/(1/R + 0.1 us) | live file rounds/s | file / target |"
          " live TCP rounds/s | TCP / target | peak RSS file / TCP | largest backlog file / TCP | load |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    cpu_rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for d in distances:
            path = os.path.join(tmp, f"d{d}.kvlx")
            write_endless_stream(d, rounds, path, seed=d)
            circuit = circuit_for(d, 0.001)
            graph = graph_for(circuit)
            rows = stream_rows(circuit, graph, d, min(rounds, 200_000))
            r_mem = 1 / stream_seconds_per_round(graph, d, rows, 1)
            target = 0.8 / (1 / r_mem + 1e-7)

            def cpu_run():
                decoder = graph.sliding_decoder(commit=d, buffer=d)
                decoder.start(len(rows))
                decoder.push_rounds(rows)

            cpu_round = best_cpu(cpu_run) / len(rows)
            load = os.getloadavg()[0]
            from_file = live_decode(d, path, path)
            # CPU per frame on a loaded machine: the same decode of a tenth of the stream, subtracted,
            # leaves out start-up (interpreter, model, window graphs).
            short = os.path.join(tmp, f"d{d}-short.kvlx")
            write_endless_stream(d, rounds // 10, short, seed=d)
            cpu_frame = (from_file["cpu_s"] - live_decode(d, short, short)["cpu_s"]) / (rounds - rounds // 10)
            os.remove(short)
            with so.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                port = probe.getsockname()[1]
            server = subprocess.Popen(["taskset", "-c", "0", sys.executable, "-m", "kelvane", "serve", path, "--port",
                                       str(port), "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                      text=True)
            server.stdout.readline()  # listening
            over_tcp = live_decode(d, f"tcp://127.0.0.1:{port}", path, server)
            load = round(max(load, os.getloadavg()[0]), 2)
            cpu_target = (cpu_round + 1e-7) / 0.8
            row = {"d": d, "frames": rounds, "decode_sliding_rounds_per_s": r_mem, "target_rounds_per_s": target,
                   "file": from_file, "tcp": over_tcp, "load": load, "decode_sliding_cpu_us_per_round": cpu_round * 1e6,
                   "live_file_cpu_us_per_frame": cpu_frame * 1e6, "cpu_target_us_per_frame": cpu_target * 1e6}
            RESULTS.setdefault("full_speed", []).append(row)
            print(f"| {d} | {r_mem:.3g} | {target:.3g} | {from_file['rounds_per_s']:.3g} |"
                  f" {from_file['rounds_per_s'] / target:.2f} | {over_tcp['rounds_per_s']:.3g} |"
                  f" {over_tcp['rounds_per_s'] / target:.2f} | {from_file['peak_rss_mb']:.0f} /"
                  f" {over_tcp['peak_rss_mb']:.0f} MB | {from_file['largest_backlog']:.0f} /"
                  f" {over_tcp['largest_backlog']:.0f} | {load} |", flush=True)
            cpu_rows.append(f"| {d} | {cpu_round * 1e6:.3f} | {cpu_target * 1e6:.3f} | {cpu_frame * 1e6:.3f} |"
                            f" {cpu_target / cpu_frame:.2f} | {load} |")
            os.remove(path)
    print("\nThe same in CPU time (robust to a loaded machine): decode_sliding's CPU per round, the target"
          " (CPU/round + 0.1 us) / 0.8, and the live file decode's CPU per frame (a run of a tenth of the stream"
          " subtracted):\n")
    print("| d | decode_sliding CPU us/round | target us/frame | live file CPU us/frame | target / live | load |")
    print("|---|---|---|---|---|---|")
    for line in cpu_rows:
        print(line)
    print()


def paced(distances, rounds, start_rate, memory_rounds, memory_rate=None, memory_only=False):
    """Per d, the highest paced rate (doubling from start_rate, then halfway steps between the last
    rate kept up with and the first that was not) the decoder keeps up with over `rounds` frames;
    then a run of `memory_rounds` at d = distances[0]'s highest rate, for peak RSS."""
    import os
    import tempfile

    print(f"## Paced live runs: serve on core 0, decode on core 1 (C++ loop), c = b = d, p = 0.001, one endless "
          f"stream of {rounds} frames\n")
    print("| d | rate frames/s | arrived frames/s | decoder rounds/s | largest backlog | commit latency from closing "
          "frame median / p99.9 / worst | from each frame's arrival | decision written | peak RSS | kept up | load |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")

    def row(r):
        fmt = lambda v: f"{v[0]:.0f} / {v[1]:.0f} / {v[2]:.0f} us"  # noqa: E731
        lat = r["latency_us"]
        print(f"| {r['d']} | {r['rate']} | {r['arrived_per_s']:.0f} | {r['rounds_per_s']:.0f} | {r['largest_backlog']} |"
              f" {fmt(lat['closing'])} |"
              f" {fmt(lat['frame'])} | {fmt(lat['written'])} | {r['peak_rss_mb']:.0f} MB |"
              f" {'yes' if r['kept_up'] else 'no'} | {r['load']} |", flush=True)

    best = {}
    alone = []
    with tempfile.TemporaryDirectory() as tmp:
        for d in [] if memory_only else distances:
            path = os.path.join(tmp, f"d{d}.kvlx")
            write_endless_stream(d, rounds, path, seed=d)
            for server_rate in (5_000_000, 0):
                alone.append({"d": d, **server_alone(path, server_rate)})
                RESULTS.setdefault("server_alone", []).append(alone[-1])
            rate, good, bad = start_rate, None, None
            while True:
                r = paced_run(d, rate, path, tmp)
                RESULTS.setdefault("paced", []).append(r)
                row(r)
                if r["kept_up"]:
                    good = r
                else:
                    bad = rate
                if bad is None:
                    if rate >= 4_000_000:
                        break
                    rate *= 2
                else:
                    low = good["rate"] if good else 0
                    if bad - low <= max(bad // 8, 1000):
                        break
                    rate = (low + bad) // 2
            best[d] = good
            os.remove(path)
        if memory_rounds and (best.get(distances[0]) or memory_rate):
            # Bounded memory: the same rate (half the highest kept up with, so that a loaded
            # machine does not turn it into a growing backlog) over 10^6 and memory_rounds rounds.
            d = distances[0]
            rate = memory_rate or best[d]["rate"] // 2
            for total in (1_000_000, memory_rounds):
                path = os.path.join(tmp, f"d{d}-{total}.kvlx")
                write_endless_stream(d, total, path, seed=1)
                r = paced_run(d, rate, path, tmp)
                os.remove(path)
                r["memory_check"] = True
                RESULTS.setdefault("paced", []).append(r)
                print(f"\nMemory over {r['frames']} rounds at d = {d}, {rate} frames/s: peak RSS "
                      f"{r['peak_rss_mb']:.1f} MB; largest backlog {r['largest_backlog']}; kept up: "
                      f"{'yes' if r['kept_up'] else 'no'}; commit latency from the closing frame "
                      f"{r['latency_us']['closing'][0]:.0f} / {r['latency_us']['closing'][1]:.0f} / "
                      f"{r['latency_us']['closing'][2]:.0f} us; load {r['load']}")
    print("\nThe server alone (serve on core 0 into a plain socket reader on core 1; rate 0: full speed):\n")
    print("| d | rate asked frames/s | arrived frames/s | MB/s | load |")
    print("|---|---|---|---|---|")
    for r in alone:
        print(f"| {r['d']} | {r['rate'] or 'full'} | {r['arrived_per_s']:.0f} | {r['mb_per_s']:.0f} | {r['load']} |")
    print("\n| d | highest rate kept up with | rounds/s | commit latency median / p99.9 / worst | load |")
    print("|---|---|---|---|---|")
    for d, r in best.items():
        if r:
            lat = r["latency_us"]["closing"]
            print(f"| {d} | {r['rate']} | {r['rounds_per_s']:.0f} | {lat[0]:.0f} / {lat[1]:.0f} / {lat[2]:.0f} us |"
                  f" {r['load']} |")
        else:
            print(f"| {d} | none from {start_rate} | | | |")
    print()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--json", help="also write every table's rows to this file as JSON")
    parser.add_argument("--paced-rounds", type=int, default=1_000_000, help="frames per paced live run")
    parser.add_argument("--paced-start", type=int, default=50_000, help="the first paced rate, frames/s")
    parser.add_argument("--memory-rounds", type=int, default=10_000_000,
                        help="frames of the paced memory check (0: none)")
    parser.add_argument("--distances", type=int, nargs="+", help="paced runs at these distances only")
    parser.add_argument("--memory-rate", type=int, help="the memory check's rate (default: half the highest)")
    parser.add_argument("--memory-only", action="store_true", help="paced: skip the rate search (needs --memory-rate)")
    parser.add_argument("--stream-rounds", type=int, default=100_000,
                        help="rounds of the stream the cost table's two-thread columns decode")
    parser.add_argument("--full-speed-rounds", type=int, default=1_000_000, help="frames per full-speed live run")
    parser.add_argument("--only", choices=["accuracy", "throughput", "memory", "cost", "buffers", "full_speed",
                                           "paced"],
                        action="append",
                        help="run only these sections (repeatable)")
    parser.add_argument("--method", choices=["union-find", "matching"], default="union-find",
                        help="kelvane's decoding method in every table")
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    global METHOD
    METHOD = args.method
    if args.memory_child:
        memory_child(args.memory_child)
        return
    want = set(args.only or ["accuracy", "throughput", "memory", "cost", "buffers", "full_speed", "paced"])
    if args.quick:
        if "accuracy" in want:
            accuracy([5], [0.005], lambda d: 2000)
        if "throughput" in want:
            throughput([5], [0.001], 20000)
        if "cost" in want:
            cost([5], 0.001, lambda d: 200, 5000)
        if "buffers" in want:
            buffers([5], 0.005, lambda d: 500)
        if "full_speed" in want:
            full_speed([5], 50_000)
        if "paced" in want:
            paced([5], 20_000, 50_000, 0)
    else:
        shots = {5: 40000, 7: 20000, 9: 8000, 11: 4000, 13: 2500}
        if "accuracy" in want:
            accuracy([5, 7, 9, 11, 13], [0.001, 0.003, 0.005], lambda d: shots[d])
        if "throughput" in want:
            throughput([3, 5, 7, 9, 11, 13], [0.001, 0.005], 200_000)
        if "memory" in want:
            memory()
        if "cost" in want:
            cost([5, 7, 9, 11, 13], 0.001, lambda d: 200_000 // d**2, args.stream_rounds)
        if "buffers" in want:
            buffers([5, 7, 9], 0.005, lambda d: {5: 4000, 7: 6000, 9: 8000}[d])
        if "full_speed" in want:
            full_speed(args.distances or [5, 9, 13], args.full_speed_rounds)
        if "paced" in want:
            paced(args.distances or [5, 7, 9, 11], args.paced_rounds, args.paced_start, args.memory_rounds,
                  args.memory_rate, args.memory_only)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(RESULTS, f, indent=1)


if __name__ == "__main__":
    main()
