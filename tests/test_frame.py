"""SyndromeFrame objects: attributes, copies, NumPy arrays, the dict form, repr and flips."""

from __future__ import annotations

import json
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _kelvane import CodeType, DecoderResult, KelvaneError, KelvaneStream, SyndromeFrame
from kelvane.kvlx import encode_file_header, encode_frame

NO_FLIPS = (
    "No decoder configured \u2014 call stream.set_decoder() or use kelvane.open(..., decoder=...) "
    "before reading observable_flips"
)
KEYS = [
    "frame_id", "round", "timestamp_ns", "qubit_count", "ancilla_count",
    "detector_event_count", "code_type", "distance", "detector_events", "observable_flips",
]


def read_frames(tmp_path, *frames):
    path = tmp_path / "frames.kvlx"
    path.write_bytes(encode_file_header() + b"".join(encode_frame(**f) for f in frames))
    with KelvaneStream(str(path)) as s:
        return list(s)


@pytest.fixture
def frame(tmp_path):
    (f,) = read_frames(
        tmp_path,
        dict(frame_id=7, round=3, timestamp_ns=2**64 - 1, qubit_count=49, code_type=1, distance=5,
             detector_events=[0, 1] + [0] * 21 + [1], meas_results=[-1, 0, 1, -128] + [127] * 20),
    )
    return f


def test_attributes(frame):
    assert (frame.frame_id, frame.round, frame.timestamp_ns) == (7, 3, 2**64 - 1)
    assert (frame.qubit_count, frame.ancilla_count, frame.detector_event_count) == (49, 24, 2)
    assert (frame.code_type, frame.distance) == (1, 5)
    assert frame.code_type != CodeType.SURFACE_CODE
    assert repr(frame) == "SyndromeFrame(frame_id=7, round=3, detector_events=2/24)"


@pytest.mark.parametrize("name", ["frame_id", "round", "timestamp_ns", "qubit_count", "ancilla_count",
                                  "detector_event_count", "code_type", "distance", "observable_flips"])
def test_attributes_are_read_only(frame, name):
    with pytest.raises(AttributeError):
        setattr(frame, name, 5)


def test_meas_results_bytes_and_array(frame):
    raw = frame.meas_results()
    assert isinstance(raw, bytes) and raw[:4] == b"\xff\x00\x01\x80" and len(raw) == 24
    arr = frame.to_numpy_meas_results()
    assert arr.dtype == np.int8 and arr.shape == (24,)
    assert arr[:4].tolist() == [-1, 0, 1, -128]


def test_arrays_are_private_writeable_copies(frame):
    a = frame.to_numpy_detector_events()
    assert a.dtype == np.bool_ and a.shape == (24,) and a.flags.c_contiguous and a.flags.writeable
    assert np.flatnonzero(a).tolist() == [1, 23]
    a[:] = True
    m = frame.to_numpy_meas_results()
    m[:] = 5
    assert np.flatnonzero(frame.to_numpy_detector_events()).tolist() == [1, 23]
    assert frame.to_numpy_meas_results()[0] == -1
    assert frame.to_dict()["detector_events"].sum() == 2
    assert repr(frame) == "SyndromeFrame(frame_id=7, round=3, detector_events=2/24)"
    del frame
    assert a.all() and (m == 5).all()  # the arrays outlive the frame


def test_to_dict(frame):
    d = frame.to_dict()
    assert list(d) == KEYS
    assert d["observable_flips"] is None
    assert d["detector_events"].dtype == np.bool_
    scalars = {k: v for k, v in d.items() if k != "detector_events"}
    assert all(type(v) is int for k, v in scalars.items() if k != "observable_flips")
    json.dumps(scalars)
    assert {k: getattr(frame, k) for k in KEYS[:8]} == {k: d[k] for k in KEYS[:8]}


def test_observable_flips(tmp_path):
    without, with_flips, zero = read_frames(
        tmp_path,
        dict(frame_id=1, detector_events=[1, 0]),
        dict(frame_id=2, detector_events=[1, 0], observable_flips=2**64 - 1),
        dict(frame_id=3, detector_events=[1, 0], metadata=[(16, bytes(4)), ("observable_flips", 0)]),
    )
    with pytest.raises(KelvaneError) as exc:
        without.observable_flips
    assert str(exc.value) == NO_FLIPS and type(exc.value) is KelvaneError
    assert without.to_dict()["observable_flips"] is None
    assert with_flips.observable_flips == 2**64 - 1 == with_flips.to_dict()["observable_flips"]
    assert with_flips.observable_flips_array.tolist() == [1] * 64
    assert zero.observable_flips == 0  # the 4-byte key-16 entry is skipped, the 8-byte one counts


def test_null_decode_ignores_the_frame(tmp_path):
    for f in read_frames(tmp_path, dict(frame_id=1, detector_events=[1] * 9, observable_flips=5)):
        r = f.null_decode()
        assert isinstance(r, DecoderResult)
        assert (r.corrections, r.confidence, r.observable_flips) == ([], 1.0, 0)
        assert repr(r) == "DecoderResult(corrections=0, confidence=1.0000, observable_flips=0b0)"


def test_event_count_follows_the_encoding(tmp_path):
    under, empty = read_frames(
        tmp_path,
        dict(frame_id=2, ancilla_count=10, detector_events_rle=b"\x85\x03", meas_results=[0] * 10),
        dict(frame_id=3, ancilla_count=0, detector_events_rle=b"\x80\x00", code_type=200),
    )
    assert under.to_numpy_detector_events().tolist() == [True] * 5 + [False] * 5
    assert under.detector_event_count == 5
    assert (empty.ancilla_count, empty.detector_event_count, empty.code_type) == (0, 0, 200)
    assert empty.meas_results() == b""
    assert empty.to_numpy_detector_events().shape == (0,) and empty.to_numpy_meas_results().shape == (0,)
    assert empty.to_dict()["detector_events"].shape == (0,)


def test_events_beyond_the_ancilla_count_are_a_length_mismatch_and_skipped(tmp_path):
    path = tmp_path / "over.kvlx"
    path.write_bytes(encode_file_header() + b"".join(encode_frame(**f) for f in [
        dict(frame_id=1, ancilla_count=24, detector_events_rle=b"\xff\x49", meas_results=[0] * 24),
        dict(frame_id=2, detector_events=[1, 0, 1]),
    ]))
    s = KelvaneStream(str(path))
    with pytest.raises(OSError, match="^payload length mismatch: header declares 24 bytes, found 200$"):
        next(s)
    assert next(s).frame_id == 2
    assert s.skipped_bytes == len(encode_frame(frame_id=1, ancilla_count=24, detector_events_rle=b"\xff\x49",
                                               meas_results=[0] * 24))


@settings(max_examples=40, deadline=None)
@given(events=st.lists(st.booleans(), max_size=300), seed=st.integers(0, 2**32 - 1))
def test_arrays_match_written_events(tmp_path_factory, events, seed):
    meas = [(seed >> (i % 32) & 0xFF) - 128 for i in range(len(events))]
    (f,) = read_frames(tmp_path_factory.mktemp("h"), dict(frame_id=seed, detector_events=events, meas_results=meas))
    assert f.to_numpy_detector_events().tolist() == events
    assert f.to_numpy_meas_results().tolist() == meas
    assert f.detector_event_count == sum(events)


def test_class_surface(frame):
    with pytest.raises(TypeError):
        SyndromeFrame()
    with pytest.raises(TypeError):
        frame.to_dict(1)
    with pytest.raises(TypeError):
        SyndromeFrame.to_dict(object())
    with pytest.raises(TypeError):
        SyndromeFrame.frame_id.__get__(object())
    assert SyndromeFrame.__module__ == "builtins"
    assert SyndromeFrame.to_dict.__text_signature__ == "($self)"
    assert SyndromeFrame.to_dict.__doc__ == (
        "Serialise this frame as a Python dict suitable for pandas / JSON.\n\n"
        "The `detector_events` key holds a 1-D NumPy bool array. All scalar\n"
        "fields are plain Python ints/floats."
    )
    assert SyndromeFrame.to_numpy_detector_events.__doc__ == (
        "Detector events as a 1-D NumPy bool array of shape `(ancilla_count,)`."
    )
    assert SyndromeFrame.to_numpy_meas_results.__doc__ == (
        "Ancilla measurement results as a 1-D NumPy int8 array of shape `(ancilla_count,)`."
    )
    assert SyndromeFrame.meas_results.__doc__ is None and SyndromeFrame.null_decode.__doc__ is None


def test_numpy_is_loaded_on_first_array_only(tmp_path):
    path = tmp_path / "one.kvlx"
    path.write_bytes(encode_file_header() + encode_frame(frame_id=1, detector_events=[1, 0, 1]))
    code = (
        "import sys, _kelvane\n"
        "assert 'numpy' not in sys.modules\n"
        f"f = next(_kelvane.KelvaneStream({str(path)!r}))\n"
        "repr(f), f.meas_results(), f.null_decode()\n"
        "assert 'numpy' not in sys.modules\n"
        "assert f.to_numpy_detector_events().tolist() == [True, False, True]\n"
        "assert 'numpy' in sys.modules\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, env=dict(__import__("os").environ))
