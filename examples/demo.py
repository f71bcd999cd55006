"""Stream and decode a simulated memory experiment with kelvane.

Stim simulates a distance-5 repetition-code memory experiment. Each shot's detection events are
written as KVLX frames, one frame per round of detectors (the last "round" holds the detectors
of the final data measurement), into a file. kelvane then streams the file back: first plainly,
showing frames, then with a Union-Find decoder configured from the experiment's detector error
model, whose window spans one whole shot, so the decoded observable flips on each shot's last
frame are that shot's prediction. The logical error rate is compared with PyMatching's on the
same shots.
"""

import os
import tempfile

import numpy as np
import pymatching
import stim

from kelvane import DecoderResult, KelvaneStream, LogicalErrorAccumulator, __version__
from kelvane.kvlx import KvlxWriter

DISTANCE = 5
ROUNDS = 5
SHOTS = 2000
NOISE = 0.03


def make_experiment():
    circuit = stim.Circuit.generated(
        "repetition_code:memory", distance=DISTANCE, rounds=ROUNDS,
        after_clifford_depolarization=NOISE, before_measure_flip_probability=NOISE)
    dem = circuit.detector_error_model(decompose_errors=True)
    dets, obs = circuit.compile_detector_sampler(seed=7).sample(SHOTS, separate_observables=True)
    return dem, dets, obs[:, 0]


def write_frames(path, dets, truth):
    ancillas = DISTANCE - 1
    frames_per_shot = dets.shape[1] // ancillas
    with open(path, "wb") as f:
        writer = KvlxWriter(f)
        frame_id = 0
        for shot, events in enumerate(dets):
            for r, row in enumerate(events.reshape(frames_per_shot, ancillas)):
                last = r == frames_per_shot - 1
                writer.write_frame(
                    frame_id=frame_id, round=r, timestamp_ns=1_000 * frame_id,
                    qubit_count=2 * DISTANCE - 1, code_type=4, distance=DISTANCE,
                    detector_events=row, meas_results=np.ones(ancillas, dtype=np.int8),
                    # The true logical flip travels with the shot's last frame.
                    observable_flips=int(truth[shot]) if last else None)
                frame_id += 1
    return frames_per_shot, writer.bytes_written


def main():
    print(f"kelvane {__version__}")
    dem, dets, truth = make_experiment()
    print(f"repetition code d={DISTANCE}, {ROUNDS} rounds, p={NOISE}: "
          f"{dem.num_detectors} detectors, {SHOTS} shots sampled with Stim")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "memory.kvlx")
        frames_per_shot, size = write_frames(path, dets, truth)
        print(f"wrote {SHOTS * frames_per_shot} frames ({size} bytes) to {path}")

        with KelvaneStream(path) as stream:
            events = frames = shown = 0
            for frame in stream:
                if frame.detector_event_count and shown < 3:
                    print(" ", repr(frame), frame.to_dict())
                    shown += 1
                frames += 1
                events += frame.detector_event_count
        print(f"read {frames} frames back, {events} detection events")

        accumulator = LogicalErrorAccumulator(1)
        with KelvaneStream(path) as stream:
            stream.set_decoder(str(dem), window_depth=frames_per_shot)
            for i, frame in enumerate(stream):
                if i % frames_per_shot == frames_per_shot - 1:
                    accumulator.record(DecoderResult(frame.observable_flips), int(truth[i // frames_per_shot]))
        print(f"kelvane Union-Find: {accumulator!r}")

    matching = pymatching.Matching.from_detector_error_model(dem)
    pm_errors = int(np.sum(matching.decode_batch(dets)[:, 0] != truth))
    print(f"PyMatching on the same shots: logical error rate {pm_errors / SHOTS:.4f}")


if __name__ == "__main__":
    main()
