"""kelvane's benchmark suite: one command, a Markdown report and a JSON file.

Measures, each against its peer in the same run on the same data:

* decoding: ``SpacetimeGraph.decode_batch`` vs ``pymatching.Matching.decode_batch`` on Stim
  rotated surface-code memories (µs/shot, logical error rates, their ratio with an interval from
  the shots where the two disagree), with 1 thread and, where the decoder takes
  ``num_threads``, with N threads;
* stream reading: per-frame iteration and ``KelvaneStream.read_batch`` vs Stim's
  ``read_shot_data_file`` on the same detection events (frames/s, MB/s);
* KVLX writing: ``KvlxWriter.write_shots`` vs a ``write_frame`` loop;
* DEM parsing: ``DetectorErrorModel.parse`` vs ``stim.DetectorErrorModel``;
* peak memory (max RSS of a fresh process) of building and running each decoder;
* correlated decoding: ``decode_batch(..., enable_correlations=True)`` vs PyMatching plain and
  PyMatching with ``enable_correlations=True`` on the same shots, each cell sampled until
  correlated PyMatching has seen CORRELATED_MIN_ERRORS logical errors or CORRELATED_MAX_SHOTS
  shots have been decoded, with paired error ratios; and every fault set of at most two of the
  d = 5 model's error mechanisms, decoded by both kelvane modes and by PyMatching in the same
  mode (the sets PyMatching corrects that kelvane does not, and those PyMatching fails too).

The full run sweeps the decoder over d = 5 ... 21 and p = 0.001 ... 0.007; ``--plot FILE`` draws
its speed and logical-error-rate ratios to PyMatching against d, one line per p.

Times are the best of a few runs in process CPU time (``--clock wall`` for wall-clock time), which
a shared machine's other load disturbs least; the N-thread decoder row is wall-clock time beside
the 1-thread wall-clock time. ``--smoke`` runs everything at tiny sizes in seconds (for CI).
``--method matching`` runs kelvane's exact matching decoder in every decoder row instead of
Union-Find.
"""

from __future__ import annotations

import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable

import numpy as np

from kelvane.stats import PairedRatio, paired_ratio_counts


# The time the suite reports: "cpu" (process CPU time, what a shared machine's other load
# disturbs least; right for single-threaded work) or "wall". Multi-threaded rows use wall time.
CLOCK = "cpu"
# kelvane's decoding method in every decoder row ("union-find" or "matching"; ``--method``).
METHOD = "union-find"


def best_of(fn: Callable[[], Any], repeats: int, clock: str | None = None) -> tuple[float, Any]:
    """The best time of `repeats` runs of fn, on the suite's clock, and fn's last result."""
    now = time.process_time if (clock or CLOCK) == "cpu" else time.perf_counter
    best, result = float("inf"), None
    for _ in range(repeats):
        start = now()
        result = fn()
        best = min(best, now() - start)
    return best, result


def surface_circuit(d: int, p: float, basis: str = "x") -> Any:
    """A rotated surface-code memory of d rounds with all four circuit-noise knobs at p."""
    import stim

    return stim.Circuit.generated(
        f"surface_code:rotated_memory_{basis}", distance=d, rounds=d, after_clifford_depolarization=p,
        before_round_data_depolarization=p, before_measure_flip_probability=p, after_reset_flip_probability=p)


def decoder_grid() -> list[tuple[int, float, int]]:
    """The full run's decoder cases: about the same decoding work each, so fewer shots where a
    shot holds more detection events."""
    cases = []
    for d in (5, 9, 13, 17, 21):
        for p in (0.001, 0.003, 0.005, 0.007):
            fired = d**3 * p * 12  # roughly the detection events of a shot
            cases.append((d, p, max(300, int(1e6 / (fired + 20)))))
    return cases


def decode_with_threads(graph: Any, dets: np.ndarray, threads: int) -> Any:
    """decode_batch with num_threads where the decoder has it; None where it does not."""
    try:
        return graph.decode_batch(dets, num_threads=threads, method=METHOD)
    except TypeError:
        return None


def bench_decoder(cases: list[tuple[int, float, int]], threads: int, repeats: int) -> list[dict]:
    import pymatching

    from _kelvane import SpacetimeGraph

    rows = []
    for d, p, shots in cases:
        circuit = surface_circuit(d, p)
        dem = circuit.detector_error_model(decompose_errors=True)
        dets, obs = circuit.compile_detector_sampler(seed=d).sample(shots, separate_observables=True)
        graph = SpacetimeGraph.from_detector_error_model(dem)
        matching = pymatching.Matching.from_detector_error_model(dem)
        t_uf, pred_uf = best_of(lambda: graph.decode_batch(dets, method=METHOD), repeats)
        t_pm, pred_pm = best_of(lambda: matching.decode_batch(dets), repeats)
        wrong_uf, wrong_pm = (pred_uf != obs).any(axis=1), (pred_pm != obs).any(axis=1)
        row = {
            "d": d, "p": p, "shots": shots,
            "kelvane_us": 1e6 * t_uf / shots, "pymatching_us": 1e6 * t_pm / shots,
            "kelvane_errors": int(wrong_uf.sum()), "pymatching_errors": int(wrong_pm.sum()),
            "both_errors": int((wrong_uf & wrong_pm).sum()),
        }
        if decode_with_threads(graph, dets[:1], threads) is not None:
            t_1, _ = best_of(lambda: graph.decode_batch(dets, method=METHOD), repeats, clock="wall")
            t_n, pred_n = best_of(lambda: decode_with_threads(graph, dets, threads), repeats, clock="wall")
            row["kelvane_1_wall_us"] = 1e6 * t_1 / shots
            row["kelvane_threads"] = threads or os.cpu_count()
            row["kelvane_n_us"] = 1e6 * t_n / shots
            row["threads_equal"] = bool((pred_n == pred_uf).all())
        rows.append(row)
    return rows


def bench_stream(cases: list[tuple[int, int]], repeats: int) -> list[dict]:
    import stim

    from _kelvane import KelvaneStream
    from kelvane.kvlx import KvlxWriter

    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for ancillas, frames in cases:
            events = np.random.default_rng(ancillas).random((frames, ancillas)) < 0.05
            kvlx, b8 = os.path.join(tmp, "s.kvlx"), os.path.join(tmp, "s.b8")
            with KvlxWriter(kvlx) as w:
                w.write_shots(events)
            stim.write_shot_data_file(data=events, path=b8, format="b8", num_detectors=ancillas)

            def per_frame() -> int:
                return sum(1 for _ in KelvaneStream(kvlx))

            def batches() -> int:
                n, stream = 0, KelvaneStream(kvlx)
                while len(b := stream.read_batch(1 << 14)):
                    n += len(b)
                return n

            def stim_read() -> int:
                return len(stim.read_shot_data_file(path=b8, format="b8", num_detectors=ancillas))

            size = os.path.getsize(kvlx)
            t_iter, n_iter = best_of(per_frame, repeats)
            t_batch, n_batch = best_of(batches, repeats)
            t_stim, n_stim = best_of(stim_read, repeats)
            assert n_iter == n_batch == n_stim == frames
            rows.append({
                "ancillas": ancillas, "frames": frames, "kvlx_bytes": size, "b8_bytes": os.path.getsize(b8),
                "iter_fps": frames / t_iter, "batch_fps": frames / t_batch, "batch_mbps": size / t_batch / 1e6,
                "stim_sps": frames / t_stim,
            })
    return rows


def bench_writer(cases: list[tuple[int, int]], repeats: int) -> list[dict]:
    import io

    from kelvane.kvlx import KvlxWriter

    rows = []
    for shots, detectors in cases:
        dets = np.random.default_rng(shots).random((shots, detectors)) < 0.05
        zeros = np.zeros(detectors, dtype=np.int8)

        def loop() -> bytes:
            buf = io.BytesIO()
            w = KvlxWriter(buf)
            for i, row in enumerate(dets):
                w.write_frame(i, 0, row, zeros)
            return buf.getvalue()

        def array() -> bytes:
            buf = io.BytesIO()
            KvlxWriter(buf).write_shots(dets)
            return buf.getvalue()

        t_loop, a = best_of(loop, 1)
        t_arr, b = best_of(array, repeats)
        assert a == b
        rows.append({"shots": shots, "detectors": detectors, "loop_fps": shots / t_loop, "write_shots_fps": shots / t_arr})
    return rows


def bench_dem(cases: list[int], repeats: int) -> list[dict]:
    import stim

    from _kelvane import DetectorErrorModel

    rows = []
    for d in cases:
        text = str(surface_circuit(d, 0.001).detector_error_model(decompose_errors=True))
        t_k, _ = best_of(lambda: DetectorErrorModel.parse(text), repeats)
        t_s, _ = best_of(lambda: stim.DetectorErrorModel(text), repeats)
        rows.append({"d": d, "bytes": len(text), "kelvane_ms": 1e3 * t_k, "stim_ms": 1e3 * t_s})
    return rows


_MEMORY_SNIPPET = """
import sys
import numpy as np

def peak_kb():  # VmHWM: this process's own peak (ru_maxrss would include the parent's, kept over exec)
    return int(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")).split()[1])

dem_path, shots_path, which, method = sys.argv[1:5]
dets = np.load(shots_path)
text = open(dem_path).read()
if which == "kelvane":
    import _kelvane
else:
    import pymatching, stim
before = peak_kb()
if which == "kelvane":
    _kelvane.SpacetimeGraph.from_detector_error_model(text).decode_batch(dets, method=method)
else:
    pymatching.Matching.from_detector_error_model(stim.DetectorErrorModel(text)).decode_batch(dets)
print(before, peak_kb())
"""


def bench_memory(d: int, p: float, shots: int) -> dict:
    """Peak RSS (MB) of a fresh process that loads a model's text, its shots and one decoder's
    modules, then builds and runs that decoder; the growth is what building and decoding added."""
    circuit = surface_circuit(d, p)
    out: dict[str, Any] = {"d": d, "p": p, "shots": shots}
    with tempfile.TemporaryDirectory() as tmp:
        dem_path, shots_path = os.path.join(tmp, "model.dem"), os.path.join(tmp, "shots.npy")
        with open(dem_path, "w") as f:
            f.write(str(circuit.detector_error_model(decompose_errors=True)))
        np.save(shots_path, circuit.compile_detector_sampler(seed=1).sample(shots))
        for which in ("kelvane", "pymatching"):
            res = subprocess.run([sys.executable, "-c", _MEMORY_SNIPPET, dem_path, shots_path, which, METHOD],
                                 capture_output=True, text=True, check=True, env=os.environ.copy())
            before, after = (int(x) for x in res.stdout.split())
            out[f"{which}_peak_mb"] = after / 1024
            out[f"{which}_growth_mb"] = (after - before) / 1024
    return out


# A ratio of a few logical errors is noise: the suite gives one where PyMatching saw this many.
MIN_RATIO_ERRORS = 50


def ler_ratio(row: dict) -> PairedRatio:
    """kelvane's logical errors over PyMatching's on the same shots, with its 95% interval."""
    both = row["both_errors"]
    return paired_ratio_counts(row["kelvane_errors"] - both, row["pymatching_errors"] - both, both)


# The correlated cells' fixed stopping rule: sample until correlated PyMatching has this many
# logical errors, or this many shots have been decoded.
CORRELATED_MIN_ERRORS = 200
CORRELATED_MAX_SHOTS = 2_000_000


def correlated_grid() -> list[tuple[int, float]]:
    return [(d, p) for d in (5, 9, 13, 17) for p in (0.001, 0.003, 0.005, 0.007)]


def bench_correlated(cases: list[tuple[int, float]], min_errors: int = CORRELATED_MIN_ERRORS,
                     max_shots: int = CORRELATED_MAX_SHOTS) -> list[dict]:
    """Both kelvane modes, PyMatching and correlated PyMatching on the same shots, sampled in
    chunks until correlated PyMatching has `min_errors` logical errors or `max_shots` shots are
    done. Times are the sums over the chunks on the suite's clock."""
    import pymatching

    from _kelvane import SpacetimeGraph

    rows = []
    for d, p in cases:
        circuit = surface_circuit(d, p)
        dem = circuit.detector_error_model(decompose_errors=True)
        sampler = circuit.compile_detector_sampler(seed=d)
        graph = SpacetimeGraph.from_detector_error_model(dem, enable_correlations=True)
        matching = pymatching.Matching.from_detector_error_model(dem, enable_correlations=True)
        decoders = {
            "kelvane": lambda x: graph.decode_batch(x, method=METHOD),
            "kelvane_corr": lambda x: graph.decode_batch(x, enable_correlations=True, method=METHOD),
            "pymatching": lambda x: matching.decode_batch(x),
            "pymatching_corr": lambda x: matching.decode_batch(x, enable_correlations=True),
        }
        seconds = dict.fromkeys(decoders, 0.0)
        errors = dict.fromkeys(decoders, 0)
        both = {"corr_pm": 0, "corr_pmc": 0, "plain_pm": 0}
        chunk = max(300, int(2e5 / (d**3 * p * 12 + 20)))
        shots = 0
        while errors["pymatching_corr"] < min_errors and shots < max_shots:
            n = min(chunk, max_shots - shots)
            dets, obs = sampler.sample(n, separate_observables=True)
            wrong = {}
            for name, fn in decoders.items():
                t, pred = best_of(lambda: fn(dets), 1)
                seconds[name] += t
                wrong[name] = (pred != obs).any(axis=1)
                errors[name] += int(wrong[name].sum())
            both["corr_pm"] += int((wrong["kelvane_corr"] & wrong["pymatching"]).sum())
            both["corr_pmc"] += int((wrong["kelvane_corr"] & wrong["pymatching_corr"]).sum())
            both["plain_pm"] += int((wrong["kelvane"] & wrong["pymatching"]).sum())
            shots += n
            chunk = min(chunk * 2, 200_000)
        row: dict[str, Any] = {"d": d, "p": p, "shots": shots, "both": both}
        for name in decoders:
            row[f"{name}_us"] = 1e6 * seconds[name] / shots
            row[f"{name}_errors"] = errors[name]
        rows.append(row)
    return rows


def correlated_ratio(row: dict, peer: str) -> PairedRatio:
    """Correlated kelvane's logical errors over `peer`'s ("pymatching" or "pymatching_corr")."""
    both = row["both"]["corr_pm" if peer == "pymatching" else "corr_pmc"]
    return paired_ratio_counts(row["kelvane_corr_errors"] - both, row[f"{peer}_errors"] - both, both)


def mechanism_faults(dem: Any) -> list[tuple[set[int], int]]:
    """Each error mechanism's detectors and observable mask, its components combined."""
    faults = []
    for inst in dem.flattened():
        if inst.type != "error":
            continue
        dets: set[int] = set()
        obs = 0
        for t in inst.targets_copy():
            if t.is_relative_detector_id():
                dets ^= {t.val}
            elif t.is_logical_observable_id():
                obs ^= 1 << t.val
        faults.append((dets, obs))
    return faults


def low_weight_check(d: int, p: float = 0.001, chunk: int = 100_000) -> dict:
    """Every fault set of one or two of the distance-d model's error mechanisms, decoded by
    kelvane and PyMatching in each mode (plain, correlated): per mode, the sets PyMatching in
    that mode corrects and kelvane does not, and the number PyMatching fails."""
    import itertools

    import pymatching

    from _kelvane import SpacetimeGraph

    dem = surface_circuit(d, p).detector_error_model(decompose_errors=True)
    faults = mechanism_faults(dem)
    graph = SpacetimeGraph.from_detector_error_model(dem, enable_correlations=True)
    matching = pymatching.Matching.from_detector_error_model(dem, enable_correlations=True)
    sets = itertools.chain(((i,) for i in range(len(faults))), itertools.combinations(range(len(faults)), 2))
    out: dict[str, Any] = {"d": d, "mechanisms": len(faults), "sets": 0}
    for mode in ("plain", "correlated"):
        out[mode] = {"kelvane_only_fails": [], "pymatching_fails": 0, "both_fail": 0}
    while True:
        batch = list(itertools.islice(sets, chunk))
        if not batch:
            break
        shots = np.zeros((len(batch), dem.num_detectors), dtype=np.uint8)
        truth = np.zeros(len(batch), dtype=np.uint64)
        for k, fault_set in enumerate(batch):
            for i in fault_set:
                for det in faults[i][0]:
                    shots[k, det] ^= 1
                truth[k] ^= faults[i][1]
        out["sets"] += len(batch)
        for mode in ("plain", "correlated"):
            correlated = mode == "correlated"
            pm_ok = matching.decode_batch(shots, enable_correlations=correlated)[:, 0].astype(np.uint64) == truth
            ok = graph.decode_batch(shots, return_masks=True, enable_correlations=correlated, method=METHOD) == truth
            out[mode]["kelvane_only_fails"] += [batch[k] for k in np.flatnonzero(pm_ok & ~ok)]
            out[mode]["pymatching_fails"] += int((~pm_ok).sum())
            out[mode]["both_fail"] += int((~pm_ok & ~ok).sum())
    return out


def markdown(results: dict) -> str:
    lines = [f"kelvane benchmark suite ({results['mode']}; {results['machine']}; {results['clock']} time; "
             f"kelvane method={results.get('method', 'union-find')})", ""]
    lines += ["| d | p | shots | kelvane µs/shot | PyMatching µs/shot | speed × | kelvane LER | PyMatching LER "
              "| LER × [95% CI] | kelvane wall µs/shot, 1 → N threads |", "|---|---|---|---|---|---|---|---|---|---|"]
    for r in results["decoder"]:
        ler_k, ler_p = r["kelvane_errors"] / r["shots"], r["pymatching_errors"] / r["shots"]
        ratio = str(ler_ratio(r)) if r["pymatching_errors"] >= MIN_RATIO_ERRORS else "–"
        threads = (f"{r['kelvane_1_wall_us']:.2f} → {r['kelvane_n_us']:.2f} ({r['kelvane_threads']} thr)"
                   if "kelvane_n_us" in r else "n/a")
        lines.append(f"| {r['d']} | {r['p']} | {r['shots']} | {r['kelvane_us']:.2f} | {r['pymatching_us']:.2f} "
                     f"| {r['pymatching_us'] / r['kelvane_us']:.2f} | {ler_k:.5f} | {ler_p:.5f} | {ratio} | {threads} |")
    lines += ["", "| ancillas | frames | iteration frames/s | read_batch frames/s | read_batch MB/s "
              "| Stim b8 shots/s | read_batch ÷ Stim |", "|---|---|---|---|---|---|---|"]
    for r in results["stream"]:
        lines.append(f"| {r['ancillas']} | {r['frames']} | {r['iter_fps']:,.0f} | {r['batch_fps']:,.0f} "
                     f"| {r['batch_mbps']:.0f} | {r['stim_sps']:,.0f} | {r['batch_fps'] / r['stim_sps']:.2f} |")
    lines += ["", "| shots × detectors | write_frame loop frames/s | write_shots frames/s | speed × |",
              "|---|---|---|---|"]
    for r in results["writer"]:
        lines.append(f"| {r['shots']} × {r['detectors']} | {r['loop_fps']:,.0f} | {r['write_shots_fps']:,.0f} "
                     f"| {r['write_shots_fps'] / r['loop_fps']:.1f} |")
    lines += ["", "| DEM (surface d) | bytes | kelvane parse ms | Stim parse ms | speed × |", "|---|---|---|---|---|"]
    for r in results["dem"]:
        lines.append(f"| {r['d']} | {r['bytes']} | {r['kelvane_ms']:.2f} | {r['stim_ms']:.2f} "
                     f"| {r['stim_ms'] / r['kelvane_ms']:.2f} |")
    if results.get("correlated"):
        rule = results["correlated_rule"]
        lines += ["", f"Correlated decoding (each cell until correlated PyMatching has {rule['min_errors']} errors or "
                  f"{rule['max_shots']:,} shots; speed × is PyMatching plain time ÷ kelvane correlated time):", "",
                  "| d | p | shots | kelvane µs/shot plain → corr | PyMatching µs/shot plain / corr | speed × "
                  "| errors kelvane / kelvane-corr / PM / PM-corr | corr ÷ PM-corr [95% CI] | corr ÷ PM [95% CI] |",
                  "|---|---|---|---|---|---|---|---|---|"]
        for r in results["correlated"]:
            vs_pmc = str(correlated_ratio(r, "pymatching_corr")) if r["pymatching_corr_errors"] else "–"
            vs_pm = str(correlated_ratio(r, "pymatching")) if r["pymatching_errors"] else "–"
            lines.append(f"| {r['d']} | {r['p']} | {r['shots']} | {r['kelvane_us']:.2f} → {r['kelvane_corr_us']:.2f} "
                         f"| {r['pymatching_us']:.2f} / {r['pymatching_corr_us']:.2f} "
                         f"| {r['pymatching_us'] / r['kelvane_corr_us']:.2f} | {r['kelvane_errors']} / "
                         f"{r['kelvane_corr_errors']} / {r['pymatching_errors']} / {r['pymatching_corr_errors']} "
                         f"| {vs_pmc} | {vs_pm} |")
    if results.get("low_weight"):
        w = results["low_weight"]
        lines += ["", f"Fault sets of at most two of the d={w['d']} model's {w['mechanisms']} error mechanisms "
                  f"({w['sets']:,} sets):"]
        for mode in ("plain", "correlated"):
            m_ = w[mode]
            fails = m_["kelvane_only_fails"]
            lines.append(f"- {mode}: PyMatching ({mode}) fails {m_['pymatching_fails']} (kelvane too: "
                         f"{m_['both_fail']}); kelvane fails {len(fails)} that PyMatching corrects"
                         + (f", e.g. {fails[:8]}" if fails else ""))
    m = results["memory"]
    lines += ["", f"Peak RSS decoding {m['shots']} shots at d={m['d']}, p={m['p']} in a fresh process: kelvane "
              f"{m['kelvane_peak_mb']:.0f} MB (+{m['kelvane_growth_mb']:.1f} MB to build the decoder and decode), "
              f"PyMatching {m['pymatching_peak_mb']:.0f} MB (+{m['pymatching_growth_mb']:.1f} MB)."]
    return "\n".join(lines)


def plot(results: dict, path: str) -> None:
    """Speed and logical-error-rate ratios to PyMatching against d, one line per p. LER ratios,
    with their 95% intervals, are drawn only where PyMatching saw at least 50 logical errors."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (speed, ler) = plt.subplots(1, 2, figsize=(10, 4))
    for p in sorted({r["p"] for r in results["decoder"]}):
        rows = sorted((r for r in results["decoder"] if r["p"] == p), key=lambda r: r["d"])
        speed.plot([r["d"] for r in rows], [r["pymatching_us"] / r["kelvane_us"] for r in rows], "o-", label=f"p = {p}")
        ratios = [(r["d"], ler_ratio(r)) for r in rows if r["pymatching_errors"] >= MIN_RATIO_ERRORS]
        ler.errorbar([d for d, _ in ratios], [x.ratio for _, x in ratios], fmt="o-", capsize=3, label=f"p = {p}",
                     yerr=[[x.ratio - x.low for _, x in ratios], [x.high - x.ratio for _, x in ratios]])
    for k, p in enumerate(sorted({r["p"] for r in results.get("correlated", [])})):
        rows = sorted((r for r in results["correlated"] if r["p"] == p), key=lambda r: r["d"])
        colour = f"C{k}"
        speed.plot([r["d"] for r in rows], [r["pymatching_us"] / r["kelvane_corr_us"] for r in rows], "s--",
                   color=colour, label=f"correlated, p = {p}")
        ratios = [(r["d"], correlated_ratio(r, "pymatching_corr")) for r in rows
                  if r["pymatching_corr_errors"] >= MIN_RATIO_ERRORS]
        ler.errorbar([d for d, _ in ratios], [x.ratio for _, x in ratios], fmt="s--", color=colour, capsize=3,
                     label=f"correlated ÷ PM correlated, p = {p}",
                     yerr=[[x.ratio - x.low for _, x in ratios], [x.high - x.ratio for _, x in ratios]])
    speed.axhline(1, color="grey", lw=0.8)
    speed.set(xlabel="distance d", ylabel="PyMatching (plain) time / kelvane time (one thread)",
              title="decoding speed (dashed: kelvane correlated)")
    ler.axhline(1, color="grey", lw=0.8)
    ler.set(xlabel="distance d", ylabel="kelvane LER / PyMatching LER", title="logical error rate")
    for ax in (speed, ler):
        ax.grid(alpha=0.3)
        ax.legend(fontsize=6)
    fig.suptitle(f"kelvane Union-Find vs PyMatching, rotated surface-code memory ({results['machine']})", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main(smoke: bool = False, json_path: str | None = "bench.json", threads: int = 0, clock: str = "cpu",
         plot_path: str | None = None, correlated_max_shots: int = CORRELATED_MAX_SHOTS,
         method: str = "union-find") -> int:
    global CLOCK, METHOD
    CLOCK = clock
    METHOD = method
    if smoke:
        decoder = [(3, 0.005, 500), (5, 0.005, 200)]
        stream, writer, dem, memory, repeats = [(24, 5000), (624, 500)], [(500, 24)], [3], (3, 0.005, 200), 1
        correlated, correlated_max_shots, low_weight_d = [(3, 0.005)], min(correlated_max_shots, 500), 3
    else:
        correlated, low_weight_d = correlated_grid(), 5
        decoder = decoder_grid()
        stream, writer = [(24, 1_000_000), (624, 100_000)], [(20_000, 24), (5000, 624)]
        dem, memory, repeats = [9, 17], (21, 0.005, 500), 3
    results = {
        "mode": "smoke" if smoke else "full",
        "clock": clock,
        "method": method,
        "machine": f"{platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}",
        "decoder": bench_decoder(decoder, threads, repeats),
        "stream": bench_stream(stream, repeats),
        "writer": bench_writer(writer, repeats),
        "dem": bench_dem(dem, repeats),
        "memory": bench_memory(*memory),
        "correlated_rule": {"min_errors": CORRELATED_MIN_ERRORS, "max_shots": correlated_max_shots},
        "correlated": bench_correlated(correlated, CORRELATED_MIN_ERRORS, correlated_max_shots),
        "low_weight": low_weight_check(low_weight_d),
    }
    print(markdown(results))
    if json_path:
        with open(json_path, "w") as f:
            json.dump(results, f, indent=1)
        print(f"\nwrote {json_path}")
    if plot_path:
        plot(results, plot_path)
        print(f"wrote {plot_path}")
    return 0
