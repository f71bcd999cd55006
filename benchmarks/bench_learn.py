"""The error model learned from detection events: estimator accuracy and decoding with it.

(a) Graphlike model: a repetition-code memory (every mechanism one or two detectors) whose
    terms are each off by a random factor in [1/3, 3] from the model given (a decomposed
    mechanism beside a plain one of the same detectors keeps its probability: pair correlations
    cannot tell them apart, and the estimator gives the change to the plain one); the estimates
    from the given model against the true probabilities, in standard errors sqrt(p / N).
(b) Circuit noise: a rotated surface-code memory learned from its own samples, the relative
    bias (estimate / true - 1) per edge class: space (both detectors in one round), time (one
    place, two rounds), diagonal (two places and two rounds), boundary (one detector), and
    hyperedges (three or more detectors).
(c) Decoding when the sampled circuit differs from the model given: measurement errors 5x
    higher; one qubit 10x noisier; a 2x drift of every noise channel halfway through the shots
    (and a drift of the measurement errors alone, 1x to 5x, halfway). The same test shots
    are decoded with the given model, the learned model and the true model (the sampled
    circuit's own), with paired ratios against the true model (kelvane.stats.paired_ratio).
    In the first two the model is learned from separate training shots; in the drift, as
    `kelvane.open(..., learn_every=L, learn_memory=M)` does it: each block of L shots is decoded
    with the model learned from the blocks before (the first block with the given model), each
    earlier block weighted (1 - L/M) times less per block of age (M = L: the last block alone),
    and the true model is the first half's circuit for the first half and the second's after.
    "recovered" is (given - learned) / (given - true) errors.
(d) The measurement drift again, written as a KVLX file and decoded by a running stream that
    re-learns every L shots (`kelvane.open(..., learn_every=L, learn_memory=M)`), on fewer shots.

    PYTHONPATH=build/release/python:python python3 benchmarks/bench_learn.py [--scale 1.0]
"""

from __future__ import annotations

import argparse
import itertools
import time

import numpy as np
import stim

import kelvane
from kelvane.detector_rates import expected_detector_rates
from kelvane.learn import count, estimate_error_model, estimate_from_counts, model_terms
from kelvane.stats import paired_ratio


def errors_of(dem: stim.DetectorErrorModel) -> list[stim.DemInstruction]:
    return [i for i in dem.flattened() if i.type == "error"]


def detectors_of(inst: stim.DemInstruction) -> list[int]:
    symptom: set[int] = set()
    for t in inst.targets_copy():
        if t.is_relative_detector_id():
            symptom ^= {t.val}
    return sorted(symptom)


def with_probabilities(dem: stim.DetectorErrorModel, probs) -> stim.DetectorErrorModel:
    out, it = stim.DetectorErrorModel(), iter(probs)
    for inst in dem.flattened():
        out.append(stim.DemInstruction("error", [next(it)], inst.targets_copy()) if inst.type == "error" else inst)
    return out


def surface(d: int, p: float, measure: float | None = None) -> stim.Circuit:
    return stim.Circuit.generated("surface_code:rotated_memory_z", distance=d, rounds=d, after_clifford_depolarization=p,
                                  before_round_data_depolarization=p, after_reset_flip_probability=p,
                                  before_measure_flip_probability=p if measure is None else measure)


def noisier_qubit(circuit: stim.Circuit, qubit: int, factor: float) -> stim.Circuit:
    """`circuit` with every noise channel acting on `qubit` `factor` times stronger."""
    caps = {"DEPOLARIZE1": 0.75, "DEPOLARIZE2": 15 / 16, "X_ERROR": 0.5, "Z_ERROR": 0.5}
    out = stim.Circuit()
    for inst in circuit.flattened():
        if inst.name not in caps:
            out.append(inst)
            continue
        p = inst.gate_args_copy()[0]
        targets = inst.targets_copy()
        group = 2 if inst.name == "DEPOLARIZE2" else 1
        plain, hot = [], []
        for k in range(0, len(targets), group):
            chunk = targets[k:k + group]
            (hot if any(t.value == qubit for t in chunk) else plain).extend(chunk)
        if plain:
            out.append(inst.name, plain, [p])
        if hot:
            out.append(inst.name, hot, [min(p * factor, caps[inst.name])])
    return out


def graphlike(args, rng) -> None:
    circuit = stim.Circuit.generated("repetition_code:memory", distance=7, rounds=7,
                                     after_clifford_depolarization=0.01, before_measure_flip_probability=0.01)
    given = circuit.detector_error_model(decompose_errors=True)
    # Mechanisms with one symptom (D3 D7, D3 D7 L0, D7 ^ D3) cannot be told apart: the plain ones
    # share the factor, and a decomposed one beside them keeps its probability, as the estimator
    # splits them.
    factors: dict[tuple[int, ...], float] = {}
    split = [any(t.is_separator() for t in i.targets_copy()) for i in errors_of(given)]
    has_plain = {tuple(detectors_of(i)) for i, s in zip(errors_of(given), split) if not s}
    truth = []
    for inst, s in zip(errors_of(given), split):
        key = tuple(detectors_of(inst))
        factors.setdefault(key, float(np.exp(rng.uniform(-1.1, 1.1))))
        truth.append(inst.args_copy()[0] * (1.0 if s and key in has_plain else factors[key]))
    true_dem = with_probabilities(given, truth)
    shots = int(args.scale * 1_000_000)
    dets, _, _ = true_dem.compile_sampler(seed=11).sample(shots, bit_packed=True)
    start = time.perf_counter()
    learned = estimate_error_model(dets, given, bit_packed=True)
    seconds = time.perf_counter() - start
    rates = expected_detector_rates(true_dem)
    est = np.array([i.args_copy()[0] for i in errors_of(learned)])
    tru = np.array(truth)
    scale = np.array([t if len(detectors_of(i)) == 2 else rates[detectors_of(i)[0]]
                      for i, t in zip(errors_of(given), truth)])
    z = (est - tru) / np.sqrt(scale / shots)
    given_z = (np.array([i.args_copy()[0] for i in errors_of(given)]) - tru) / np.sqrt(scale / shots)
    print(f"(a) graphlike: repetition code d=7, 7 rounds, {len(tru)} mechanisms, {shots} shots "
          f"(estimate {seconds:.2f} s, bit-packed)")
    print(f"    learned: |z| <= 2 for {np.mean(np.abs(z) <= 2):.1%}, <= 3 for {np.mean(np.abs(z) <= 3):.1%}, "
          f"max |z| {np.max(np.abs(z)):.2f}, mean z {np.mean(z):+.2f}")
    print(f"    given:   |z| <= 3 for {np.mean(np.abs(given_z) <= 3):.1%}, median |z| {np.median(np.abs(given_z)):.1f}")


def edge_class(inst: stim.DemInstruction, coords) -> str:
    ds = detectors_of(inst)
    if len(ds) == 1:
        return "boundary"
    if len(ds) > 2:
        return "hyperedge"
    a, b = (coords[d] for d in ds)
    same_time, same_place = a[-1] == b[-1], list(a[:-1]) == list(b[:-1])
    return "space" if same_time else "time" if same_place else "diagonal"


def circuit_bias(args) -> None:
    d, p = 5, 0.003
    circuit = surface(d, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    shots = int(args.scale * 1_000_000)
    dets = circuit.compile_detector_sampler(seed=12).sample(shots, bit_packed=True)
    start = time.perf_counter()
    learned = estimate_error_model(dets, dem, bit_packed=True)
    seconds = time.perf_counter() - start
    coords = dem.get_detector_coordinates()
    print(f"\n(b) circuit noise: rotated surface code d={d}, {d} rounds, p={p}, {shots} shots "
          f"(estimate {seconds:.2f} s, bit-packed)")
    print(f"    {'class':<10}{'mechanisms':>11}{'mean bias':>11}{'± s.e.':>9}{'median':>9}{'mean p':>10}")
    rows: dict[str, list[tuple[float, float]]] = {}
    for g, e in zip(errors_of(dem), errors_of(learned)):
        rows.setdefault(edge_class(g, coords), []).append((g.args_copy()[0], e.args_copy()[0]))
    for cls in ("space", "time", "diagonal", "boundary", "hyperedge"):
        if cls not in rows:
            continue
        true, est = np.array(rows[cls]).T
        rel = est / true - 1
        print(f"    {cls:<10}{len(rel):>11}{np.mean(rel):>+11.3f}{np.std(rel) / np.sqrt(len(rel)):>9.3f}"
              f"{np.median(rel):>+9.3f}{np.mean(true):>10.2e}")


def decode_errors(dem, dets, obs) -> np.ndarray:
    graph = kelvane.SpacetimeGraph.from_detector_error_model(dem)
    return np.any(graph.decode_batch(dets) != obs, axis=1)


def report(name: str, given_wrong, learned_wrong, true_wrong) -> None:
    g, l, t = int(given_wrong.sum()), int(learned_wrong.sum()), int(true_wrong.sum())
    recovered = f"{(g - l) / (g - t):.0%}" if g > t else "no gap"
    print(f"    {name:<32}{len(true_wrong):>9}{g:>8}{l:>9}{t:>7}   {paired_ratio(given_wrong, true_wrong)!s:<22}"
          f"{paired_ratio(learned_wrong, true_wrong)!s:<22}{recovered:>9}")


def header() -> None:
    print(f"    {'scenario':<32}{'shots':>9}{'given':>8}{'learned':>9}{'true':>7}   {'given / true':<22}"
          f"{'learned / true':<22}{'recovered':>9}")


def decoding(args) -> None:
    d, p = 5, 0.003
    given_circuit = surface(d, p)
    given = given_circuit.detector_error_model(decompose_errors=True)
    train, test = int(args.scale * 500_000), int(args.scale * 1_000_000)
    print(f"\n(c) decoding: rotated surface code d={d}, {d} rounds, given model p={p}; "
          f"{train} training shots, test shots below")
    header()
    terms = model_terms(given)
    qubits = given_circuit.get_final_qubit_coordinates()
    center = min(qubits, key=lambda q: sum((c - d) ** 2 for c in qubits[q]))
    scenarios = [("measurement errors 5x", surface(d, p, measure=5 * p)),
                 (f"qubit {center} 10x noisier", noisier_qubit(given_circuit, center, 10.0))]
    for k, (name, true_circuit) in enumerate(scenarios):
        true_dem = true_circuit.detector_error_model(decompose_errors=True)
        sampler = true_circuit.compile_detector_sampler(seed=20 + k)
        learned = estimate_error_model(sampler.sample(train, bit_packed=True), given, bit_packed=True)
        dets, obs = sampler.sample(test, separate_observables=True)
        report(name, decode_errors(given, dets, obs), decode_errors(learned, dets, obs),
               decode_errors(true_dem, dets, obs))
    # Drift: the second half of the shots from a noisier circuit, learned block by block, from the
    # last block alone (L) or from about the last M shots (learn_memory).
    shots = int(args.scale * 1_000_000)
    schedules = [(int(args.scale * 50_000), int(args.scale * 50_000)), (int(args.scale * 10_000), int(args.scale * 20_000))]
    for (name, later), (block, memory) in itertools.product(
            (("2x drift halfway", surface(d, 2 * p)), ("meas. 1x->5x halfway", surface(d, p, measure=5 * p))), schedules):
        halves = [given_circuit, later]
        parts = [c.compile_detector_sampler(seed=30 + k).sample(shots // 2, separate_observables=True)
                 for k, c in enumerate(halves)]
        dets = np.concatenate([parts[0][0], parts[1][0]])
        obs = np.concatenate([parts[0][1], parts[1][1]])
        true_wrong = np.concatenate([decode_errors(c.detector_error_model(decompose_errors=True), *parts[k])
                                     for k, c in enumerate(halves)])
        learned_wrong, model, counts = [], given, (0.0, 0.0, 0.0)
        keep = 1.0 - block / memory  # as LearningStream weighs earlier blocks
        for start in range(0, len(dets), block):
            chunk = slice(start, min(start + block, len(dets)))
            learned_wrong.append(decode_errors(model, dets[chunk], obs[chunk]))
            c = count(terms, dets[chunk])
            counts = tuple(keep * old + new for old, new in zip(counts, (c.shots, c.fired, c.both_fired)))
            model = estimate_from_counts(terms, *counts)
        label = f"{name} (L={block}" + (f", M={memory})" if memory != block else ")")
        report(label, decode_errors(given, dets, obs), np.concatenate(learned_wrong), true_wrong)


def in_stream(args) -> None:
    """The measurement drift written as a KVLX file and decoded by kelvane.open(learn_every=L)."""
    import os
    import tempfile

    from kelvane.experiment import layout_from_stim
    from kelvane.kvlx import KvlxWriter

    d, p = 5, 0.003
    halves = [surface(d, p), surface(d, p, measure=5 * p)]
    shots = int(args.scale * 200_000)
    parts = [c.compile_detector_sampler(seed=40 + k).sample(shots // 2, separate_observables=True)
             for k, c in enumerate(halves)]
    dets = np.concatenate([parts[0][0], parts[1][0]])
    obs = np.concatenate([parts[0][1], parts[1][1]])
    given = halves[0].detector_error_model(decompose_errors=True)
    layout = layout_from_stim(halves[0])
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "drift.kvlx")
        with KvlxWriter(path) as writer:
            writer.write_shots(dets, obs, layout=layout, dem=given)
        true_wrong = np.concatenate([decode_errors(c.detector_error_model(decompose_errors=True), *parts[k])
                                     for k, c in enumerate(halves)])
        given_wrong = decode_errors(given, dets, obs)
        print(f"\n(d) in a stream: kelvane.open(..., learn_every=L, learn_memory=M) over {shots} shots of the "
              f"measurement drift")
        header()
        for block, memory in ((shots // 10, shots // 10), (shots // 40, shots // 10)):
            start = time.process_time()
            with kelvane.open(path, decoder=given, learn_every=block, learn_memory=memory) as stream:
                flips = np.array([f.observable_flips for f in stream if f.round == layout.shape[0] - 1],
                                 dtype=np.uint64)
                swaps = stream.model_swaps
            seconds = time.process_time() - start
            learned_wrong = (flips & 1).astype(bool) != obs[:, 0]
            report(f"stream L={block}, M={memory}", given_wrong, learned_wrong, true_wrong)
            print(f"      ({swaps} model swaps, {seconds:.1f} s CPU)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiply every shot count")
    args = parser.parse_args()
    rng = np.random.default_rng(10)
    graphlike(args, rng)
    circuit_bias(args)
    decoding(args)
    in_stream(args)


if __name__ == "__main__":
    main()
