"""KvlxWriter conveniences: paths, context manager, positional frames and the array form."""

import io

import numpy as np
import pytest

import kelvane
from kelvane.kvlx import KvlxWriter


def frame_loop(dets, obs, layout):
    """The frames write_shots must produce, written one write_frame call at a time."""
    buf = io.BytesIO()
    w = KvlxWriter(buf)
    lay = np.arange(dets.shape[1])[None, :] if layout is None else layout
    fid = 0
    for s in range(dets.shape[0]):
        for r, row in enumerate(lay):
            events = [int(dets[s, d]) if d >= 0 else 0 for d in row]
            extra = {}
            if obs is not None and r == len(lay) - 1:
                extra["observable_flips"] = sum(int(b) << k for k, b in enumerate(obs[s]))
            w.write_frame(fid, r, events, [0] * len(row), distance=5, **extra)
            fid += 1
    return buf.getvalue()


@pytest.mark.parametrize(
    "shots, detectors, density, num_obs, layout",
    [
        (9, 0, 0.5, 0, None),
        (30, 24, 0.1, 1, None),
        (5, 300, 0.0, 2, None),  # runs longer than 127
        (5, 300, 1.0, 0, None),
        (12, 260, 0.5, 3, None),
        (10, 12, 0.3, 1, np.array([[0, 1, 2, -1], [3, 4, 5, 6], [7, 8, 9, 10]])),
        (4, 6, 0.5, 0, np.array([[5, -1], [-1, 0]])),  # detectors left out, ancillas without one
    ],
)
def test_write_shots_equals_the_per_frame_loop(shots, detectors, density, num_obs, layout):
    rng = np.random.default_rng(shots * 1000 + detectors)
    dets = rng.random((shots, detectors)) < density
    obs = (rng.random((shots, num_obs)) < 0.5).astype(np.int64) if num_obs else None
    buf = io.BytesIO()
    rounds = 1 if layout is None else len(layout)
    assert KvlxWriter(buf).write_shots(dets, obs, layout=layout, describe=False, chunk_frames=7,
                                         distance=5) == shots * rounds
    assert buf.getvalue() == frame_loop(dets, obs, layout)


def test_path_context_manager_positional_frames_and_read_back(tmp_path):
    path = tmp_path / "run.kvlx"
    dets = np.array([[1, 0, 0, 1], [0, 0, 0, 0]], dtype=np.uint8)
    with KvlxWriter(path) as w:
        w.write_frame(0, 3, [1, 1, 0, 0], [1, -1, 1, -1])
        w.write_shots(dets, np.array([[1], [0]]))  # frame ids continue at 1
    assert w.closed
    with pytest.raises(ValueError, match="closed"):
        w.write_frame(9)
    frames = list(kelvane.KelvaneStream(str(path)))
    assert [(f.frame_id, f.round) for f in frames] == [(0, 3), (1, 0), (2, 0)]
    assert [list(f.to_numpy_detector_events()) for f in frames[1:]] == dets.tolist()


def test_file_object_is_written_through_and_left_open():
    buf = io.BufferedWriter(io.BytesIO())
    with KvlxWriter(buf) as w:
        size = w.write_frame(0, 0, [0, 1], [0, 0])
        assert buf.tell() == 26 + size
    assert not buf.closed


@pytest.mark.parametrize(
    "dets, obs, layout, message",
    [
        (np.zeros(4, dtype=bool), None, None, "shots x detectors"),
        (np.full((2, 3), 2), None, None, "only 0 and 1"),
        (np.zeros((2, 3), dtype=float), None, None, "bool or integer"),
        (np.zeros((2, 3), dtype=bool), np.zeros((3, 1)), None, "observables"),
        (np.zeros((2, 3), dtype=bool), None, np.array([[0, 3]]), "is detector 3"),
        (np.zeros((2, 3), dtype=bool), None, np.array([[0, -2]]), "is -2"),
        (np.zeros((2, 3), dtype=bool), None, np.array([[1], [1]]), "detector 1 appears twice"),
    ],
)
def test_write_shots_refuses_bad_arrays(dets, obs, layout, message):
    with pytest.raises(ValueError, match=message):
        KvlxWriter(io.BytesIO()).write_shots(dets, obs, layout=layout)


# Header fields out of their range or not integers: refused naming the field, never truncated
# or wrapped (70000 into 16 bits would be 4464), by both writers.
SHOT_FIELDS = [
    ("qubit_count", np.int64(70000), OverflowError),
    ("distance", np.int64(300), OverflowError),
    ("timestamp_ns", np.int64(-5), OverflowError),
    ("code_type", np.uint16(256), OverflowError),
    ("header_word", 2**32, OverflowError),
    ("distance", 3.7, TypeError),
    ("qubit_count", "9", TypeError),
]
FRAME_FIELDS = [
    ("frame_id", -1, OverflowError),
    ("round", 2**32, OverflowError),
    ("flags", 0x10000, OverflowError),
    ("observable_flips", 2**64, OverflowError),
    ("header_crc", -1, OverflowError),
]


@pytest.mark.parametrize(
    "method, field, value, error",
    [(m, *row) for row in SHOT_FIELDS for m in ("write_frame", "write_shots")]
    + [("write_frame", *row) for row in FRAME_FIELDS],
)
def test_header_fields_are_range_checked(method, field, value, error):
    w = KvlxWriter(io.BytesIO())
    with pytest.raises(error, match=field):
        if method == "write_frame":
            w.write_frame(**{"frame_id": 0, "detector_events": [0, 1], field: value})
        else:
            w.write_shots(np.zeros((2, 3), dtype=bool), **{field: value})
    assert w.bytes_written == 26  # nothing but the file header


def test_numpy_header_fields_at_their_limits_are_written(tmp_path):
    with KvlxWriter(tmp_path / "a.kvlx") as w:
        w.write_shots(np.ones((1, 2), dtype=bool), qubit_count=np.uint16(65535), distance=np.int64(255),
                      timestamp_ns=np.uint64(2**64 - 1), code_type=np.int8(3))
    frame = next(kelvane.KelvaneStream(str(tmp_path / "a.kvlx")))
    assert (frame.qubit_count, frame.distance, frame.timestamp_ns, frame.code_type) == (65535, 255, 2**64 - 1, 3)
