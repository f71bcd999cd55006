"""Write a KVLX file of simulated syndrome frames, then stream it back with kelvane.

The simulation is a distance-5 repetition code measured for 200 rounds: each round every data
qubit flips with probability 2%, each ancilla reports the parity of its two neighbours, and a
detector fires where an ancilla's parity differs from the previous round's.
"""

import os
import tempfile

import numpy as np

from kelvane import KelvaneStream, __version__
from kelvane.kvlx import KvlxWriter

DISTANCE = 5
ANCILLAS = DISTANCE - 1
ROUNDS = 200


def simulate(path, rng):
    data = np.zeros(DISTANCE, dtype=bool)
    previous = np.zeros(ANCILLAS, dtype=bool)
    with open(path, "wb") as f:
        writer = KvlxWriter(f)
        for r in range(ROUNDS):
            data ^= rng.random(DISTANCE) < 0.02
            parity = data[:-1] ^ data[1:]
            writer.write_frame(
                frame_id=r,
                round=r,
                timestamp_ns=1_000 * r,
                qubit_count=DISTANCE + ANCILLAS,
                code_type=4,  # repetition code
                distance=DISTANCE,
                detector_events=parity ^ previous,
                meas_results=np.where(parity, -1, 1).astype(np.int8),
                observable_flips=int(data[0]),
            )
            previous = parity
    return writer.bytes_written


def main():
    print(f"kelvane {__version__}")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "repetition_d5.kvlx")
        size = simulate(path, np.random.default_rng(7))
        print(f"wrote {ROUNDS} frames ({size} bytes) to {path}")

        fired = frames = 0
        with KelvaneStream(path) as stream:
            for frame in stream:
                if frame.frame_id < 3:
                    print(repr(frame))
                    print("   ", frame.to_dict())
                frames += 1
                fired += frame.detector_event_count
                last = frame
        print(f"read {frames} frames, {fired} detection events "
              f"({fired / max(frames, 1):.3f} per round); "
              f"last frame {last.frame_id}: observable flipped = {bool(last.observable_flips)}")


if __name__ == "__main__":
    main()
