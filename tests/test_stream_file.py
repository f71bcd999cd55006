"""KelvaneStream over real files: construction, iteration, errors and the state table."""

from __future__ import annotations

import os
import pathlib
import zlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _kelvane import KelvaneError, KelvaneStream, SyndromeFrame
from kelvane.kvlx import KvlxWriter, encode_file_header, encode_frame, encode_frame_header

from kvlx_frames import expected_view, file_bytes, frame_view, make_frames, write_file

MISSING = "i/o error: No such file or directory (os error 2)"


def read_all(stream):
    return [frame_view(f) for f in stream]


@pytest.mark.parametrize("ancillas", [0, 1, 8, 24, 300])
@pytest.mark.parametrize("timing", [False, True])
def test_frames_come_back_as_written(tmp_path, ancillas, timing):
    frames = make_frames(12, ancillas=ancillas, seed=ancillas, timing=timing)
    frames[3].pop("observable_flips")  # one frame without metadata flips
    path = write_file(tmp_path / "run.kvlx", frames)
    with KelvaneStream(str(path)) as s:
        got = read_all(s)
    assert got == [expected_view(f) for f in frames]


def test_optional_sections_are_skipped_correctly(tmp_path):
    frames = []
    for k in range(16):
        kw = make_frames(1, ancillas=11, seed=k, first_id=k + 1)[0]
        if k & 1:
            kw["timing_offsets"] = [k] * 11
        if k & 2:
            kw["ancilla_bits"] = bytes([0xA5, k])
        if k & 4:
            kw["metadata"] = {"metadata_text": "é" * k, "metadata_word_a": k, 99: b"junk"}
        else:
            kw.pop("observable_flips")
        if k & 8:
            kw["annotations"] = [(1, 2**64 - 1, 3)] * k
        frames.append(kw)
    path = write_file(tmp_path / "mixed.kvlx", frames)
    assert read_all(KelvaneStream(str(path))) == [expected_view(f) for f in frames]


@pytest.mark.parametrize(
    "source",
    ["", "does/not/exist.kvlx", "shm:/", "SHM://x", "file://x.kvlx", "tcp:/localhost:1", "tcp:"],
)
def test_paths_that_do_not_exist(source):
    with pytest.raises(OSError) as exc:
        KelvaneStream(source)
    assert str(exc.value) == MISSING
    assert exc.value.errno is None and exc.value.filename is None


@pytest.mark.parametrize("source", ["", "does/not/exist.kvlx", "shm:/", "file://x.kvlx", "tcp:"])
def test_kelvane_open_names_the_missing_file(source):
    import kelvane
    from kelvane._convert import read_kvlx_frames

    for opening in (kelvane.open, read_kvlx_frames):
        with pytest.raises(FileNotFoundError) as exc:
            opening(source)
        assert exc.value.filename == source and exc.value.strerror == "No such file or directory"


def test_a_directory_opens_and_fails_on_first_read(tmp_path):
    s = KelvaneStream(str(tmp_path))
    for _ in range(2):  # an I/O error consumes nothing: the same error again
        with pytest.raises(OSError) as exc:
            next(s)
        assert str(exc.value) == "i/o error: Is a directory (os error 21)"


@pytest.mark.parametrize("content", [b"", b"XLVK", encode_file_header()[:25], encode_file_header()])
def test_empty_or_header_only_files_end_at_once(tmp_path, content):
    path = tmp_path / "e.kvlx"
    path.write_bytes(content)
    s = KelvaneStream(str(path))
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(s)


@pytest.mark.parametrize(
    "header, text",
    [
        (encode_file_header(magic=0x584C564B), "invalid KVLX magic bytes: expected 0x4B564C58, got 0x584c564b"),
        (encode_file_header(magic=0), "invalid KVLX magic bytes: expected 0x4B564C58, got 0x00000000"),
        (encode_file_header(version=2), "unsupported KVLX format version: 2"),
        (encode_file_header(magic=1, version=2), "invalid KVLX magic bytes: expected 0x4B564C58, got 0x00000001"),
    ],
)
def test_bad_file_header_fails_on_first_next_and_again(tmp_path, header, text):
    path = tmp_path / "bad.kvlx"
    path.write_bytes(header + encode_frame(frame_id=1, detector_events=[1, 0]))
    s = KelvaneStream(str(path))  # construction reads nothing
    for _ in range(2):
        with pytest.raises(OSError) as exc:
            next(s)
        assert str(exc.value) == text and type(exc.value) is OSError


def test_header_crc_error_text_then_the_frame_is_skipped(tmp_path):
    frame = encode_frame(frame_id=4, detector_events=[0, 1], header_crc=0xDEADBEEF)
    computed = zlib.crc32(frame[:32])
    path = tmp_path / "crc.kvlx"
    path.write_bytes(encode_file_header() + frame + encode_frame(frame_id=5))
    s = KelvaneStream(str(path))
    with pytest.raises(OSError) as exc:
        next(s)
    assert str(exc.value) == f"CRC32 mismatch: expected 0x{computed:08x}, got 0xdeadbeef"
    assert next(s).frame_id == 5
    assert s.skipped_bytes == len(frame)


@pytest.mark.parametrize("damage, message", [
    ("header bit", "CRC32 mismatch"),
    ("payload bit", "CRC32 mismatch"),
    ("duplicate id", "frame ID went backwards"),
])
def test_log_and_continue_loop_gets_every_other_frame(tmp_path, damage, message):
    frames = [encode_frame(frame_id=k, detector_events=[k & 1, 1, 0, 1], observable_flips=k) for k in range(1, 6)]
    bad = bytearray(frames[2])
    if damage == "header bit":
        bad[3] ^= 0x04
    elif damage == "payload bit":
        bad[40] ^= 0x01
    else:
        bad = encode_frame(frame_id=2, detector_events=[0, 1, 0, 1], observable_flips=3)
    frames[2] = bytes(bad)
    path = tmp_path / "damaged.kvlx"
    path.write_bytes(encode_file_header() + b"".join(frames))
    s = KelvaneStream(str(path))
    ids, errors = [], []
    for _ in range(20):
        try:
            ids.append(next(s).frame_id)
        except StopIteration:
            break
        except OSError as e:
            errors.append(str(e))
    assert ids == [1, 2, 4, 5]
    assert len(errors) == 1 and message in errors[0]
    assert s.skipped_bytes == len(frames[2])


def test_trailer_with_bad_marker_but_good_crc(tmp_path):
    frame = encode_frame(frame_id=1, detector_events=[1], trailer_marker=0xFFFE)
    crc = zlib.crc32(frame[:36])
    path = tmp_path / "t.kvlx"
    path.write_bytes(encode_file_header() + frame)
    s = KelvaneStream(str(path))
    with pytest.raises(OSError) as exc:
        next(s)
    assert str(exc.value) == f"CRC32 mismatch: expected 0x{crc:08x}, got 0x{crc:08x}"
    with pytest.raises(StopIteration):  # the 6 trailer bytes are no frame header
        next(s)


def test_frame_order_errors(tmp_path):
    frames = [make_frames(1, seed=i, first_id=fid)[0] for i, fid in enumerate([5, 9, 7])]
    path = write_file(tmp_path / "order.kvlx", frames)
    s = KelvaneStream(str(path))
    assert [next(s).frame_id for _ in range(2)] == [5, 9]
    with pytest.raises(OSError) as exc:
        next(s)
    assert str(exc.value) == "frame ID went backwards: last seen 9, got 7"
    # Only the header was consumed: the payload is now read as a frame header and fails.
    with pytest.raises((OSError, StopIteration)):
        next(s)


def test_timing_bound_and_stream_continues(tmp_path):
    frames = make_frames(4, ancillas=6, seed=3)
    frames[0]["timing_offsets"] = [10000] * 6
    frames[1]["timing_offsets"] = [0, 0, 0, 10000, 10001, 65535]
    path = write_file(tmp_path / "timing.kvlx", frames)
    s = KelvaneStream(str(path))
    assert next(s).frame_id == frames[0]["frame_id"]
    with pytest.raises(OSError) as exc:
        next(s)
    assert str(exc.value) == "timing offset out of bounds: ancilla 4, offset 10001 ns"
    assert [f.frame_id for f in s] == [frames[2]["frame_id"], frames[3]["frame_id"]]


@pytest.mark.parametrize("cut_from_end", [1, 6, 7, 20])
def test_truncated_last_frame(tmp_path, cut_from_end):
    frames = make_frames(3, ancillas=10, seed=1, flips=False)
    data = file_bytes(frames)
    path = tmp_path / "cut.kvlx"
    path.write_bytes(data[:-cut_from_end])
    s = KelvaneStream(str(path))
    assert [next(s).frame_id for _ in range(2)] == [frames[0]["frame_id"], frames[1]["frame_id"]]
    if cut_from_end <= 6:  # only (part of) the trailer is missing: the frame is accepted
        assert next(s).frame_id == frames[2]["frame_id"]
    else:
        with pytest.raises(OSError) as exc:
            next(s)
        assert str(exc.value).startswith("payload length mismatch: header declares ")
    with pytest.raises(StopIteration):
        next(s)


def test_growing_file_yields_appended_frames(tmp_path):
    frames = make_frames(6, seed=9)
    path = tmp_path / "grow.kvlx"
    with open(path, "wb") as f:
        w = KvlxWriter(f)
        w.write_frame(**frames[0])
        f.flush()
        s = KelvaneStream(str(path))
        assert [x.frame_id for x in s] == [frames[0]["frame_id"]]
        assert list(s) == []  # the end again, while the file has not grown
        data = encode_frame(**frames[1])
        f.write(data[:20])  # half a header: still the end
        f.flush()
        assert list(s) == []
        f.write(data[20:])
        for fr in frames[2:]:
            w.write_frame(**fr)
        f.flush()
        assert [x.frame_id for x in s] == [fr["frame_id"] for fr in frames[1:]]


def test_with_block_closes_and_propagates(tmp_path):
    path = write_file(tmp_path / "w.kvlx", make_frames(3))
    with pytest.raises(ZeroDivisionError):
        with KelvaneStream(str(path)) as s:
            assert next(s).frame_id == 1
            1 / 0
    with pytest.raises(OSError) as exc:
        next(s)
    assert str(exc.value) == "stream is closed"


def test_state_table(tmp_path):
    path = write_file(tmp_path / "s.kvlx", make_frames(2))
    s = KelvaneStream(source=str(path))
    assert iter(s) is s and s.__enter__() is s
    assert s.__exit__(None, None, None) is False
    for _ in range(2):
        with pytest.raises(OSError, match="^stream is closed$"):
            next(s)
        assert s.close() is None
    s2 = KelvaneStream(str(path))
    s2.close()
    assert s2.__exit__(_exc_type=None, _exc_val=None, _tb=None) is False
    with pytest.raises(TypeError):
        s2.__exit__(None, None)


def test_repr_names_source_and_state(tmp_path):
    path = str(write_file(tmp_path / "r.kvlx", make_frames(5)))
    with KelvaneStream(path) as s:
        assert repr(s) == f"KelvaneStream({path!r}, open, frames_read=0)"
        next(s)
        s.read_batch(2)
        assert repr(s) == f"KelvaneStream({path!r}, open, frames_read=3)"
    assert repr(s) == f"KelvaneStream({path!r}, closed, frames_read=3)"


def test_frames_outlive_their_stream(tmp_path):
    frames = make_frames(3, seed=4)
    path = write_file(tmp_path / "o.kvlx", frames)
    s = KelvaneStream(str(path))
    got = list(s)
    s.close()
    del s
    assert [frame_view(f) for f in got] == [expected_view(f) for f in frames]


def test_argument_errors(tmp_path):
    path = tmp_path / "a.kvlx"
    path.write_bytes(b"")
    assert list(KelvaneStream(pathlib.Path(path))) == []
    odd = tmp_path / "run-\udc80.kvlx"  # not UTF-8: encoded as os.fsencode does
    odd.write_bytes(path.read_bytes())
    assert list(KelvaneStream(str(odd))) == []
    for bad, text in [(-1, "timeout must be a non-negative number of seconds or None"), (float("nan"), None)]:
        with pytest.raises(ValueError, match=text):
            KelvaneStream(str(path), timeout=bad)
    with pytest.raises(TypeError) as exc:
        KelvaneStream(b"x")
    assert str(exc.value) == "argument 'source': 'bytes' object is not an instance of 'str'"
    with pytest.raises(TypeError):
        KelvaneStream()
    with pytest.raises(TypeError):
        KelvaneStream(str(path), str(path))

    class Text(str):
        pass

    assert list(KelvaneStream(Text(str(path)))) == []


@pytest.mark.parametrize("source", ["shm://", "shm://ring0", "shm://tcp://x:1"])
def test_shm_is_refused(source):
    with pytest.raises(ValueError) as exc:
        KelvaneStream(source)
    assert str(exc.value) == (
        "shm:// transport is not available in the Python bindings; use the C FFI kelvane_shm_open for SHM access"
    )


def test_set_decoder_holds_the_stream_exclusively(tmp_path):
    path = write_file(tmp_path / "b.kvlx", make_frames(2))
    s = KelvaneStream(str(path))

    class Reentrant:
        def __str__(self):
            next(s)
            return "error(0.1) D0"

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        s.set_decoder(Reentrant())
    assert next(s).frame_id == 1  # the refused call changed nothing


def test_decoder_sets_flips_on_every_frame(tmp_path):
    frames = make_frames(4, ancillas=2, seed=5, flips=False)
    path = write_file(tmp_path / "d.kvlx", frames)
    s = KelvaneStream(str(path))
    first = next(s)
    with pytest.raises(KelvaneError):
        first.observable_flips
    s.set_decoder("error(0.1) D0 L0\nerror(0.1) D0 D1", window_depth=1)
    assert all(isinstance(f.observable_flips, int) for f in s)


# ---- malformed input -------------------------------------------------------------------------

_VALID = file_bytes(
    make_frames(3, ancillas=9, seed=11, timing=True)
    + make_frames(2, ancillas=3, seed=12, first_id=100, annotations=[(1, 5, 2)], ancilla_bits=b"\x05")
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    cut=st.integers(min_value=0, max_value=len(_VALID)),
    flips=st.lists(st.tuples(st.integers(0, len(_VALID) - 1), st.integers(1, 255)), max_size=4),
    junk=st.binary(max_size=40),
)
def test_damaged_files_only_raise_oserror_and_terminate(tmp_path, cut, flips, junk):
    data = bytearray(_VALID)
    for pos, mask in flips:
        data[pos] ^= mask
    data = bytes(data[:cut]) + junk
    path = tmp_path / "damaged.kvlx"
    path.write_bytes(data)
    s = KelvaneStream(str(path))
    errors = 0
    ended = False
    for _ in range(len(data) + 5):  # every call consumes bytes, ends, or repeats an error
        try:
            f = next(s)
        except StopIteration:
            ended = True
            break
        except OSError as e:
            assert e.errno is None and str(e)
            errors += 1
            if errors > 3:
                break
            continue
        assert isinstance(f, SyndromeFrame)
        f.to_dict(), repr(f), f.meas_results()
    assert ended or errors > 0
    s.close()


@pytest.mark.parametrize("append", [1, 7, 65])
def test_growing_file_delivers_every_frame_whatever_the_append_size(tmp_path, append):
    frames = make_frames(4, ancillas=10, seed=3, timing=True)
    data = file_bytes(frames)
    path = tmp_path / "live.kvlx"
    path.write_bytes(b"")
    s = KelvaneStream(str(path))
    ids = []
    with open(path, "ab") as f:
        for at in range(0, len(data) + append, append):
            f.write(data[at:at + append])
            f.flush()
            for _ in range(10):
                try:
                    ids.append(next(s).frame_id)
                except StopIteration:
                    break
                except OSError as e:
                    assert str(e).startswith("payload length mismatch")
    assert ids == [fr["frame_id"] for fr in frames]
    assert s.skipped_bytes == 0

