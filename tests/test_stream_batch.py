"""KelvaneStream.read_batch against iteration over the same files, damaged ones included."""

from __future__ import annotations

import random

import numpy as np
import pytest

import kelvane
from kelvane.kvlx import KvlxWriter, encode_frame

from kvlx_frames import file_bytes, make_frames


def trace_by_iteration(path):
    """What iterating shows: ("frame", id, round, timestamp, events) and ("error", text) items,
    up to the end or a repeated error."""
    out, s = [], kelvane.KelvaneStream(str(path))
    for _ in range(1000):
        try:
            f = next(s)
        except StopIteration:
            return out
        except OSError as e:
            if out and out[-1] == ("error", str(e)):
                return out  # stuck on the same damage: both ways stop here
            out.append(("error", str(e)))
            continue
        out.append(("frame", f.frame_id, f.round, f.timestamp_ns, f.to_numpy_detector_events().tolist(),
                    f.source_observable_flips))
    raise AssertionError("iteration did not end")


def trace_by_batches(path, size):
    out, s = [], kelvane.KelvaneStream(str(path))
    for _ in range(1000):
        try:
            b = s.read_batch(size)
        except OSError as e:
            if out and out[-1] == ("error", str(e)):
                return out  # stuck on the same damage: both ways stop here
            out.append(("error", str(e)))
            continue
        if len(b) == 0:
            return out
        assert 0 < len(b) <= size and b.detector_events.shape[0] == len(b)
        assert len(set(b.detector_events.shape[1:])) == 1  # one ancilla count per batch
        for i in range(len(b)):
            out.append(("frame", int(b.frame_ids[i]), int(b.rounds[i]), int(b.timestamps_ns[i]),
                        b.detector_events[i].astype(int).tolist(),
                        int(b.observable_flips[i]) if b.has_observable_flips[i] else None))
    raise AssertionError("read_batch did not end")


def damaged_files():
    mixed = make_frames(3, ancillas=4) + make_frames(2, ancillas=9, first_id=20) + make_frames(2, ancillas=4, first_id=40)
    timing = make_frames(5, ancillas=6, seed=3, timing=True)
    timing[2]["timing_offsets"] = [0, 0, 10001, 0, 0, 0]
    clean = make_frames(6, ancillas=300, seed=2)
    crc = file_bytes(make_frames(2, ancillas=5)) + encode_frame(frame_id=90, detector_events=[1] * 5, header_crc=1)
    flipped = make_frames(3, ancillas=5)
    header_bit = bytearray(file_bytes(flipped))
    header_bit[26 + len(encode_frame(**flipped[0])) + 9] ^= 4  # the second frame's round
    long_events = encode_frame(frame_id=99, detector_events_rle=bytes([0x83, 0x03]), ancilla_count=4,
                               payload_crc=False, check_lengths=False)
    return {
        "mixed ancilla counts": file_bytes(mixed),
        "timing error mid-file": file_bytes(timing),
        "truncated": file_bytes(clean)[:-40],
        "bad header crc after good frames": crc + encode_frame(frame_id=91, detector_events=[0, 1]),
        "backwards ids": file_bytes(make_frames(3, first_id=50) + make_frames(2, first_id=1)),
        "header bit flipped": bytes(header_bit),
        "events past the ancilla count": file_bytes(make_frames(2, ancillas=4)) + long_events,
    }


@pytest.mark.parametrize("name", list(damaged_files()))
@pytest.mark.parametrize("size", [1, 2, 64])
def test_batches_show_what_iteration_shows(tmp_path, name, size):
    path = tmp_path / "f.kvlx"
    path.write_bytes(damaged_files()[name])
    expected = trace_by_iteration(path)
    assert any(item[0] == "frame" for item in expected)
    assert trace_by_batches(path, size) == expected


def mixed_sections_file(seed):
    """About 130 KB of frames with every optional section, so that reads refill many times and
    the reader's buffer wraps, the ancilla count changing near the end; 6 random bits flipped."""
    frames = []
    for k in range(500):
        kw = make_frames(1, ancillas=100 if k < 420 else 30, seed=1000 * seed + k, first_id=1 + 2 * k,
                         timing=k % 4 == 1)[0]
        if k % 4 == 2:
            kw["annotations"] = [(1, k, 2)]
            kw["ancilla_bits"] = bytes(len(kw["detector_events"]) // 8 + 1)
        kw["payload_crc"] = k % 4 != 3
        frames.append(kw)
    data = bytearray(file_bytes(frames))
    rng = random.Random(seed)
    for _ in range(6 if seed else 0):
        data[rng.randrange(26, len(data))] ^= 1 << rng.randrange(8)
    return bytes(data)


@pytest.mark.parametrize("seed", range(6))
def test_batches_show_what_iteration_shows_across_refills(tmp_path, seed):
    path = tmp_path / "f.kvlx"
    path.write_bytes(mixed_sections_file(seed))
    expected = trace_by_iteration(path)
    assert sum(item[0] == "frame" for item in expected) > 400
    for size in (7, 100_000):
        assert trace_by_batches(path, size) == expected


def test_observable_flips_and_shot_arrays_round_trip(tmp_path):
    rng = np.random.default_rng(5)
    dets, obs = rng.random((50, 12)) < 0.2, rng.random((50, 2)) < 0.5
    path = tmp_path / "shots.kvlx"
    with KvlxWriter(path) as w:
        w.write_shots(dets, obs, layout=np.arange(12).reshape(3, 4))
    s = kelvane.KelvaneStream(path.as_posix())
    b = s.read_batch(1000)
    assert len(b) == 150 and len(s.read_batch(1000)) == 0
    assert b.detector_events.dtype == np.bool_ and b.observable_flips.dtype == np.uint64
    assert (b.detector_events.reshape(50, 12) == dets).all()
    assert (b.has_observable_flips == (b.rounds == 2)).all()
    assert (b.observable_flips[2::3] == obs[:, 0] + 2 * obs[:, 1]).all()
    assert (b.observable_flips[b.rounds < 2] == 0).all()


def test_a_stream_with_a_decoder_refuses(tmp_path):
    path = tmp_path / "f.kvlx"
    path.write_bytes(file_bytes(make_frames(2, ancillas=2)))
    s = kelvane.KelvaneStream(str(path))
    s.set_decoder("error(0.1) D0 L0\nerror(0.1) D0 D1\nerror(0.1) D1\n")
    with pytest.raises(ValueError, match="decode_batch"):
        s.read_batch(5)
    s.close()
    with pytest.raises(OSError, match="closed"):
        s.read_batch(5)
