"""Stream and decode a simulated surface-code memory experiment with kelvane.

Stim samples a distance-5 rotated surface-code memory experiment (5 rounds, noise p = 0.003 on
every gate, reset, idle and measurement). kelvane.write_stim_experiment writes the shots as KVLX
frames, one frame per round in the layout kelvane.layout_from_stim derives from the circuit's
detector coordinates, with each shot's true logical flip on its last frame. kelvane then streams
the file back with per-shot decoding: each shot is decoded once, when its last frame arrives, by
the Union-Find decoder built from the experiment's detector error model. The logical error rate,
with a 95% confidence interval, is printed next to PyMatching's on the same shots, then the
paired comparison (the ratio of the two decoders' errors, its interval from the shots where
they disagree, and which decoder was right on those shots), the stream's frame rate and both
decoders' speed on the same array of shots.
"""

import os
import sys
import tempfile
import time

import numpy as np
import pymatching
import stim

import kelvane
from kelvane._bench import best_of
from kelvane.stats import paired_ratio, rate_text

DISTANCE = 5
NOISE = 0.003
SHOTS = 20_000


def main(shots: int = SHOTS) -> None:
    print(f"kelvane {kelvane.__version__}")
    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_z", distance=DISTANCE, rounds=DISTANCE, after_clifford_depolarization=NOISE,
        before_round_data_depolarization=NOISE, before_measure_flip_probability=NOISE,
        after_reset_flip_probability=NOISE)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "surface.kvlx")
        start = time.perf_counter()
        exp = kelvane.write_stim_experiment(circuit, shots, path, seed=2026)
        written = time.perf_counter() - start
        rounds, ancillas = exp.layout.shape
        print(f"rotated surface code d={DISTANCE}, {DISTANCE} rounds, p={NOISE}: {exp.dem.num_detectors} detectors, "
              f"{shots} shots sampled with Stim")
        print(f"layout: {rounds} rounds x {ancillas} ancilla slots, detectors per round "
              f"{[int(n) for n in (exp.layout >= 0).sum(axis=1)]}")
        print(f"wrote {exp.frames} frames ({os.path.getsize(path)} bytes) in {written:.2f} s")

        predictions, truth = [], []
        start = time.perf_counter()
        # The file stores its layout and model: the stream decodes it shot by shot unasked.
        with kelvane.open(path, decoder=exp.dem) as stream:
            for frame in stream:
                if frame.round == rounds - 1:  # a shot's last frame carries its prediction
                    predictions.append(frame.observable_flips)
                    truth.append(frame.source_observable_flips)
            incomplete = stream.incomplete_shots
        elapsed = time.perf_counter() - start
    predictions = np.array(predictions, dtype=np.uint64)
    truth = np.array(truth, dtype=np.uint64)
    assert np.array_equal(truth, exp.observables[:, 0]), "the flips read back are the ones written"
    print(f"streamed {exp.frames} frames in {elapsed:.2f} s: {exp.frames / elapsed:,.0f} frames/s, "
          f"{shots / elapsed:,.0f} shots/s (read + decode, one thread); {incomplete} shots cut short")

    kelvane_wrong = predictions != truth
    matching = pymatching.Matching.from_detector_error_model(exp.dem)
    pm_wrong = matching.decode_batch(exp.detection_events)[:, 0] != exp.observables[:, 0]
    print(f"logical error rate, kelvane per-shot stream: {rate_text(int(kelvane_wrong.sum()), shots)}")
    print(f"logical error rate, PyMatching (same shots): {rate_text(int(pm_wrong.sum()), shots)}")
    ratio = paired_ratio(kelvane_wrong, pm_wrong)
    print(f"kelvane errors / PyMatching errors: {ratio} (95% CI from the {ratio.only_a + ratio.only_b} shots "
          f"where exactly one of them failed)")
    # The intervals above overlap by construction (same shots); the shots where the decoders
    # disagree are what tells them apart.
    print(f"paired: the decoders disagree on {ratio.only_a + ratio.only_b} of {shots} shots: PyMatching right on "
          f"{ratio.only_a}, kelvane right on {ratio.only_b}; both wrong on {ratio.both}")

    graph = kelvane.SpacetimeGraph.from_detector_error_model(exp.dem)
    kelvane_s, _ = best_of(lambda: graph.decode_batch(exp.detection_events), 3)
    pm_s, _ = best_of(lambda: matching.decode_batch(exp.detection_events), 3)
    print(f"decode_batch speed on the same {shots} shots (one thread, best of 3, process CPU time): kelvane "
          f"{1e6 * kelvane_s / shots:.2f} us/shot, PyMatching {1e6 * pm_s / shots:.2f} us/shot "
          f"({pm_s / kelvane_s:.2f}x)")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else SHOTS)
