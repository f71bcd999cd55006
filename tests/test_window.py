"""SyndromeWindow from Python: sliding, padding, NumPy in and out, argument errors."""

import inspect

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kelvane
from _kelvane import SyndromeWindow

T, F = True, False


def read_frames(tmp_path, rows, name="w.kvlx"):
    """Writes one frame per row of detector events and reads them back through a stream."""
    from kelvane.kvlx import KvlxWriter

    path = tmp_path / name
    with open(path, "wb") as f:
        w = KvlxWriter(f)
        for i, row in enumerate(rows):
            w.write_frame(frame_id=i, round=i, timestamp_ns=1000 + i, detector_events=[int(x) for x in row],
                          meas_results=[1] * len(row), qubit_count=2 * len(row) + 1, code_type=1, distance=3)
    with _kelvane.KelvaneStream(str(path)) as stream:
        return list(stream)


def naive_rows(pushed, ancillas, depth):
    """The window's matrix as a list of rows, oldest first, built the obvious way."""
    rows = []
    for events in pushed:
        if depth and len(rows) == depth:
            rows.pop(0)
        row = [bool(x) for x in events[:ancillas]]
        rows.append(row + [False] * (ancillas - len(row)))
    return rows


EXAMPLE = [[T, F, T], [F, F, F], [F, T, F]]


def check_example_window(w):
    assert len(w) == 2
    assert w.is_full()
    assert not w.is_empty()
    assert w.to_numpy_matrix().tolist() == [[F, F, F], [F, T, F]]
    assert w.active_detectors() == [4]
    assert repr(w) == "SyndromeWindow(rounds=2/2, ancillas=3)"


def test_push_numpy_slides_and_evicts():
    w = SyndromeWindow(3, 2)
    for i, row in enumerate(EXAMPLE):
        assert w.push_numpy(np.array(row), i, i) is None
    check_example_window(w)


def test_push_frames_slides_and_evicts(tmp_path):
    frames = read_frames(tmp_path, EXAMPLE)
    w = SyndromeWindow(3, 2)
    for frame in frames:
        assert w.push(frame) is None
    check_example_window(w)


def test_push_frame_pads_and_cuts(tmp_path):
    short, long = read_frames(tmp_path, [[1], [0, 1, 0, 1, 1]])
    w = SyndromeWindow(3, 4)
    w.push(short)
    w.push(long)
    assert w.to_numpy_matrix().tolist() == [[T, F, F], [F, T, F]]
    assert w.active_detectors() == [0, 4]


def test_fresh_window():
    w = SyndromeWindow(5, 3)
    m = w.to_numpy_matrix()
    assert m.shape == (0, 5) and m.dtype == np.bool_
    assert w.active_detectors() == []
    assert len(w) == 0
    assert w.is_empty() and not w.is_full()
    assert repr(w) == "SyndromeWindow(rounds=0/3, ancillas=5)"


@pytest.mark.parametrize(
    "events, row",
    [
        (np.array([T, T]), [T, T, F]),  # short: padded
        (np.array([F, F, F, T, T]), [F, F, F]),  # long: cut
        (np.zeros(0, dtype=bool), [F, F, F]),  # nothing at all
        # Non-contiguous views are copied element by element, honouring the strides.
        (np.array([T, F, T])[::2], [T, T, F]),
        (np.array([T, F, F])[::-1], [F, F, T]),
        (np.array([F, T, F, T, F, F])[1::2], [T, T, F]),
        (np.array([[T, F], [F, F], [T, T]])[:, 0], [T, F, T]),  # a column of a 2-D array
        (np.array([[T, F], [F, F], [T, T]])[1], [F, F, F]),  # a contiguous row
    ],
    ids=["short", "long", "empty", "step2", "reversed", "offset-step", "column", "row"],
)
def test_push_numpy_rows(events, row):
    w = SyndromeWindow(3, 2)
    w.push_numpy(events, 7, 1)
    assert w.to_numpy_matrix().tolist() == [row]


@settings(max_examples=150, deadline=None)
@given(
    data=st.lists(st.booleans(), min_size=0, max_size=12),
    start=st.integers(-12, 12),
    step=st.integers(-4, 4).filter(lambda s: s != 0),
    ancillas=st.integers(0, 6),
)
def test_strided_views_push_their_elements(data, start, step, ancillas):
    view = np.array(data, dtype=bool)[start::step]
    w = SyndromeWindow(ancillas, 1)
    w.push_numpy(view, 0, 0)
    expected = naive_rows([list(view)], ancillas, 1)
    assert w.to_numpy_matrix().tolist() == expected


@settings(max_examples=100, deadline=None)
@given(
    ancillas=st.integers(0, 5),
    depth=st.integers(0, 4),
    pushes=st.lists(st.lists(st.booleans(), max_size=7), max_size=10),
)
def test_matches_naive_model(ancillas, depth, pushes):
    w = SyndromeWindow(ancillas, depth)
    for i, events in enumerate(pushes):
        w.push_numpy(np.array(events, dtype=bool), i, i)
    rows = naive_rows(pushes, ancillas, depth)
    matrix = w.to_numpy_matrix()
    assert matrix.shape == (len(rows), ancillas)
    assert matrix.tolist() == rows
    flat = [x for row in rows for x in row]
    assert w.active_detectors() == [i for i, x in enumerate(flat) if x]
    assert len(w) == len(rows)
    assert w.is_full() == (len(rows) == depth)
    assert w.is_empty() == (not rows)
    assert repr(w) == f"SyndromeWindow(rounds={len(rows)}/{depth}, ancillas={ancillas})"


def test_depth_zero_never_evicts():
    w = SyndromeWindow(2, 0)
    assert w.is_full()  # only while empty
    for i in range(4):
        w.push_numpy(np.array([F, T]), i, 0)
        assert not w.is_full()
        assert len(w) == i + 1
    assert w.active_detectors() == [1, 3, 5, 7]


def test_zero_ancillas():
    w = SyndromeWindow(0, 2)
    for i in range(3):
        w.push_numpy(np.array([T, T]), i, 0)
    assert w.to_numpy_matrix().shape == (2, 0)
    assert w.active_detectors() == []


def test_matrix_is_a_copy():
    w = SyndromeWindow(3, 2)
    w.push_numpy(np.array([F, T, F]), 0, 0)
    m = w.to_numpy_matrix()
    m[0, 0] = True
    assert w.active_detectors() == [1]
    w.push_numpy(np.array([T, T, T]), 1, 1)
    assert m.tolist() == [[T, T, F]]
    assert m.flags.c_contiguous and m.flags.writeable and m.flags.owndata


def test_read_only_array_accepted():
    a = np.array([T, F, T])
    a.flags.writeable = False
    w = SyndromeWindow(3, 1)
    w.push_numpy(a[::-1], 0, 0)
    assert w.active_detectors() == [0, 2]


def test_keywords_accepted():
    w = SyndromeWindow(window_depth=2, ancilla_count=3)
    w.push_numpy(round=1, frame_id=2, detector_events=np.array([T]))
    assert w.active_detectors() == [0]


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((np.zeros(3, dtype=np.int8), 0, 0), TypeError, "argument 'detector_events'"),
        (([True, False], 0, 0), TypeError, "argument 'detector_events'"),
        ((np.zeros((2, 2), dtype=bool), 0, 0), TypeError, "argument 'detector_events'"),
        ((np.zeros(3, dtype=bool), 0), TypeError, "missing required argument 'round'"),
        ((np.zeros(3, dtype=bool),), TypeError, "missing required argument 'frame_id'"),
        ((np.zeros(3, dtype=bool), "0", 0), TypeError, "argument 'frame_id'"),
        ((np.zeros(3, dtype=bool), 0, 1.0), TypeError, "argument 'round'"),
        ((np.zeros(3, dtype=bool), 0, 2**32), OverflowError, None),
        ((np.zeros(3, dtype=bool), 0, -1), OverflowError, None),
        ((np.zeros(3, dtype=bool), 2**64, 0), OverflowError, None),
        ((np.zeros(3, dtype=bool), -1, 0), OverflowError, None),
    ],
)
def test_push_numpy_argument_errors(args, exc, text):
    w = SyndromeWindow(3, 2)
    with pytest.raises(exc) as info:
        w.push_numpy(*args)
    if text is not None:
        assert text in str(info.value)
    assert len(w) == 0  # nothing was pushed


def test_push_numpy_largest_ids_fit():
    w = SyndromeWindow(1, 1)
    w.push_numpy(np.array([T]), 2**64 - 1, 2**32 - 1)
    assert len(w) == 1


def test_push_rejects_non_frames():
    w = SyndromeWindow(3, 2)
    with pytest.raises(TypeError, match=r"^argument 'frame': 'int' object is not an instance of 'SyndromeFrame'$"):
        w.push(5)
    with pytest.raises(TypeError, match="argument 'frame'"):
        w.push(np.zeros(3, dtype=bool))


@pytest.mark.parametrize(
    "args, exc, text",
    [
        (("3", 2), TypeError, "argument 'ancilla_count'"),
        ((3, 2.0), TypeError, "argument 'window_depth'"),
        ((3,), TypeError, "missing required argument 'window_depth'"),
        ((-1, 2), OverflowError, None),
        ((3, -2), OverflowError, None),
        ((2**64, 1), OverflowError, None),
    ],
)
def test_constructor_argument_errors(args, exc, text):
    with pytest.raises(exc) as info:
        SyndromeWindow(*args)
    if text is not None:
        assert text in str(info.value)


@pytest.mark.parametrize("ancillas, depth", [(2**40, 2**40), (2**33, 1), (2**63, 4), (2**32 + 1, 0)])
def test_unreservable_sizes_raise_memory_error(ancillas, depth):
    with pytest.raises(MemoryError, match="too large to reserve"):
        SyndromeWindow(ancillas, depth)


def test_huge_depth_without_ancillas_is_fine():
    w = SyndromeWindow(0, 2**64 - 1)
    w.push_numpy(np.array([T]), 0, 0)
    assert repr(w) == f"SyndromeWindow(rounds=1/{2**64 - 1}, ancillas=0)"


def test_reentrant_use_is_refused():
    w = SyndromeWindow(2, 2)

    class Sneaky:
        def __index__(self):
            len(w)  # a shared borrow while push_numpy holds the window exclusively
            return 0

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        w.push_numpy(np.array([T, T]), Sneaky(), 0)
    w.push_numpy(np.array([T, T]), 0, 0)  # the borrow was released
    assert w.active_detectors() == [0, 1]


def test_signatures_and_docstrings():
    assert str(inspect.signature(SyndromeWindow)) == "(ancilla_count, window_depth)"
    w = SyndromeWindow(1, 1)
    sigs = {
        "push": "(frame)",
        "push_numpy": "(detector_events, frame_id, round)",
        "to_numpy_matrix": "()",
        "active_detectors": "()",
        "is_full": "()",
        "is_empty": "()",
    }
    for name, sig in sigs.items():
        assert str(inspect.signature(getattr(w, name))) == sig, name
    assert SyndromeWindow.push.__doc__ == "Push a `SyndromeFrame` into the window, evicting the oldest if full."
    assert SyndromeWindow.to_numpy_matrix.__doc__ == (
        "Detector matrix as a 2-D NumPy bool array of shape `(rounds, ancilla_count)`.\n"
        "\n"
        "Row 0 is the oldest round; row `len()-1` is the newest."
    )
    assert SyndromeWindow.active_detectors.__doc__ == (
        "Indices (into the flat detector matrix) of all fired detectors across all rounds."
    )
    lines = SyndromeWindow.push_numpy.__doc__.split("\n")
    assert len(lines) == 13
    assert lines[0] == "Push detector events directly from a 1-D NumPy bool array."
    assert lines[7] == "detector_events : np.ndarray[bool]"
    assert lines[12] == "    Round index within an experiment (default 0)."
    assert SyndromeWindow.is_full.__doc__ is None
    assert SyndromeWindow.is_empty.__doc__ is None
    assert SyndromeWindow.__module__ == "builtins"
    assert SyndromeWindow.__qualname__ == "SyndromeWindow"
