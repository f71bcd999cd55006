"""errors="skip": damaged frames are passed over, warned about once per kind and counted, in
kelvane.open and in the info, decode and convert commands."""

import contextlib
import signal
import warnings

import numpy as np
import pytest

import kelvane
from kelvane import kvlx
from kelvane.cli import main

LAYOUT = np.arange(12).reshape(3, 4)


@pytest.fixture(scope="module")
def clean(tmp_path_factory):
    rng = np.random.default_rng(0)
    path = tmp_path_factory.mktemp("skip") / "clean.kvlx"
    with kvlx.KvlxWriter(path) as w:
        w.write_shots(rng.integers(0, 2, (400, 12), dtype=np.uint8), rng.integers(0, 2, (400, 1)), layout=LAYOUT,
                      describe=False)
    data = path.read_bytes()
    return data, kvlx.frame_spans(data)


def flip(d, at):
    d[at] ^= 0xFF


# (damage, frames read, reader errors passed over, kinds)
CASES = {
    "payload byte": (lambda d, s: flip(d, s[100][0] + 40), 1199, 1, {"CRC32 mismatch"}),
    "header byte": (lambda d, s: flip(d, s[100][0] + 5), 1199, 1, {"CRC32 mismatch"}),
    "garbage between frames": (lambda d, s: d.__setitem__(slice(s[100][1], s[100][1]), b"garbage"), 1200, 1,
                               {"CRC32 mismatch"}),
    "three places": (lambda d, s: [flip(d, s[100][0] + 40), flip(d, s[500][0] + 5),
                                   d.__setitem__(slice(s[900][1], s[900][1]), b"junk")], 1198, 3, {"CRC32 mismatch"}),
    "truncated frame": (lambda d, s: d.__delitem__(slice(s[700][0] + 45, s[700][1] - 3)), 1199, 1,
                        {"payload length mismatch"}),
}


@pytest.mark.parametrize("case", CASES)
def test_open_skips_and_counts(clean, tmp_path, case):
    data, spans = clean
    damage, frames, errors, kinds = CASES[case]
    damaged = bytearray(data)
    damage(damaged, spans)
    path = tmp_path / "x.kvlx"
    path.write_bytes(damaged)
    with pytest.raises(OSError), kelvane.open(path) as stream:  # errors="raise": as before
        list(stream)
    with pytest.warns(RuntimeWarning, match="skipped a damaged frame") as caught, \
            kelvane.open(path, errors="skip") as stream:
        assert sum(1 for _ in stream) == frames
    assert len([w for w in caught if w.category is RuntimeWarning]) == len(kinds)  # one per kind
    assert (stream.skipped_frames, set(stream.skipped_by_kind)) == (errors, kinds)
    assert sum(stream.skipped_by_kind.values()) == errors and stream.skipped_bytes > 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with kelvane.open(path, errors="skip") as again:
            assert sum(len(again.read_batch(300)) for _ in range(10)) == frames

    assert main(["-q", "info", str(path)]) == 1
    assert main(["-q", "convert", str(path), str(tmp_path / "s.b8"), "--layout", str(_saved(tmp_path))]) == 0
    assert main(["-q", "decode", str(path), "--dem", str(_model(tmp_path)), "--layout", str(_saved(tmp_path)),
                 "--out", str(tmp_path / "p.b8")]) == 0


def test_cli_prints_what_it_skipped(clean, tmp_path, capsys):
    data, spans = clean
    damaged = bytearray(data)
    CASES["three places"][0](damaged, spans)
    (tmp_path / "x.kvlx").write_bytes(damaged)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        main(["-q", "info", str(tmp_path / "x.kvlx")])
        out = capsys.readouterr().out
        assert "frames:           1198" in out
        assert "skipped:          3 damaged frames (" in out and "CRC32 mismatch: 3)" in out
        main(["-q", "decode", str(tmp_path / "x.kvlx"), "--dem", str(_model(tmp_path)), "--layout",
              str(_saved(tmp_path)), "--out", str(tmp_path / "p.b8")])
        assert "skipped: 3 damaged frames" in capsys.readouterr().out
        # Decoding in windows as frames arrive goes on past them too.
        assert main(["-q", "decode", str(tmp_path / "x.kvlx"), "--dem", str(_model(tmp_path)), "--layout",
                     str(_saved(tmp_path)), "--commit", "1", "--buffer", "2", "--out", str(tmp_path / "p.dec")]) == 0
        out = capsys.readouterr().out
        assert "decoded 1198 frames in windows" in out and "skipped: 3 damaged frames" in out


def test_errors_must_be_raise_or_skip(clean, tmp_path):
    (tmp_path / "x.kvlx").write_bytes(clean[0])
    with pytest.raises(ValueError, match="errors must be 'raise' or 'skip'"):
        kelvane.open(tmp_path / "x.kvlx", errors="ignore")


def _saved(tmp_path):
    np.save(tmp_path / "layout.npy", LAYOUT)
    return tmp_path / "layout.npy"


def _model(tmp_path):
    (tmp_path / "m.dem").write_text("".join(f"error(0.1) D{i} D{i + 4}\n" for i in range(8)) +
                                    "".join(f"error(0.1) D{i} L0\n" for i in range(4)) +
                                    "".join(f"detector({i % 4}, {i // 4}) D{i}\n" for i in range(12)))
    return tmp_path / "m.dem"


def test_damaged_description_is_left_unused_when_skipping(tmp_path):
    import stim

    circuit = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=3, after_clifford_depolarization=0.05)
    exp = kelvane.write_stim_experiment(circuit, 50, tmp_path / "x.kvlx", seed=1)
    data = (tmp_path / "x.kvlx").read_bytes()
    (start, end), *_ = kvlx.frame_spans(data)
    # A description whose pieces do not match their hash, in a frame whose CRCs verify; a damaged
    # byte inside it would be a damaged first frame, skipped as any other.
    entries = kvlx.description_entries(data[start:end])
    entries[-1] = (kvlx.META_DESCRIPTION_HASH, bytes(8))
    (tmp_path / "x.kvlx").write_bytes(data[:start] + kvlx.with_description(data[start:end], entries) + data[end:])
    with pytest.raises(ValueError, match="do not match their hash"):
        kelvane.open(tmp_path / "x.kvlx", decoder=exp.dem)
    with pytest.warns(RuntimeWarning, match="do not match their hash; they are not used"), \
            kelvane.open(tmp_path / "x.kvlx", decoder=exp.dem, errors="skip") as stream:
        assert sum(1 for _ in stream) == 200 and stream.skipped_frames == 0


def test_decoded_stream_treats_a_skipped_frame_as_a_missing_round(clean, tmp_path):
    data, spans = clean
    damaged = bytearray(data)
    flip(damaged, spans[100][0] + 40)  # round 1 of shot 33
    (tmp_path / "x.kvlx").write_bytes(damaged)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with kelvane.open(tmp_path / "x.kvlx", decoder=str(_model(tmp_path)), layout=LAYOUT, per_shot=True,
                          errors="skip") as stream:
            last = [f for f in stream if f.round == 2]
            assert stream.incomplete_shots == 1 and stream.skipped_frames == 1
    assert len(last) == 400 and sum(f.shot_incomplete for f in last) == 1


class _Hung(Exception):
    pass


@contextlib.contextmanager
def _deadline(seconds):
    """Fails a read that spins instead of ending (SIGALRM; the skipping loop runs in Python)."""
    def hung(*_):
        raise _Hung(f"still running after {seconds} s")

    old = signal.signal(signal.SIGALRM, hung)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, old)


NOT_KVLX = {
    "random bytes": lambda good: np.random.default_rng(1).bytes(180),
    "first 5 bytes missing": lambda good: good[5:],
    "version 2": lambda good: kvlx.encode_file_header(version=2) + good[kvlx.FILE_HEADER_SIZE:],
}


@pytest.mark.parametrize("case", NOT_KVLX)
def test_a_source_without_a_kvlx_header_is_refused_not_skipped(clean, tmp_path, case, capsys):
    from _kelvane import KelvaneStream

    from kelvane._skipping import SkippingStream

    path = tmp_path / "x.kvlx"
    path.write_bytes(NOT_KVLX[case](clean[0]))
    with pytest.raises(OSError) as raised:
        next(KelvaneStream(str(path)))
    expected = f"{path} is not a KVLX stream ({raised.value})"  # the reader's own reason
    with _deadline(60):
        for errors in ("raise", "skip"):
            with pytest.raises(OSError) as refused:
                kelvane.open(path, errors=errors)
            assert str(refused.value) == expected
        # Wrapped as it is read (a TCP source is not read ahead): the header error ends it.
        with SkippingStream(KelvaneStream(str(path))) as stream:
            with pytest.raises(OSError, match="KVLX"):
                stream.read_batch(10)
            with pytest.raises(OSError, match="KVLX"):
                next(stream)
        capsys.readouterr()
        for verb, *rest in (["info"], ["convert", tmp_path / "out.b8"], ["monitor", "--report", tmp_path / "r.html"],
                            ["decode", "--dem", _model(tmp_path), "--out", tmp_path / "p.01"]):
            assert main(["-q", verb, str(path), *map(str, rest)]) == 2, verb
            assert capsys.readouterr().err == f"kelvane: error: {expected}\n", verb
    assert not (tmp_path / "out.b8").exists() and not (tmp_path / "p.01").exists()


def test_garbage_after_a_good_header_is_skipped_to_the_end(tmp_path):
    path = tmp_path / "x.kvlx"
    path.write_bytes(kvlx.encode_file_header() + np.random.default_rng(2).bytes(4000))
    with _deadline(60), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        with kelvane.open(path, errors="skip") as stream:
            assert len(stream.read_batch(10)) == 0 and list(stream) == []
            assert stream.skipped_bytes > 0
