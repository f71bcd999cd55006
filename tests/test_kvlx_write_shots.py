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
    assert KvlxWriter(buf).write_shots(dets, obs, layout=layout, chunk_frames=7, distance=5) == shots * rounds
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
        (np.zeros((2, 3), dtype=bool), None, np.array([[0, 3]]), "outside"),
    ],
)
def test_write_shots_refuses_bad_arrays(dets, obs, layout, message):
    with pytest.raises(ValueError, match=message):
        KvlxWriter(io.BytesIO()).write_shots(dets, obs, layout=layout)
