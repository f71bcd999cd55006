"""kelvane.kvlx: byte equality with the C++ encoder, layout and round trips of the writer."""

import io
import os
import pathlib
import struct
import subprocess
import uuid
import zlib

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from kelvane import kvlx
from kelvane.kvlx import KvlxWriter, encode_frame, encode_rle_events

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD_DIR = pathlib.Path(os.environ.get("KELVANE_BUILD_DIR", ROOT / "build" / "release"))
if not BUILD_DIR.is_absolute():
    BUILD_DIR = ROOT / BUILD_DIR

SIZES = [0, 1, 5, 8, 9, 17, 130, 300]
CODE_TYPES = [1, 2, 3, 4, 5, 6, 7, 8, 255, 0, 200]


def regular_frame(i):
    """Frame i of the reference list, as keyword arguments of write_frame (mirrors the tool)."""
    n = SIZES[i % 8]
    flips = (1 << (i % 64)) | i
    frame = dict(
        frame_id=i * 3 + 1,
        round=i,
        timestamp_ns=1_000_000_000 * i + 17,
        qubit_count=2 * n + 1,
        ancilla_count=n,
        header_word=0xABCD0000 + i,
        code_type=CODE_TYPES[i % 11],
        distance=3 + 2 * (i % 4),
        flags=i % 16,
        detector_events=[1 if (j * 7 + i * 3) % 13 < i % 5 else 0 for j in range(n)],
        meas_results=[(j * 37 + i * 11) % 256 - 128 for j in range(n)],
        timing_offsets=[(j * 1009 + i * 17) % 65536 for j in range(n)],
        ancilla_bits=bytes((k * 29 + i) % 256 for k in range((n + 7) // 8)),
        annotations=[(k + 1, (i << 40) + k, 255 - k) for k in range(i % 4)],
        payload_crc=i % 4 != 3,
    )
    if i % 3 == 0:
        # Typed fields; observable_flips through the convenience argument (written last, key 16).
        frame["metadata"] = {
            "metadata_text": f"frame {i} \u00e9\u2713",
            "metadata_word_a": (i * 1000003) % 2**32,
            "metadata_byte": i,
        }
        frame["observable_flips"] = flips
    else:
        pool = [
            (16, struct.pack("<Q", flips)),
            (99, bytes([i, i + 1, i + 2])),
            (16, struct.pack("<I", i)),
            (3, struct.pack("<I", i * 7)),
            (1, b""),
            (4, b"\x01\x02"),
        ]
        frame["metadata"] = pool[: 1 + i % 6]
    # Sections that the flags leave out are still handed over, as the tool does.
    return frame


def reference_frames():
    frames = [regular_frame(i) for i in range(32)]
    f = regular_frame(32)
    f.update(flags=0, detector_events=[1] * 300)
    frames.append(f)
    f = regular_frame(33)
    f.update(detector_events_rle=b"\x80\x00\x85\x7f")
    frames.append(f)
    f = regular_frame(34)
    f.update(flags=0xFFFF)
    frames.append(f)
    f = regular_frame(35)
    f.update(header_crc=0xDEADBEEF)
    frames.append(f)
    f = regular_frame(36)
    f.update(trailer_marker=0xFFFE, trailer_crc=0x01020304)
    frames.append(f)
    f = regular_frame(37)
    f.update(flags=kvlx.FLAG_METADATA | kvlx.FLAG_ANNOTATIONS, metadata_count=0, annotation_count=200)
    frames.append(f)
    f = regular_frame(38)
    f.update(flags=kvlx.FLAG_METADATA, metadata=[(1, b"\xff\xfe")], observable_flips=None)
    frames.append(f)
    f = regular_frame(39)
    f.update(trailer=False)
    frames.append(f)
    return frames


@pytest.fixture(scope="module")
def reference_dir(tmp_path_factory):
    tool = BUILD_DIR / "kvlx_reference"
    if not tool.exists():
        # The test command names the build explicitly; there a missing tool is a failure.
        if "KELVANE_BUILD_DIR" in os.environ:
            pytest.fail(f"{tool} is absent from KELVANE_BUILD_DIR")
        pytest.skip(f"C++ reference writer not built: {tool} is absent (set KELVANE_BUILD_DIR)")
    out = tmp_path_factory.mktemp("kvlx_reference")
    subprocess.run([str(tool), str(out)], check=True)
    return out


def test_writer_matches_cpp_encoder_byte_for_byte(reference_dir):
    expected = (reference_dir / "reference.kvlx").read_bytes()
    buf = io.BytesIO()
    w = KvlxWriter(buf, schema_id=bytes(k * 17 for k in range(16)), file_word=0x12345678)
    for frame in reference_frames():
        # check_lengths=False: the list hands over sections that its flags leave out.
        w.write_frame(check_lengths=False, **frame)
    got = buf.getvalue()
    assert w.bytes_written == len(got)
    assert w.frames_written == 40
    assert len(got) == len(expected)
    mismatch = next((k for k, (a, b) in enumerate(zip(got, expected)) if a != b), None)
    assert mismatch is None, f"first differing byte at offset {mismatch}"


def test_bad_file_header_matches_cpp_encoder(reference_dir):
    buf = io.BytesIO()
    KvlxWriter(buf, magic=0x584C564B, version=2)
    assert buf.getvalue() == (reference_dir / "bad_header.kvlx").read_bytes()


@pytest.mark.parametrize(
    "events, rle",
    [
        ([], b""),
        ([0, 0, 0, 0, 0, 1, 1, 0, 0, 0], b"\x05\x82\x03"),
        ([True, False], b"\x81\x01"),
        ([1] * 127, b"\xff"),
        ([1] * 128, b"\xff\x81"),
        ([0] * 300 + [1] * 129, b"\x7f\x7f\x2e\xff\x82"),
        (np.array([0, 1, 1], dtype=bool), b"\x01\x82"),
        (np.zeros(254, dtype=np.uint8), b"\x7f\x7f"),
    ],
)
def test_encode_rle_events(events, rle):
    assert encode_rle_events(events) == rle


@pytest.mark.parametrize("bad", [[2], [0, -1], [0.5], ["1"], np.array([0, 2]), np.array([0.5])])
def test_encode_rle_events_refuses_values_other_than_0_and_1(bad):
    with pytest.raises(ValueError, match="only 0 and 1"):
        encode_rle_events(bad)


def decode_rle(rle):
    out = []
    for b in rle:
        out += [b >> 7] * (b & 0x7F)
    return out


def parse_frame(data):
    """A minimal reader of one frame, independent of the writer's code paths."""
    fid, rnd, ts, qc, n, word, code, dist, flags, crc = struct.unpack_from("<QIQHHIBBHI", data, 0)
    assert crc == zlib.crc32(data[:32])
    pos = 36
    (length,) = struct.unpack_from("<H", data, pos)
    pos += 2
    frame = dict(frame_id=fid, round=rnd, timestamp_ns=ts, qubit_count=qc, ancilla_count=n,
                 header_word=word, code_type=code, distance=dist, flags=flags)
    frame["events"] = decode_rle(data[pos:pos + length])
    pos += length
    frame["meas"] = list(struct.unpack_from(f"<{n}b", data, pos))
    pos += n
    if flags & 1:
        frame["timing"] = list(struct.unpack_from(f"<{n}H", data, pos))
        pos += 2 * n
    if flags & 2:
        frame["bits"] = data[pos:pos + (n + 7) // 8]
        pos += (n + 7) // 8
    crc_at = None
    if flags & 4:
        (count,) = struct.unpack_from("<H", data, pos)
        pos += 2
        frame["metadata"] = []
        for _ in range(count):
            key, vlen = struct.unpack_from("<HH", data, pos)
            if key == kvlx.META_PAYLOAD_CRC and vlen == 4 and crc_at is None:
                crc_at = pos + 4  # checked below, left out of the metadata list
            else:
                frame["metadata"].append((key, data[pos + 4:pos + 4 + vlen]))
            pos += 4 + vlen
    if flags & 8:
        count = data[pos]
        frame["annotations"] = [struct.unpack_from("<BQB", data, pos + 1 + 10 * k) for k in range(count)]
        pos += 1 + 10 * count
    if flags & kvlx.FLAG_PAYLOAD_CRC:
        (stored,) = struct.unpack_from("<I", data, crc_at)
        assert stored == zlib.crc32(data[crc_at + 4:pos], zlib.crc32(data[36:crc_at]))
    marker, tcrc = struct.unpack_from("<HI", data, pos)
    assert (marker, tcrc) == (0xFFFF, zlib.crc32(data[:36]))
    assert pos + 6 == len(data)
    return frame


u8 = st.integers(0, 255)


@st.composite
def frames(draw):
    n = draw(st.sampled_from([0, 1, 7, 8, 9, 127, 128, 300]))
    style = draw(st.sampled_from(["random", "ones", "zeros"]))
    if style == "random":
        events = draw(st.lists(st.integers(0, 1), min_size=n, max_size=n))
    else:
        events = [1 if style == "ones" else 0] * n
    flags = draw(st.integers(0, 15))
    return dict(
        payload_crc=draw(st.booleans()),
        frame_id=draw(st.integers(0, 2**64 - 1)),
        round=draw(st.integers(0, 2**32 - 1)),
        timestamp_ns=draw(st.integers(0, 2**64 - 1)),
        qubit_count=draw(st.integers(0, 65535)),
        header_word=draw(st.integers(0, 2**32 - 1)),
        code_type=draw(u8),
        distance=draw(u8),
        detector_events=np.array(events, dtype=bool) if draw(st.booleans()) else events,
        meas_results=draw(st.lists(st.integers(-128, 127), min_size=n, max_size=n)),
        timing_offsets=draw(st.lists(st.integers(0, 65535), min_size=n, max_size=n)) if flags & 1 else None,
        ancilla_bits=draw(st.binary(min_size=(n + 7) // 8, max_size=(n + 7) // 8)) if flags & 2 else None,
        metadata=draw(st.lists(st.tuples(st.integers(0, 65535), st.binary(max_size=12)), max_size=4))
        if flags & 4 else None,
        annotations=draw(st.lists(st.tuples(u8, st.integers(0, 2**64 - 1), u8), max_size=4)) if flags & 8 else None,
    )


@settings(max_examples=150, deadline=None)
@given(frames())
def test_written_frames_read_back(frame):
    data = encode_frame(**frame)
    back = parse_frame(data)
    n = len(frame["meas_results"])
    for key in ("frame_id", "round", "timestamp_ns", "qubit_count", "header_word", "code_type", "distance"):
        assert back[key] == frame[key]
    assert back["ancilla_count"] == n
    assert back["events"] == [int(e) for e in frame["detector_events"]]
    assert back["meas"] == frame["meas_results"]
    expected_flags = sum(bit for bit, key in [(1, "timing_offsets"), (2, "ancilla_bits"), (4, "metadata"),
                                              (8, "annotations")] if frame[key] is not None)
    if frame["payload_crc"]:
        expected_flags |= kvlx.FLAG_PAYLOAD_CRC | kvlx.FLAG_METADATA
    assert back["flags"] == expected_flags
    assert back.get("timing") == frame["timing_offsets"]
    assert back.get("bits") == frame["ancilla_bits"]
    assert back.get("metadata") == (frame["metadata"] or [] if frame["payload_crc"] else frame["metadata"])
    assert back.get("annotations") == frame["annotations"]


def test_typed_metadata_and_observable_flips_convenience():
    back = parse_frame(encode_frame(
        frame_id=1,
        metadata={"metadata_text": "t\u00e9", "metadata_word_a": 5, "metadata_word_b": 6, "metadata_byte": 7},
        observable_flips=2**63 + 1,
    ))
    assert back["flags"] == kvlx.FLAG_METADATA | kvlx.FLAG_PAYLOAD_CRC
    assert back["metadata"] == [
        (1, "t\u00e9".encode()),
        (2, struct.pack("<I", 5)),
        (3, struct.pack("<I", 6)),
        (4, b"\x07"),
        (16, struct.pack("<Q", 2**63 + 1)),
    ]
    only_flips = parse_frame(encode_frame(frame_id=1, observable_flips=3))
    assert only_flips["metadata"] == [(16, struct.pack("<Q", 3))]


def test_explicit_flags_write_defaults_for_missing_sections():
    back = parse_frame(encode_frame(frame_id=0, detector_events=[0] * 9, flags=0xF))
    assert back["timing"] == [0] * 9
    assert back["bits"] == b"\x00\x00"
    assert back["metadata"] == []
    assert back["annotations"] == []


def test_ancilla_count_defaults():
    assert parse_frame(encode_frame(frame_id=0, meas_results=[1, 2, 3]))["ancilla_count"] == 3
    assert parse_frame(encode_frame(frame_id=0, detector_events=[1, 0]))["meas"] == [0, 0]
    empty = encode_frame(frame_id=0)
    assert len(empty) == 36 + 2 + (2 + 8) + 6  # the metadata holds only the payload CRC entry
    assert len(encode_frame(frame_id=0, payload_crc=False)) == 36 + 2 + 6


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(detector_events=[0, 1], meas_results=[1]), "meas_results has 1 entries"),
        (dict(ancilla_count=3, detector_events=[0, 1]), "detector_events has 2 entries"),
        (dict(detector_events=[0, 1], timing_offsets=[1]), "timing_offsets has 1 entries"),
        (dict(detector_events=[0] * 9, ancilla_bits=b"\x00"), "ancilla_bits has 1 bytes"),
        (dict(timing_offsets=[], flags=0), "flags 0x0000 leave out"),
        (dict(meas_results=[128]), "signed 8-bit"),
        (dict(detector_events=[0], timing_offsets=[70000]), "unsigned 16-bit"),
        (dict(metadata={"no_such_field": 1}), "unknown metadata field"),
        (dict(annotations=[(0, 0, 0)] * 256), "at most 255"),
    ],
)
def test_inconsistent_frames_are_refused(kwargs, message):
    with pytest.raises(ValueError, match=message):
        encode_frame(frame_id=0, **kwargs)


def test_broken_data_knobs():
    good = encode_frame(frame_id=7, detector_events=[1, 0, 1])
    assert encode_frame(frame_id=7, detector_events=[1, 0, 1], trailer=False) == good[:-6]
    bad_crc = encode_frame(frame_id=7, detector_events=[1, 0, 1], header_crc=0xDEADBEEF)
    assert bad_crc[:32] == good[:32] and bad_crc[32:36] == struct.pack("<I", 0xDEADBEEF)
    assert bad_crc[-4:] == struct.pack("<I", zlib.crc32(bad_crc[:36]))  # trailer covers the header as written
    marker = encode_frame(frame_id=7, detector_events=[1, 0, 1], trailer_marker=0xFFFE, trailer_crc=5)
    assert marker[-6:] == struct.pack("<HI", 0xFFFE, 5)
    loose = encode_frame(frame_id=7, ancilla_count=4, meas_results=[1], check_lengths=False)
    assert struct.unpack_from("<H", loose, 22)[0] == 4 and len(loose) == 36 + 2 + 1 + 1 + 10 + 6  # one quiet run of 4, one result


def test_writer_header_and_uuid_schema_id():
    sid = uuid.UUID("0f8e2a4c-1b3d-4e5f-8a9b-0c1d2e3f4a5b")
    buf = io.BytesIO()
    w = KvlxWriter(buf, schema_id=sid, file_word=9)
    assert buf.getvalue() == b"XLVK" + b"\x01\x00" + sid.bytes + b"\x09\x00\x00\x00"
    assert w.write_bytes(b"junk") == 4
    with pytest.raises(ValueError, match="16 bytes"):
        KvlxWriter(io.BytesIO(), schema_id=b"short")
    headless = io.BytesIO()
    KvlxWriter(headless, write_header=False).write_frame(frame_id=1)
    assert len(headless.getvalue()) == 54
