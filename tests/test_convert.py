"""kelvane.convert: KVLX to and from Stim's shot formats, checked against Stim's own reader."""

import contextlib
import os
import resource
import warnings

import numpy as np
import pytest
import stim

import kelvane
from kelvane._convert import stim_file_size, write_stim_file
from kelvane.cli import main
from kelvane.kvlx import KvlxWriter



def layout_for(detectors):
    """Rounds of 4 ancillas holding detectors 0.. in order, with a gap first and at the end."""
    lay = np.full(((detectors + 4) // 4, 4), -1)
    lay.flat[1 : detectors + 1] = np.arange(detectors)
    return lay


@pytest.mark.parametrize("fmt", ["01", "b8", "r8", "dets"])
@pytest.mark.parametrize("with_layout", [False, True])
@pytest.mark.parametrize("detectors", [11, 64])
@pytest.mark.parametrize("observables, k", [(None, None), ("appended", 2), ("separate", 2),
                                            ("appended", 100), ("separate", 100)])
def test_round_trips_are_bit_exact(tmp_path, fmt, with_layout, detectors, observables, k):
    """Stim's own file -> KVLX -> the same format again: the same bytes, and the KVLX the same as
    write_shots makes; observables (2, or 100: past the 64-bit mask) ride in each record or in a
    separate file (Stim's --obs_out)."""
    layout = layout_for(detectors) if with_layout else None
    rng = np.random.default_rng(detectors)
    shots = rng.random((37, detectors)) < 0.15
    shots[3] = True
    obs = rng.random((37, k)) < 0.5 if observables else None
    stim_path, kvlx_path, back = tmp_path / f"a.{fmt}", tmp_path / "a.kvlx", tmp_path / f"b.{fmt}"
    obs_path, obs_back = (tmp_path / "o.b8", tmp_path / "p.b8") if observables == "separate" else (None, None)
    if observables == "appended":
        stim.write_shot_data_file(data=np.concatenate([shots, obs], axis=1), path=str(stim_path), format=fmt,
                                  num_detectors=detectors, num_observables=k)
    else:
        stim.write_shot_data_file(data=shots, path=str(stim_path), format=fmt, num_detectors=detectors)
    if obs_path:
        stim.write_shot_data_file(data=obs, path=str(obs_path), format="b8", num_observables=k)

    assert kelvane.convert(stim_path, kvlx_path, num_detectors=detectors, layout=layout,
                           num_observables=k, obs_out=obs_path) == 37
    assert kelvane.convert(kvlx_path, back, num_detectors=detectors, layout=layout,
                           num_observables=k, obs_out=obs_back) == 37
    assert back.read_bytes() == stim_path.read_bytes()
    read = stim.read_shot_data_file(path=str(back), format=fmt, num_detectors=detectors,
                                    num_observables=k if observables == "appended" else 0, separate_observables=True)
    assert (read[0] == shots).all()
    if observables:
        got = read[1] if obs_back is None else stim.read_shot_data_file(path=str(obs_back), format="b8",
                                                                       num_observables=k)
        assert (got == obs).all()
        assert obs_back is None or obs_back.read_bytes() == obs_path.read_bytes()

    direct, again = tmp_path / "direct.kvlx", tmp_path / "again.kvlx"
    with KvlxWriter(direct) as w:
        w.write_shots(shots, obs, layout=layout)
    assert direct.read_bytes() == kvlx_path.read_bytes()
    # And KVLX -> Stim -> KVLX gives the same frames back.
    kelvane.convert(back, again, num_detectors=detectors, layout=layout, num_observables=k, obs_out=obs_back)
    assert again.read_bytes() == kvlx_path.read_bytes()
    # KVLX -> KVLX without num_observables keeps every observable the frames carry.
    copy = tmp_path / "copy.kvlx"
    kelvane.convert(kvlx_path, copy, num_detectors=detectors, layout=layout)
    assert copy.read_bytes() == kvlx_path.read_bytes()


def test_01_counts_its_columns_and_refusals(tmp_path):
    shots = np.eye(5, dtype=bool)
    stim.write_shot_data_file(data=shots, path=str(tmp_path / "a.01"), format="01", num_detectors=5)
    kelvane.convert(tmp_path / "a.01", tmp_path / "a.kvlx")
    kelvane.convert(tmp_path / "a.kvlx", tmp_path / "a.b8")
    assert (stim.read_shot_data_file(path=str(tmp_path / "a.b8"), format="b8", num_detectors=5) == shots).all()
    with pytest.raises(ValueError, match="format"):
        kelvane.convert(tmp_path / "a.kvlx", tmp_path / "a.csv")
    with pytest.raises(ValueError, match="num_detectors"):
        kelvane.convert(tmp_path / "a.b8", tmp_path / "b.kvlx")
    with pytest.raises(ValueError, match="layout"):
        kelvane.convert(tmp_path / "a.kvlx", tmp_path / "c.b8", num_detectors=7)
    with pytest.warns(RuntimeWarning, match="dropped 5 incomplete shots"):  # 5 frames of round 0, 2 rounds a shot
        assert kelvane.convert(tmp_path / "a.kvlx", tmp_path / "c.b8", layout=np.arange(10).reshape(2, 5)) == 0


def test_observable_flips_are_never_lost_silently(tmp_path):
    with KvlxWriter(tmp_path / "a.kvlx") as w:
        w.write_shots(np.eye(3, dtype=bool), np.array([[0, 0], [0, 1], [1, 0]]))
    with pytest.warns(RuntimeWarning, match="give num_observables"):
        kelvane.convert(tmp_path / "a.kvlx", tmp_path / "a.b8")
    with pytest.raises(ValueError, match="shot 1 flips observable 1, but num_observables is 1"):
        kelvane.convert(tmp_path / "a.kvlx", tmp_path / "a.b8", num_observables=1)
    wrapped_obs = np.zeros((3, 70), dtype=bool)
    wrapped_obs[2, 65] = True  # only in the frames' wide entry (key 17)
    with KvlxWriter(tmp_path / "w.kvlx") as w:
        w.write_shots(np.eye(3, dtype=bool), wrapped_obs)
    for k, dst in [(1, "w.b8"), (10, "w.01"), (64, "w.dets"), (64, "w2.kvlx")]:
        with pytest.raises(ValueError, match=f"shot 2 flips observable 65, but num_observables is {k}"):
            kelvane.convert(tmp_path / "w.kvlx", tmp_path / dst, num_observables=k)
        assert not (tmp_path / dst).exists()
    kelvane.convert(tmp_path / "w.kvlx", tmp_path / "w.b8", num_observables=70)
    got = stim.read_shot_data_file(path=str(tmp_path / "w.b8"), format="b8", num_detectors=3, num_observables=70,
                                   separate_observables=True)[1]
    assert (got == wrapped_obs).all()
    stim.write_shot_data_file(data=np.ones((2, 4), dtype=bool), path=str(tmp_path / "l.dets"), format="dets",
                              num_detectors=3, num_observables=1)
    with pytest.raises(ValueError, match="L targets"):
        kelvane.convert(tmp_path / "l.dets", tmp_path / "l.kvlx", num_detectors=3)


def test_kvlx_to_stim_uses_what_the_stream_stores(tmp_path):
    """A self-describing stream converts one record per shot with its stored layout, and its
    stored observable count (or model) sizes --obs-out; a stream that stores neither falls back
    to one record per frame with a warning, or refuses --obs-out without num_observables."""
    circuit = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=4,
                                     after_clifford_depolarization=0.1)
    dem = circuit.detector_error_model(decompose_errors=True)
    dets, obs = circuit.compile_detector_sampler(seed=5).sample(50, separate_observables=True)
    layout = kelvane.layout_from_stim(circuit)
    writes = {  # name: (write_shots arguments, records per shot, observables known)
        "layout and count": (dict(observables=obs, layout=layout), 1, True),
        "layout and model": (dict(layout=layout, dem=dem), 1, True),
        "layout only": (dict(layout=layout), 1, False),
        "nothing stored": (dict(observables=obs, layout=layout, describe=False), layout.shape[0], False),
        "one frame a shot": (dict(observables=obs), 1, True),
    }
    for name, (kwargs, per_shot, known) in writes.items():
        src, out, obs_out = tmp_path / f"{name}.kvlx", tmp_path / f"{name}.b8", tmp_path / f"{name}.obs.01"
        with KvlxWriter(src) as w:
            w.write_shots(dets, **kwargs)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            shots = kelvane.convert(src, out, num_detectors=None if per_shot == 1 else 2)
        fell_back = [str(w.message) for w in caught if "one record per frame" in str(w.message)]
        assert (shots, len(fell_back)) == (50 * per_shot, int(per_shot > 1)), name
        if per_shot == 1:
            assert (stim.read_shot_data_file(path=str(out), format="b8", num_detectors=dets.shape[1]) == dets).all()
        if known:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)  # the model-only stream carries no flips
                kelvane.convert(src, out, obs_out=obs_out)
            back = stim.read_shot_data_file(path=str(obs_out), format="01", num_observables=1)
            assert (back == (obs if "observables" in kwargs else 0)).all(), name
        else:
            with pytest.raises(ValueError, match="does not say how many observables"):
                kelvane.convert(src, out, obs_out=obs_out, layout=layout)


def frames_file(path, frames):
    """A KVLX file of 2-ancilla frames given as (frame_id, round); frame f's events are the low
    two bits of f, so that every shot tells which frames it was made of."""
    with KvlxWriter(path) as w:
        for fid, r in frames:
            w.write_frame(fid, r, [fid & 1, fid >> 1 & 1], [0, 0], observable_flips=fid & 1)


# (frame_id, round) of each frame; the frame ids that start a complete shot of 3 rounds; the
# incomplete shots dropped.
SEQUENCES = {
    "aligned": ([(i, i % 3) for i in range(9)], [0, 3, 6], 0),
    "capture starts mid-shot": ([(i, (i + 1) % 3) for i in range(8)], [2, 5], 1),
    "frame lost inside a shot": ([(0, 0), (1, 1), (2, 2), (3, 0), (5, 2), (6, 0), (7, 1), (8, 2)], [0, 6], 1),
    "rounds whole, ids not": ([(0, 0), (1, 1), (5, 2), (6, 0), (7, 1), (8, 2)], [6], 1),
    "a shot longer than the layout": ([(0, 0), (1, 1), (2, 2), (3, 3), (4, 0), (5, 1), (6, 2)], [4], 1),
    "round 0 repeated": ([(0, 0), (1, 0), (2, 1), (3, 2), (4, 0)], [1], 2),
}


@pytest.mark.parametrize("name", SEQUENCES)
def test_shots_are_grouped_by_round_and_frame_id(tmp_path, name, capsys):
    frames, starts, dropped = SEQUENCES[name]
    frames_file(tmp_path / "a.kvlx", frames)
    layout = np.arange(6).reshape(3, 2)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert kelvane.convert(tmp_path / "a.kvlx", tmp_path / "a.01", layout=layout) == len(starts)
    assert [str(w.message).split(": ", 1)[1].split(" (")[0] for w in caught if "incomplete" in str(w.message)] == (
        [f"dropped {dropped} incomplete shots"] if dropped else [])
    expected = [[(f >> b) & 1 for f in range(s, s + 3) for b in (0, 1)] for s in starts]
    assert stim.read_shot_data_file(path=str(tmp_path / "a.01"), format="01", num_detectors=6).tolist() == \
        np.array(expected, dtype=bool).reshape(-1, 6).tolist()
    # The command line decodes the same shots, with the truth of each shot's own last frame.
    (tmp_path / "m.dem").write_text("".join(f"error(0.1) D{d}\n" for d in range(6)) + "error(0.1) D5 L0\n")
    np.save(tmp_path / "l.npy", layout)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert main(["-q", "decode", str(tmp_path / "a.kvlx"), "--dem", str(tmp_path / "m.dem"),
                     "--layout", str(tmp_path / "l.npy"), "--out", str(tmp_path / "p.01")]) == 0
    out = capsys.readouterr().out
    assert f"decoded {len(starts)} shots" in out
    if starts:
        predictions = stim.read_shot_data_file(path=str(tmp_path / "p.01"), format="01", num_observables=1)[:, 0]
        errors = int((predictions != [(s + 2) & 1 for s in starts]).sum())
        assert f"logical error rate: {errors / len(starts):.6f} ({errors} of {len(starts)} shots; 95% interval" in out


# Layouts that set_decoder refuses, refused with the same words by every entry point.
BAD_LAYOUTS = {"-2": [[0, -2]], "repeated id": [[0, 1], [2, 1]], "id beyond the model": [[0, 4]]}


@pytest.mark.parametrize("name", BAD_LAYOUTS)
@pytest.mark.parametrize("as_file", [False, True])
def test_one_layout_validator(tmp_path, name, as_file):
    layout = np.array(BAD_LAYOUTS[name])
    if as_file:
        np.save(tmp_path / "l.npy", layout)
        layout = tmp_path / "l.npy"
    frames_file(tmp_path / "a.kvlx", [(0, 0)])
    stream = kelvane.KelvaneStream(str(tmp_path / "a.kvlx"))
    with pytest.raises(ValueError) as refused:
        stream.set_decoder("".join(f"error(0.1) D{d}\n" for d in range(4)), layout=layout)
    stim.write_shot_data_file(data=np.zeros((2, 4), dtype=bool), path=str(tmp_path / "a.b8"), format="b8",
                              num_detectors=4)
    calls = [
        lambda: kelvane.convert(tmp_path / "a.b8", tmp_path / "b.kvlx", num_detectors=4, layout=layout),
        lambda: kelvane.convert(tmp_path / "a.kvlx", tmp_path / "c.b8", num_detectors=4, layout=layout),
        lambda: KvlxWriter(tmp_path / "d.kvlx").write_shots(np.zeros((2, 4), dtype=bool), layout=layout),
    ]
    for call in calls:
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == str(refused.value)


def test_conversions_never_overwrite_their_input_or_leave_half_a_file(tmp_path, monkeypatch):
    with KvlxWriter(tmp_path / "s.kvlx") as w:
        w.write_shots(np.eye(4, dtype=bool), np.eye(4, 1, dtype=bool))
    original = (tmp_path / "s.kvlx").read_bytes()
    os.link(tmp_path / "s.kvlx", tmp_path / "link.kvlx")
    for dst in ("s.kvlx", "link.kvlx"):
        with pytest.raises(ValueError, match="both read and written"):
            kelvane.convert(tmp_path / "s.kvlx", tmp_path / dst)
    assert (tmp_path / "s.kvlx").read_bytes() == original
    with pytest.raises(FileNotFoundError, match="no such directory"):
        kelvane.convert(tmp_path / "s.kvlx", tmp_path / "missing" / "a.b8", num_observables=1)

    # A writer that fails half way (a full disk): the old destination stays, no temporary is left.
    (tmp_path / "old.b8").write_bytes(b"old")

    def half_then_fail(*, path, **kwargs):
        open(path, "wb").write(b"half")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(stim, "write_shot_data_file", half_then_fail)
    with pytest.raises(OSError, match="No space"):
        kelvane.convert(tmp_path / "s.kvlx", tmp_path / "old.b8", num_observables=1)
    assert (tmp_path / "old.b8").read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.kvlx", "old.b8", "s.kvlx"]


@contextlib.contextmanager
def file_size_limit(limit):
    """A full disk, as a file size limit: writes past `limit` bytes fail (EFBIG; Python ignores SIGXFSZ)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))


@pytest.mark.parametrize("argv, out", [
    (["convert", "{run}", "{out}", "--num-observables", "1"], "x.b8"),
    (["convert", "{run}", "{out}", "--num-observables", "1"], "x.01"),
    (["convert", "{run}", "{out}", "--num-observables", "1"], "x.r8"),
    (["convert", "{run}", "{out}", "--num-observables", "1"], "x.dets"),
    (["convert", "{run}", "{out}", "--num-observables", "1", "--obs-out", "{tmp}/o.01"], "x.01"),
    (["convert", "{run}", "{out}"], "x.kvlx"),
    (["decode", "{run}", "--dem", "{dem}", "--out", "{out}"], "x.01"),
])
def test_a_full_disk_fails_the_command_and_leaves_the_destination(tmp_path, capsys, argv, out):
    """Stim's writer does not report failed writes: a short file is an error, and the old
    destination stays with no temporary beside it."""
    dets = np.random.default_rng(5).random((400, 8)) < 0.2
    with KvlxWriter(tmp_path / "run.kvlx") as w:
        w.write_shots(dets, dets[:, :1])
    (tmp_path / "m.dem").write_text("".join(f"error(0.1) D{i} D{i + 1}\n" for i in range(7)) + "error(0.1) D0 L0\n")
    (tmp_path / out).write_bytes(b"old")
    names = dict(run=tmp_path / "run.kvlx", out=tmp_path / out, dem=tmp_path / "m.dem", tmp=tmp_path)
    argv = ["-q"] + [a.format(**names) for a in argv]
    before = sorted(os.listdir(tmp_path))
    with file_size_limit(256):
        status = main(argv)
    captured = capsys.readouterr()
    assert status == 2 and captured.out == ""
    assert captured.err.startswith(f"kelvane: error: {tmp_path / out}: ") and captured.err.count("\n") == 1
    assert (tmp_path / out).read_bytes() == b"old" and sorted(os.listdir(tmp_path)) == before
    assert main(argv) == 0 and (tmp_path / out).stat().st_size > 256


@pytest.mark.parametrize("fmt", ["01", "b8", "r8", "dets"])
def test_the_size_check_counts_what_stim_writes(tmp_path, fmt):
    """The expected size of every format against Stim's file: empty and full records, runs of
    zeros of 255 and more (r8), ids crossing a digit (dets), observables past 64."""
    rng = np.random.default_rng(len(fmt))
    for detectors, observables in [(0, 1), (1, 0), (9, 2), (11, 0), (300, 0), (1200, 3), (5, 130)]:
        bits = detectors + observables
        data = rng.random((20, bits)) < rng.choice([0.001, 0.05, 0.5])
        data[0], data[1] = False, True
        if bits > 600:
            data[2] = False
            data[2, [254, 255, 509, 510, 1020]] = True
        path = tmp_path / f"a.{fmt}"
        write_stim_file(data, path, fmt, detectors, observables)
        assert stim_file_size(data, fmt, detectors) == path.stat().st_size
        back = stim.read_shot_data_file(path=str(path), format=fmt, num_detectors=detectors,
                                        num_observables=observables)
        assert np.array_equal(back, data)
