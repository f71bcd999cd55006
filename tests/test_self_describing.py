"""Streams that describe themselves: the stored layout and model, their hash, and what
kelvane.open and the command line make of them."""

import re
import warnings
import zlib

import numpy as np
import pytest
import stim

import kelvane
from kelvane import kvlx
from kelvane.cli import main
from tcp_once import serve_once


def surface(d=5, rounds=5, p=0.003):
    return stim.Circuit.generated("surface_code:rotated_memory_z", distance=d, rounds=rounds,
                                  after_clifford_depolarization=p, before_measure_flip_probability=p)


def repetition():
    return stim.Circuit.generated("repetition_code:memory", distance=3, rounds=3, after_clifford_depolarization=0.05)


def shot_predictions(stream, rounds):
    return np.array([f.observable_flips for f in stream if f.round == rounds - 1])


def test_open_with_a_model_decodes_shot_by_shot(tmp_path):
    path = tmp_path / "sc.kvlx"
    exp = kelvane.write_stim_experiment(surface(), 600, path, seed=3)
    rounds = exp.layout.shape[0]
    with kelvane.open(path, decoder=exp.dem) as stream:
        plain = shot_predictions(stream, rounds)
    with kelvane.open(path, decoder=exp.dem, layout=exp.layout, per_shot=True) as stream:
        told = shot_predictions(stream, rounds)
    with kelvane.open(path, decoder="stored") as stream:
        stored = shot_predictions(stream, rounds)
    assert plain.shape == (600,) and (plain == told).all() and (stored == told).all()
    assert np.mean(plain != exp.observables[:, 0]) < 0.05


def test_description_round_trip_in_chunks(tmp_path):
    rng = np.random.default_rng(1)
    # A model whose compressed text needs three entries: random comments do not compress.
    noise = "".join(f"# {rng.bytes(48).hex()}\n" for _ in range(2500))
    dem = "error(0.1) D0 D1\nerror(0.1) D1 D2\n" + noise
    layout = np.array([[0, 1], [2, -1]])
    dets = rng.integers(0, 2, size=(50, 3), dtype=np.uint8)
    with kvlx.KvlxWriter(tmp_path / "x.kvlx") as w:
        w.write_shots(dets, dets[:, :1], layout=layout, dem=dem)
    data = (tmp_path / "x.kvlx").read_bytes()
    description = kvlx.read_description(tmp_path / "x.kvlx")
    assert description.dem_text == dem and (description.layout == layout).all()
    _, entries = kvlx._first_frame_metadata(tmp_path / "x.kvlx")
    dem_chunks = [len(v) for k, v in entries if k == kvlx.META_DEM]
    assert len(dem_chunks) >= 3 and max(dem_chunks) <= 60 * 1024
    # Every round-0 frame carries the hash, no other frame does; today's readers skip the keys.
    spans = kvlx.frame_spans(data)
    with_hash = [description.hash in data[a:b] for a, b in spans]
    assert with_hash == [i % 2 == 0 for i in range(100)]
    batch = kelvane.KelvaneStream(str(tmp_path / "x.kvlx")).read_batch(1000)
    assert len(batch) == 100 and batch.has_observable_flips.sum() == 50
    # A description that does not match its hash is refused, not half used; a damaged byte in
    # it is a damaged first frame (its payload CRC), which leaves the stream without one.
    entries, digest = kvlx._description_entries(layout, dem)
    with kvlx.KvlxWriter(tmp_path / "y.kvlx") as w:
        w.write_frame(frame_id=0, round=0, detector_events=[0, 0], metadata=entries[:-1] + [(66, bytes(8))])
    with pytest.raises(ValueError, match="do not match their hash"):
        kvlx.read_description(tmp_path / "y.kvlx")
    first = spans[0][0] + data[spans[0][0]:spans[0][1]].index(zlib.compress(dem.encode())[:32])
    damaged = bytearray(data)
    damaged[first + 5] ^= 1
    (tmp_path / "z.kvlx").write_bytes(damaged)
    assert kvlx.read_description(tmp_path / "z.kvlx") is None


CONFLICT = r"puts D0 \(time 0\) and D4 \(time 1\) into one frame.*layout=.*layout_from_stim"


@pytest.mark.parametrize(
    "circuit, describe, error",
    [
        (surface(3, 3), False, CONFLICT),
        (surface(3, 3), True, None),  # the stored layout is used
        (repetition(), False, None),  # every frame holds one time: the positional rule is right
    ],
)
def test_positional_rule_against_coordinates(tmp_path, circuit, describe, error):
    layout = kelvane.layout_from_stim(circuit)
    dem = circuit.detector_error_model(decompose_errors=True)
    dets = circuit.compile_detector_sampler(seed=1).sample(20)
    with kvlx.KvlxWriter(tmp_path / "x.kvlx") as w:
        w.write_shots(dets, layout=layout, describe=describe)
    for model in (dem, str(dem), kelvane.DetectorErrorModel.parse(str(dem))):
        if error is None:
            kelvane.open(tmp_path / "x.kvlx", decoder=model).close()
        else:
            with pytest.raises(ValueError, match=error):
                kelvane.open(tmp_path / "x.kvlx", decoder=model)
    kelvane.open(tmp_path / "x.kvlx", decoder=dem, layout=layout).close()  # told: no check
    # KelvaneStream.set_decoder keeps its contract and warns instead: when it is called if the
    # frames' width is known then (a stored layout the stream was asked for), else at the first frame.
    with kelvane.KelvaneStream(str(tmp_path / "x.kvlx")) as bare, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        known = bare.description is not None
        bare.set_decoder(dem)
        at_set = len(caught)
        next(bare)
    said = [str(w.message) for w in caught if "positional rule" in str(w.message)]
    assert len(said) == bool((layout < 0).any())  # the surface code's short rounds
    if said:
        assert re.search(CONFLICT, said[0]) and at_set == known


def test_stored_model_missing(tmp_path):
    with kvlx.KvlxWriter(tmp_path / "x.kvlx") as w:
        w.write_shots(np.zeros((3, 4), dtype=np.uint8))
    assert kvlx.read_description(tmp_path / "x.kvlx") is None
    with pytest.raises(ValueError, match="carries no detector error model"):
        kelvane.open(tmp_path / "x.kvlx", decoder="stored")


def test_cli_uses_the_description(tmp_path, capsys):
    path = tmp_path / "sc.kvlx"
    exp = kelvane.write_stim_experiment(surface(3, 3, 0.01), 300, path, seed=5)
    assert main(["-q", "info", str(path)]) == 0
    assert "description:      layout of 4 rounds x 8 ancillas; model of 24 detectors, 1 observables" in \
        capsys.readouterr().out
    assert main(["-q", "decode", str(path), "--out", str(tmp_path / "p.b8")]) == 0
    out = capsys.readouterr().out
    predictions = stim.read_shot_data_file(path=str(tmp_path / "p.b8"), format="b8", num_observables=1)
    errors = int((predictions != exp.observables).sum())
    assert "decoded 300 shots (4 frames and 24 detectors each)" in out
    assert f"logical error rate: {errors / 300:.6f} ({errors} of 300 shots; 95% interval" in out


@pytest.fixture(scope="module")
def described(tmp_path_factory):
    path = tmp_path_factory.mktemp("described") / "sc.kvlx"
    exp = kelvane.write_stim_experiment(surface(3, 3, 0.01), 200, path, seed=5)
    with kelvane.open(path, decoder=exp.dem) as stream:
        frames = {f.frame_id: f.observable_flips for f in stream if f.round == 3}
    return path, exp, path.read_bytes(), frames


def test_tcp_streams_describe_themselves(described, tmp_path, capsys):
    path, exp, data, by_file = described
    for decoder in (exp.dem, "stored"):
        with kelvane.open(serve_once(data), decoder=decoder, timeout=30) as stream:
            assert (stream.description.layout == exp.layout).all()
            got = {f.frame_id: f.observable_flips for f in stream if f.round == 3}
        assert got == by_file
    assert main(["-q", "decode", serve_once(data), "--out", str(tmp_path / "p.b8")]) == 0
    assert "decoded 200 shots (4 frames and 24 detectors each)" in capsys.readouterr().out
    assert main(["-q", "info", serve_once(data)]) == 0
    assert "description:      layout of 4 rounds x 8 ancillas; model of 24" in capsys.readouterr().out


def test_a_late_joiner_of_a_live_serve_gets_the_description(described, tmp_path):
    from kelvane.cli import Live, replay

    path, exp, data, by_file = described
    spans = kvlx.frame_spans(data)
    live = Live(kvlx.description_entries(data[spans[0][0]:spans[0][1]]))
    live.start = 0.0

    class Conn:
        sent = bytearray()

        def sendall(self, b):
            self.sent += b

    conn = Conn()
    # The client joins 0.0105 s into a 1000 frames/s timeline: from frame 10, round 2 of shot 2.
    now = [0.0105]
    replay(conn, data, spans, kvlx.FILE_HEADER_SIZE, 1000.0, lambda n: None, clock=lambda: now[0],
           sleep=lambda s: now.__setitem__(0, now[0] + s), live=live)
    (tmp_path / "late.kvlx").write_bytes(conn.sent)
    with kelvane.open(tmp_path / "late.kvlx", decoder=exp.dem) as stream, pytest.warns(RuntimeWarning, match="cut"):
        assert (stream.description.layout == exp.layout).all()
        got = {f.frame_id: f.observable_flips for f in stream if f.round == 3 and not f.shot_incomplete}
        assert stream.incomplete_shots == 1
    assert min(got) == 15 and got == {k: v for k, v in by_file.items() if k >= 15}


@pytest.mark.parametrize("options, outcome", [
    ({}, RuntimeWarning),                              # positional, depth inferred: warned once
    ({"per_shot": True, "window_depth": 4}, ValueError),  # a strict configuration: refused
    ({"window_depth": 4}, None),                       # a depth chosen claims no layout
])
def test_a_reader_without_the_description_is_told(described, options, outcome):
    path, exp, data, _ = described
    spans = kvlx.frame_spans(data)
    joined = data[:kvlx.FILE_HEADER_SIZE] + data[spans[10][0]:]  # from round 2 of a shot, no description
    # Without coordinates the model says nothing against the positional rule, which then decodes.
    bare = "\n".join(line for line in str(exp.dem.flattened()).splitlines() if not line.startswith("detector"))
    with kelvane.open(serve_once(joined), decoder=bare, timeout=30, **options) as stream:
        assert stream.description is None
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                for _ in stream:
                    pass
                raised = None
            except ValueError as e:
                raised = e
    said = [str(w.message) for w in caught if "another layout" in str(w.message)]
    if outcome is ValueError:
        assert raised is not None and "frame 12 says the stream is laid out by another layout" in str(raised)
    else:
        assert raised is None and len(said) == (outcome is RuntimeWarning)


@pytest.mark.parametrize("over_tcp, stored, delay, timeout, outcome", [
    (False, True, 0.0, None, None),
    (True, True, 0.0, 30, None),
    (True, True, 1.5, 5, None),            # a late first frame within the timeout: waited for
    (True, True, 1.5, 1, TimeoutError),    # past it: the timeout, never a stream decoding without its layout
    (False, False, 0.0, None, ValueError),  # no stored layout, and the positional rule mixes times
    (True, False, 0.0, 30, ValueError),     # the same refusal over TCP, not a warning at the first frame
])
def test_tcp_open_decodes_as_a_file_does(described, tmp_path, over_tcp, stored, delay, timeout, outcome):
    path, exp, data, by_file = described
    if not stored:
        path = tmp_path / "bare.kvlx"
        with kvlx.KvlxWriter(path) as w:
            w.write_shots(exp.detection_events, layout=exp.layout, describe=False)
        data = path.read_bytes()
    source = serve_once(data, delay) if over_tcp else path
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing merely warned about
        if outcome is not None:
            with pytest.raises(outcome, match=CONFLICT if outcome is ValueError else "first frame"):
                kelvane.open(source, decoder=exp.dem, timeout=timeout)
            return
        with kelvane.open(source, decoder=exp.dem, timeout=timeout) as stream:
            got = {f.frame_id: f.observable_flips for f in stream if f.round == 3}
    assert got == by_file


@pytest.mark.parametrize("damage, reason", [
    ("hash", "do not match their hash"),
    ("model", "the stored model does not parse: "),
    ("utf-8", "not zlib-compressed UTF-8 text"),
])
def test_info_reports_a_damaged_description_and_the_rest(tmp_path, capsys, damage, reason):
    dem = "error(0.1) D0 D1 Q7\n" if damage == "model" else "error(0.1) D0 D1\n"
    entries, _ = kvlx._description_entries(np.array([[0, 1]]), dem)
    if damage == "hash":
        entries[-1] = (entries[-1][0], bytes(8))
    if damage == "utf-8":
        blob = zlib.compress(b"error(0.1) D0 D1 \xff\n")
        entries = [(k, v) for k, v in entries if k == kvlx.META_LAYOUT] + [(kvlx.META_DEM, blob)]
        entries.append((kvlx.META_DESCRIPTION_HASH, kvlx._description_hash(entries[0][1], blob)))
    with kvlx.KvlxWriter(tmp_path / "x.kvlx") as w:
        w.write_frame(frame_id=0, round=0, detector_events=[1, 0], metadata=entries)
        w.write_frame(frame_id=1, round=0, detector_events=[0, 1])
    assert main(["-q", "info", str(tmp_path / "x.kvlx")]) == 0
    out = capsys.readouterr().out
    assert re.search(rf"description:      damaged \(.*{re.escape(reason)}", out)
    assert "frames:           2" in out and "first error:      none" in out.splitlines()[-1]


def test_a_stored_model_past_64_mib_is_refused_and_the_frames_still_read(tmp_path, capsys):
    # zlib of repeated bytes is about a thousand times smaller than the text: 64 MiB and one byte
    # of model in some 65 KB of file. Plain reading never inflates it; asking for it is refused.
    squeeze = zlib.compressobj(9)
    model = b"".join(squeeze.compress(b"#" * (1 << 20)) for _ in range(64)) + squeeze.compress(b"#") + squeeze.flush()
    layout = np.arange(6).reshape(2, 3)
    layout_bytes = kvlx._layout_bytes(layout)
    entries = [(kvlx.META_LAYOUT, layout_bytes)] + [
        (kvlx.META_DEM, model[i : i + kvlx.DESCRIPTION_CHUNK]) for i in range(0, len(model), kvlx.DESCRIPTION_CHUNK)]
    entries.append((kvlx.META_DESCRIPTION_HASH, kvlx._description_hash(layout_bytes, model)))
    path = tmp_path / "bomb.kvlx"
    with kvlx.KvlxWriter(path) as w:
        w.write_frame(frame_id=0, detector_events=[1, 0, 1], metadata=entries)
        w.write_frame(frame_id=1, round=1, detector_events=[0, 1, 1])
    refused = "the stream's stored model inflates past 64 MiB of text, the most a stored model may hold: refused"
    with kelvane.open(path) as stream:
        assert [f.frame_id for f in stream] == [0, 1]
        description = stream.description
        assert (description.layout == layout).all() and "dem=stored" in repr(description)
        with pytest.raises(ValueError, match=re.escape(refused)):
            description.dem_text
    with pytest.raises(ValueError, match=re.escape(refused)):
        kelvane.open(path, decoder="stored")
    assert main(["-q", "info", str(path)]) == 0
    assert f"description:      layout of 2 rounds x 3 ancillas; model refused ({refused})\n" in capsys.readouterr().out
