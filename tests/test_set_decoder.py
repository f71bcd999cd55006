"""KelvaneStream.set_decoder end to end: DEM sources, window depth, per-frame decoding."""

import os
import pathlib

import numpy as np
import pytest

import _kelvane
from kelvane.kvlx import KvlxWriter

NO_DECODER = (
    "No decoder configured \u2014 call stream.set_decoder() or use kelvane.open(..., decoder=...) "
    "before reading observable_flips"
)

# Two detectors on a line: boundary -L0- D0 - D1 - boundary. With equal weights a lone D0 goes to
# the boundary through L0, a lone D1 through the other end, and a pair is matched to each other.
LINE_DEM = "error(0.1) D0 L0\nerror(0.1) D0 D1\nerror(0.1) D1\n"
LINE_ROWS = [[1, 0], [0, 1], [1, 1], [0, 0], [1, 0]]
LINE_FLIPS = [1, 0, 0, 0, 1]

# Ten detectors read four per frame (inferred depth 10 // 4 = 2): a fired ancilla 0 is D0 in row 0
# (flips bit 0) or D4 in row 1 (bit 1); D8 (row 2) has no observable. The flips show which rows,
# and so which frames, the window holds.
ROWS_DEM = "error(0.1) D0 L0\nerror(0.1) D4 L1\n" + "".join(
    f"error(0.1) D{d}\n" for d in (1, 2, 3, 5, 6, 7, 8, 9)
)
A_ON = [1, 0, 0, 0]
A_OFF = [0, 0, 0, 0]


def write_kvlx(path, rows, **extra):
    with open(path, "wb") as f:
        w = KvlxWriter(f)
        for i, row in enumerate(rows):
            w.write_frame(frame_id=i, round=i, timestamp_ns=10 * i, detector_events=[int(x) for x in row],
                          meas_results=[0] * len(row), qubit_count=2 * len(row) + 1, code_type=4, distance=3,
                          **extra)
    return str(path)


def flips_of(stream, n=None):
    frames = list(stream) if n is None else [next(stream) for _ in range(n)]
    return [f.observable_flips for f in frames]


@pytest.fixture
def line_stream(tmp_path):
    with _kelvane.KelvaneStream(write_kvlx(tmp_path / "line.kvlx", LINE_ROWS)) as s:
        yield s


@pytest.fixture
def rows_stream(tmp_path):
    with _kelvane.KelvaneStream(write_kvlx(tmp_path / "rows.kvlx", [A_ON, A_OFF, A_ON, A_OFF, A_OFF])) as s:
        yield s


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def dem_sources(tmp_path):
    import stim

    file = tmp_path / "line.dem"
    file.write_text(LINE_DEM)
    link = tmp_path / "link.dem"
    link.symlink_to(file)
    return {
        "inline": LINE_DEM,
        "str path": str(file),
        "symlink str": str(link),
        "pathlib": file,
        "fspath object": PathLike(str(file)),
        "stim": stim.DetectorErrorModel(LINE_DEM),
        "str() object": type("Dem", (), {"__str__": lambda self: LINE_DEM})(),
        "crlf file": _write(tmp_path / "crlf.dem", LINE_DEM.replace("\n", "\r\n")),
    }


def _write(path, text):
    path.write_bytes(text.encode())
    return path


@pytest.mark.parametrize(
    "source", ["inline", "str path", "symlink str", "pathlib", "fspath object", "stim", "str() object", "crlf file"]
)
def test_every_dem_source_decodes_alike(tmp_path, line_stream, source):
    assert line_stream.set_decoder(dem_sources(tmp_path)[source]) is None
    assert flips_of(line_stream) == LINE_FLIPS


def test_without_decoder_frames_have_no_flips(line_stream):
    frame = next(line_stream)
    with pytest.raises(_kelvane.KelvaneError) as info:
        frame.observable_flips
    assert str(info.value) == NO_DECODER


def test_decoded_flips_replace_the_source_flips(tmp_path):
    path = write_kvlx(tmp_path / "flips.kvlx", LINE_ROWS, observable_flips=0b110)
    with _kelvane.KelvaneStream(path) as s:
        assert next(s).observable_flips == 0b110
        s.set_decoder(LINE_DEM)
        assert flips_of(s) == LINE_FLIPS[1:]


def test_quiet_frames_get_zero_flips(tmp_path):
    with _kelvane.KelvaneStream(write_kvlx(tmp_path / "quiet.kvlx", [[0, 0]] * 3)) as s:
        s.set_decoder(LINE_DEM)
        frames = list(s)
    assert [f.observable_flips for f in frames] == [0, 0, 0]
    assert [f.to_dict()["observable_flips"] for f in frames] == [0, 0, 0]


@pytest.mark.parametrize(
    "window_depth, expected",
    [
        # Inferred depth 2: the third frame's window is frames 2 and 3, so its A_ON lands on D4.
        (0, [0b01, 0b01, 0b10, 0b01, 0b00]),
        (2, [0b01, 0b01, 0b10, 0b01, 0b00]),
        (1, [0b01, 0b00, 0b01, 0b00, 0b00]),
        # Depth 3: frame 3 adds row 2 (D8, no observable) while D0 still holds frame 1's event.
        (3, [0b01, 0b01, 0b01, 0b10, 0b01]),
        # A depth no window could reserve: it never fills, rows past the graph are left out.
        (2**40, [0b01, 0b01, 0b01, 0b01, 0b01]),
    ],
)
def test_window_depth(rows_stream, window_depth, expected):
    rows_stream.set_decoder(ROWS_DEM, window_depth)
    assert flips_of(rows_stream) == expected


def test_window_depth_keyword(rows_stream):
    rows_stream.set_decoder(dem=ROWS_DEM, window_depth=1)
    assert flips_of(rows_stream) == [0b01, 0b00, 0b01, 0b00, 0b00]


def test_depth_at_least_one_when_detectors_fewer_than_ancillas(tmp_path):
    # 3 detectors, 4 ancillas: 3 // 4 == 0, so the window holds one frame at a time.
    path = write_kvlx(tmp_path / "few.kvlx", [[1, 0, 0, 0], [0, 0, 0, 0], [0, 0, 1, 0]])
    with _kelvane.KelvaneStream(path) as s:
        s.set_decoder("error(0.1) D0 L0\nerror(0.1) D1\nerror(0.1) D2 L1\n")
        assert flips_of(s) == [0b01, 0b00, 0b10]


def test_second_set_decoder_starts_a_new_window(rows_stream):
    rows_stream.set_decoder(ROWS_DEM)
    assert flips_of(rows_stream, 2) == [0b01, 0b01]
    rows_stream.set_decoder(ROWS_DEM)
    # The third frame is decoded alone: its event is D0 again, not D4.
    assert flips_of(rows_stream) == [0b01, 0b01, 0b00]


@pytest.mark.parametrize(
    "bad, exc",
    [("error(abc) D0", ValueError), ("missing.dem", ValueError), (pathlib.Path("/"), OSError), (b"x", ValueError)],
)
def test_failing_set_decoder_keeps_decoder_and_window(rows_stream, bad, exc):
    rows_stream.set_decoder(ROWS_DEM)
    assert flips_of(rows_stream, 2) == [0b01, 0b01]
    with pytest.raises(exc):
        rows_stream.set_decoder(bad, 1)
    # Same window, same depth: frame 3 is row 1 of a window holding frames 2 and 3.
    assert flips_of(rows_stream) == [0b10, 0b01, 0b00]


def test_failing_first_set_decoder_leaves_no_decoder(line_stream):
    with pytest.raises(ValueError):
        line_stream.set_decoder("error(0.1) D0 ^ Lx")
    with pytest.raises(_kelvane.KelvaneError):
        next(line_stream).observable_flips


def test_directory_raises_os_error(tmp_path, line_stream):
    for source in (str(tmp_path), tmp_path, PathLike(str(tmp_path))):
        with pytest.raises(OSError) as info:
            line_stream.set_decoder(source)
        assert str(info.value) == "Is a directory (os error 21)"


def test_missing_file_str_vs_path(tmp_path, monkeypatch, line_stream):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError) as info:
        line_stream.set_decoder(pathlib.Path("missing.dem"))
    assert str(info.value) == "No such file or directory (os error 2)"
    with pytest.raises(ValueError, match="'missing.dem'"):
        line_stream.set_decoder("missing.dem")
    # Once a file of that name exists, the same string reads it.
    (tmp_path / "missing.dem").write_text(LINE_DEM)
    line_stream.set_decoder("missing.dem")
    assert flips_of(line_stream) == LINE_FLIPS


def test_unreadable_and_non_utf8_files(tmp_path, line_stream):
    bad = tmp_path / "bad.dem"
    bad.write_bytes(b"error(0.1) D0 L0\n\xff\xfe\n")
    for source in (str(bad), bad):
        with pytest.raises(OSError) as info:
            line_stream.set_decoder(source)
        assert str(info.value) == "stream did not contain valid UTF-8"
    if os.geteuid() != 0:
        locked = tmp_path / "locked.dem"
        locked.write_text(LINE_DEM)
        locked.chmod(0)
        with pytest.raises(OSError, match=r"^Permission denied \(os error 13\)$"):
            line_stream.set_decoder(str(locked))


@pytest.mark.parametrize(
    "text, message",
    [
        ("error(abc) D0", "invalid probability 'abc' in error instruction"),
        ("error(0.1) D0 D1 ^ Lx", "malformed target 'Lx'"),
        ("repeat 2 {\nerror(0.1) D0", "unterminated repeat block"),
    ],
)
def test_parse_errors_are_value_errors(line_stream, tmp_path, text, message):
    with pytest.raises(ValueError) as info:
        line_stream.set_decoder(text)
    assert str(info.value) == message
    file = tmp_path / "bad.dem"
    file.write_text(text)
    with pytest.raises(ValueError) as info:
        line_stream.set_decoder(file)
    assert str(info.value) == message


def test_python_exceptions_propagate(line_stream):
    class Boom(Exception):
        pass

    class BadPath:
        def __fspath__(self):
            raise Boom("fspath")

    class BadStr:
        def __str__(self):
            raise Boom("str")

    class BadAttr:
        def __getattr__(self, name):
            raise Boom(name)

    for obj, text in ((BadPath(), "fspath"), (BadStr(), "str"), (BadAttr(), "__fspath__")):
        with pytest.raises(Boom, match=f"^{text}$"):
            line_stream.set_decoder(obj)
    with pytest.raises(TypeError, match="'bytes' object is not an instance of 'str'"):
        line_stream.set_decoder(PathLike(b"/tmp"))


@pytest.mark.parametrize(
    "depth, exc, text",
    [("1", TypeError, "argument 'window_depth'"), (1.5, TypeError, "argument 'window_depth'"),
     (-1, OverflowError, None), (2**64, OverflowError, None)],
)
def test_window_depth_argument_errors(line_stream, depth, exc, text):
    with pytest.raises(exc) as info:
        line_stream.set_decoder(LINE_DEM, depth)
    if text:
        assert text in str(info.value)


def test_reentrant_use_of_the_stream_is_refused(line_stream):
    class Sneaky:
        def __str__(self):
            next(line_stream)
            return LINE_DEM

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        line_stream.set_decoder(Sneaky())
    line_stream.set_decoder(LINE_DEM)  # the stream is usable again
    assert flips_of(line_stream) == LINE_FLIPS


def test_set_decoder_on_closed_stream(line_stream):
    line_stream.close()
    assert line_stream.set_decoder(LINE_DEM) is None


# ---- A real code: Stim repetition-code memory experiments streamed frame by frame ----------------


def repetition_code(distance, rounds, p):
    import stim

    circuit = stim.Circuit.generated("repetition_code:memory", distance=distance, rounds=rounds,
                                     before_round_data_depolarization=p, before_measure_flip_probability=p)
    dem = circuit.detector_error_model(decompose_errors=True).flattened()
    ancillas = distance - 1
    assert dem.num_detectors % ancillas == 0
    # Detectors are declared round by round, ancilla by ancilla: D = round * ancillas + ancilla.
    for k, coords in dem.get_detector_coordinates().items():
        assert k == int(coords[1]) * ancillas + (int(coords[0]) - 1) // 2
    return circuit, dem, ancillas


def stream_shots(tmp_path, dem, ancillas, shots, decoder=None):
    """Writes each shot as num_detectors // ancillas frames; returns each shot's decoded flips."""
    rows = dem.num_detectors // ancillas
    frames = [shot[r * ancillas:(r + 1) * ancillas] for shot in shots for r in range(rows)]
    with _kelvane.KelvaneStream(write_kvlx(tmp_path / "shots.kvlx", frames)) as s:
        s.set_decoder(dem if decoder is None else decoder)  # by default a stim.DetectorErrorModel
        flips = flips_of(s)
    # The window is as deep as a shot, so a shot's last frame sees exactly that shot.
    return np.array(flips[rows - 1::rows], dtype=np.uint64)


@pytest.mark.parametrize("distance, rounds", [(3, 3), (5, 4)])
def test_every_single_error_is_corrected(tmp_path, distance, rounds):
    _, dem, ancillas = repetition_code(distance, rounds, 0.01)
    shots, expected = [], []
    for inst in dem:
        if inst.type != "error":
            continue
        syndrome = np.zeros(dem.num_detectors, dtype=np.uint8)
        mask = 0
        for t in inst.targets_copy():
            if t.is_relative_detector_id():
                syndrome[t.val] ^= 1
            elif t.is_logical_observable_id():
                mask ^= 1 << t.val
        shots.append(syndrome)
        expected.append(mask)
    decoded = stream_shots(tmp_path, dem, ancillas, shots)
    assert decoded.tolist() == expected


def test_sampled_shots_match_stim_and_pymatching(tmp_path):
    import pymatching

    circuit, dem, ancillas = repetition_code(5, 5, 0.03)
    dets, obs = circuit.compile_detector_sampler(seed=1234).sample(1500, separate_observables=True)
    decoded = stream_shots(tmp_path, dem, ancillas, dets.astype(np.uint8))
    truth = obs[:, 0].astype(np.uint64)
    ours = int(np.count_nonzero(decoded != truth))
    matching = pymatching.Matching.from_detector_error_model(dem)
    theirs = int(np.count_nonzero(matching.decode_batch(dets)[:, 0] != obs[:, 0]))
    # Shots without any detection event must decode to "no flip".
    quiet = ~dets.any(axis=1)
    assert quiet.any() and not decoded[quiet].any()
    # Weighted Union-Find stays close to matching on this code: allow twice its errors plus noise.
    assert ours <= 2 * theirs + 10, (ours, theirs)
    acc = _kelvane.LogicalErrorAccumulator(1)
    for d, t in zip(decoded.tolist(), truth.tolist()):
        acc.record(_kelvane.DecoderResult(d), t)
    assert acc.total_shots() == 1500
    assert acc.logical_error_rate(0) == ours / 1500


@pytest.mark.parametrize("form", ["stim", "kelvane model", "graph"])
def test_stream_agrees_with_graph_decode_batch(tmp_path, form):
    circuit, dem, ancillas = repetition_code(5, 5, 0.05)
    dets = circuit.compile_detector_sampler(seed=99).sample(600)
    model = _kelvane.DetectorErrorModel.parse(dem)
    graph = model.to_graph()
    decoder = {"stim": dem, "kelvane model": model, "graph": graph}[form]
    decoded = stream_shots(tmp_path, dem, ancillas, dets.astype(np.uint8), decoder)
    assert decoded.tolist() == graph.decode_batch(dets, return_masks=True).tolist()
