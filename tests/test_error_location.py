"""Reader errors name where they arose: `frame_id` and `offset` on the OSError, the text unchanged."""

import json
import struct
import warnings
import zlib
from pathlib import Path

import numpy as np
import pytest

import kelvane
from kelvane import kvlx

CORPUS = Path(__file__).resolve().parent / "corpus"
FILE_HEADER_ERRORS = ("invalid KVLX magic", "unsupported KVLX format version")


def errors_of(path, batch_size=None):
    """Every error a log-and-continue loop sees, until the end or an error repeated at once."""
    out = []
    with kelvane.KelvaneStream(str(path)) as s:
        for _ in range(10_000):
            try:
                if batch_size is None:
                    next(s)
                elif len(s.read_batch(batch_size)) == 0:
                    return out
            except StopIteration:
                return out
            except OSError as e:
                out.append((str(e), e.frame_id, e.offset))
                if len(out) > 1 and out[-2] == out[-1]:
                    return out
    raise AssertionError("the stream did not end")


@pytest.mark.parametrize("name", sorted(p.stem for p in (CORPUS / "kvlx").glob("*.kvlx")))
def test_corpus_errors_keep_their_text_and_name_the_damaged_frame(name):
    path = CORPUS / "kvlx" / f"{name}.kvlx"
    data = path.read_bytes()
    got = errors_of(path)
    expected = [i["error"] for i in json.loads((CORPUS / "kvlx.json").read_text())[name]["trace"] if "error" in i]
    assert [text for text, _, _ in got] == expected
    for size in (1, 1000):  # read_batch reports the same errors at the same places
        assert errors_of(path, size) == got
    for text, frame_id, offset in got:
        if text.startswith(FILE_HEADER_ERRORS):
            assert (frame_id, offset) == (None, None)
            continue
        assert 26 <= offset < len(data), text
        header = data[offset:offset + 36]
        verifies = len(header) == 36 and zlib.crc32(header[:32]) == struct.unpack_from("<I", header, 32)[0]
        # The id is given exactly when the frame's header verifies, and is the one it holds.
        assert (frame_id is not None) == verifies, text
        if verifies:
            assert frame_id == struct.unpack_from("<Q", header)[0]


def test_damage_in_a_written_file_is_located_on_every_read_path(tmp_path):
    rng = np.random.default_rng(1)
    path = tmp_path / "x.kvlx"
    with kvlx.KvlxWriter(path) as w:
        w.write_shots(rng.integers(0, 2, (50, 12), dtype=np.uint8), layout=np.arange(12).reshape(3, 4),
                      describe=False)
    data = bytearray(path.read_bytes())
    spans = kvlx.frame_spans(bytes(data))
    ids = [f.frame_id for f in kelvane.KelvaneStream(str(path))]
    # (byte flipped, frame the error names or None when its header is damaged)
    cases = [(spans[30][0] + 40, 30), (spans[60][0] + 5, None), (spans[100][1] - 1, 100)]
    for at, _ in cases:
        data[at] ^= 0xFF
    path.write_bytes(data)
    starts = [spans[30][0], spans[60][0], spans[100][0]]
    want = [(ids[k] if k is not None else None, start) for (_, k), start in zip(cases, starts)]
    for size in (None, 7):
        assert [(i, o) for _, i, o in errors_of(path, size)] == want
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with kelvane.open(path, errors="skip") as s:
            list(s)
    assert (s.first_error.frame_id, s.first_error.offset) == want[0]


def test_errors_from_waits_and_closed_streams_carry_the_attributes_too(tmp_path):
    import socket

    listener = socket.create_server(("127.0.0.1", 0))  # accepts into its backlog, sends nothing
    stream = kelvane.KelvaneStream(f"tcp://127.0.0.1:{listener.getsockname()[1]}", timeout=0.05)
    calls = [lambda: next(stream), lambda: stream.read_batch(10), lambda: stream.description]
    try:
        for call in calls:
            with pytest.raises(TimeoutError) as info:
                call()
            assert (info.value.offset, info.value.frame_id) == (None, None)
        stream.close()
        for call in calls[:2]:
            with pytest.raises(OSError, match="stream is closed") as info:
                call()
            assert (info.value.offset, info.value.frame_id) == (None, None)
    finally:
        listener.close()
