"""Frame generators and views shared by the stream and frame tests.

Frames are described by the keyword arguments of ``KvlxWriter.write_frame``; ``expected_view``
says what a ``SyndromeFrame`` read back from such a frame must show, and ``frame_view`` reads
the same fields from a ``SyndromeFrame``.
"""

from __future__ import annotations

import random
import struct

from kelvane.kvlx import KvlxWriter, encode_frame, encode_file_header


def make_frames(count, ancillas=8, seed=0, first_id=1, flips=True, timing=False, **extra):
    """``count`` frames with increasing ids and random events/results, deterministic in ``seed``."""
    rng = random.Random(seed)
    frames = []
    for k in range(count):
        kw = dict(
            frame_id=first_id + 3 * k,
            round=k,
            timestamp_ns=1_000_000 + 250 * k,
            qubit_count=2 * ancillas + 1,
            code_type=1,
            distance=3,
            detector_events=[int(rng.random() < 0.2) for _ in range(ancillas)],
            meas_results=[rng.choice((-1, 0, 1, 127, -128)) for _ in range(ancillas)],
        )
        if flips:
            kw["observable_flips"] = rng.getrandbits(64)
        if timing:
            kw["timing_offsets"] = [rng.randrange(0, 10001) for _ in range(ancillas)]
        kw.update(extra)
        frames.append(kw)
    return frames


def file_bytes(frames, **header):
    return encode_file_header(**header) + b"".join(encode_frame(**f) for f in frames)


def write_file(path, frames, **writer_kw):
    with open(path, "wb") as f:
        w = KvlxWriter(f, **writer_kw)
        for fr in frames:
            w.write_frame(**fr)
    return path


def expected_view(kw):
    n = len(kw.get("detector_events", kw.get("meas_results", [])))
    events = [int(bool(e)) for e in kw.get("detector_events", [0] * n)]
    meas = kw.get("meas_results", [0] * n)
    return dict(
        frame_id=kw["frame_id"],
        round=kw.get("round", 0),
        timestamp_ns=kw.get("timestamp_ns", 0),
        qubit_count=kw.get("qubit_count", 0),
        ancilla_count=n,
        detector_event_count=sum(events),
        code_type=kw.get("code_type", 0),
        distance=kw.get("distance", 0),
        detector_events=events,
        meas_results=struct.pack(f"<{len(meas)}b", *meas),
        observable_flips=kw.get("observable_flips"),
    )


def frame_view(frame):
    d = frame.to_dict()
    return dict(
        frame_id=frame.frame_id,
        round=frame.round,
        timestamp_ns=frame.timestamp_ns,
        qubit_count=frame.qubit_count,
        ancilla_count=frame.ancilla_count,
        detector_event_count=frame.detector_event_count,
        code_type=frame.code_type,
        distance=frame.distance,
        detector_events=[int(x) for x in frame.to_numpy_detector_events()],
        meas_results=frame.meas_results(),
        observable_flips=d["observable_flips"],
    )
