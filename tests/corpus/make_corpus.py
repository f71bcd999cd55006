"""Writes the compatibility corpus: KVLX files, graph images and pickles, with what they must give.

The corpus pins today's formats. Every file here was written once by this script and is read by
``tests/test_corpus.py``, which compares what the reader and the decoders show with the stored
expectations; the test never rewrites them. Run this script again only to add a case (a new
frame flag, metadata key, image version...), never to make an existing expectation agree with
changed behaviour: an old file must go on reading exactly so.

    PYTHONPATH=build/release/python:python python3 tests/corpus/make_corpus.py

Outputs, beside this script:
- ``kvlx/NAME.kvlx`` and ``kvlx.json``: for each file, what it covers and every frame (each field
  the Python API shows) and error (message text and ``skipped_bytes`` after it) that iterating a
  ``KelvaneStream`` over it yields; ``read_batch`` must show the same frames and errors.
- ``decode/*``: a Stim surface-code model and a hand-written model as graph images
  (``SpacetimeGraph.to_bytes``) and pickles (a model pickle holds its DEM text), with stored
  syndromes and the predictions every one of them must give (whole shots, single shots, and
  sliding windows where the model has detector times); a KVLX file of repetition-code shots with
  the predictions that streamed decoding (per shot, windowed, committed in overlapping windows)
  must give frame by frame.
"""

from __future__ import annotations

import io
import json
import pickle
import random
import struct
import sys
from pathlib import Path

import numpy as np
import stim

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import kelvane  # noqa: E402
from kelvane.kvlx import (  # noqa: E402
    FLAG_METADATA,
    FLAG_PAYLOAD_CRC,
    KvlxWriter,
    encode_file_header,
    encode_frame,
    frame_spans,
)
from test_corpus import STREAM_DECODE_MODES, stream_trace  # noqa: E402

SCHEMA = bytes(range(16))


def frames_bytes(frames, **header):
    return encode_file_header(**header) + b"".join(encode_frame(**f) for f in frames)


def plain(k, n=6, **kw):
    """Frame ``k`` of a simple run: id 10 + k, ``n`` ancillas, events and results from ``k``."""
    rng = random.Random(k)
    base = dict(frame_id=10 + k, round=k, timestamp_ns=5_000 + 100 * k, qubit_count=2 * n + 1, code_type=1,
                distance=3, detector_events=[int(rng.random() < 0.3) for _ in range(n)],
                meas_results=[rng.choice((-128, -1, 0, 1, 127)) for _ in range(n)], observable_flips=k % 4)
    base.update(kw)
    return base


def intact_cases():
    c = {}
    c["doc_example"] = ("the worked example of docs/kvlx-format.md, byte for byte", frames_bytes(
        [dict(frame_id=1, round=0, timestamp_ns=1000, detector_events=[0, 1, 1, 0], meas_results=[1, -1, -1, 1],
              qubit_count=9, code_type=1, distance=3, observable_flips=1)], schema_id=SCHEMA))
    c["sections"] = ("each optional section alone and all together, with and without the payload CRC; "
                     "undefined flag bits; the last frame without its trailer", frames_bytes([
        plain(0, payload_crc=False, observable_flips=None),                        # flags 0
        plain(1, payload_crc=False, observable_flips=None, timing_offsets=[0, 1, 9999, 10000, 7, 3]),
        plain(2, payload_crc=False, observable_flips=None, ancilla_bits=b"\xa5"),
        plain(3, payload_crc=False),                                               # metadata only
        plain(4, payload_crc=False, observable_flips=None, annotations=[(1, 2**64 - 1, 255), (0, 0, 0)]),
        plain(5, timing_offsets=[5] * 6, ancilla_bits=b"\x3f", annotations=[(7, 12345, 9)],
              metadata={"metadata_text": "all sections", "metadata_word_a": 7}),
        plain(6, observable_flips=None),                                           # payload CRC only
        plain(7, flags=0xFFE4),                                                    # undefined bits set
        plain(8, timing_offsets=[1] * 6, annotations=[], trailer=False),
    ], schema_id=SCHEMA, file_word=0xDEADBEEF))
    c["metadata"] = ("every metadata key; unknown keys, wrong lengths, repeats, invalid UTF-8, the "
                     "payload CRC entry first, ignored without flag bit 4, and repeated", frames_bytes([
        plain(0, metadata={"metadata_text": "héllo", "metadata_word_a": 1, "metadata_word_b": 2**32 - 1,
                           "metadata_byte": 255}, observable_flips=2**64 - 1),
        plain(1, metadata=[(1, b"\xff\xfe"), (99, b"unknown key"), (16, b"\x01\x00\x00\x00")], observable_flips=None),
        plain(2, metadata=[(16, struct.pack("<Q", 5)), (16, struct.pack("<Q", 6))], observable_flips=None),
        plain(3, metadata=[(16, struct.pack("<Q", 9)), (16, b"\x07")], observable_flips=None),
        plain(4, metadata=[(2, b"\x01\x02"), (3, b""), (4, b"\x01\x02")], observable_flips=0),
        plain(5, metadata=[(32, b"\xde\xad\xbe\xef")], payload_crc=False),          # not verified
        plain(6, metadata=[(32, b"\x00\x00\x00")]),                                 # skipped, wrong length
        plain(7, metadata=[(0, b""), (65535, b"x" * 3)], observable_flips=2**63),
    ]))
    # The payload CRC entry first, then another entry and annotations after it.
    first = bytearray(encode_frame(**plain(8, metadata=[(32, b"\0\0\0\0"), (2, struct.pack("<I", 77))],
                                           payload_crc=False, flags=FLAG_METADATA | FLAG_PAYLOAD_CRC | 0x8,
                                           annotations=[(3, 4, 5)])))
    c["metadata"] = (c["metadata"][0], c["metadata"][1] + _with_payload_crc(first, 32))
    c["events"] = ("run-length edge cases: zero-length and neighbouring equal runs, a trailing quiet run "
                   "left out, an empty encoding, runs of 127 and more, 0, 1 and 300 ancillas", frames_bytes([
        dict(frame_id=1, detector_events_rle=bytes([0x00, 0x02, 0x80, 0x81, 0x81, 0x01, 0x00]), ancilla_count=5),
        dict(frame_id=2, detector_events_rle=bytes([0x81]), ancilla_count=8),
        dict(frame_id=3, detector_events_rle=b"", ancilla_count=8),
        dict(frame_id=4, detector_events=[1] * 8),
        dict(frame_id=5, detector_events=[0] * 127 + [1] * 128 + [0, 1] * 20 + [1] * 5),
        dict(frame_id=6, detector_events=[]),
        dict(frame_id=7, detector_events=[1], meas_results=[-128]),
        dict(frame_id=8, detector_events_rle=bytes([0xFF, 0x80 | 73]), ancilla_count=200),
    ]))
    c["header_fields"] = ("every code type (and raw values), extreme header fields, an ancilla count that "
                          "changes between frames, frame ids with gaps up to 2**64 - 1", frames_bytes(
        [plain(k, n=4, code_type=ct, distance=k * 17 % 256, header_word=k * 0x01010101, qubit_count=k * 4000)
         for k, ct in enumerate([0, 1, 2, 3, 4, 5, 6, 7, 8, 255, 42, 9])]
        + [plain(20, n=9, round=2**32 - 1, timestamp_ns=2**64 - 1, qubit_count=65535),
           plain(21, n=3, frame_id=2**63), plain(22, n=3, frame_id=2**64 - 1)]))
    return c


def _with_payload_crc(frame: bytearray, key: int) -> bytes:
    """Fills the payload CRC entry (key ``key``, first in the metadata) of an encoded frame."""
    import zlib

    at = bytes(frame).index(struct.pack("<HH", key, 4), 36) + 4
    crc = zlib.crc32(frame[at + 4 : -6], zlib.crc32(frame[36:at]))
    frame[at : at + 4] = struct.pack("<I", crc)
    return bytes(frame)


def damaged_cases():
    c = {}
    good = [encode_frame(**plain(k)) for k in range(4)]
    head = encode_file_header()

    def file_of(*parts):
        return head + b"".join(parts)

    def flipped(frame, at, mask=1):
        b = bytearray(frame)
        b[at] ^= mask
        return bytes(b)

    c["header_crc"] = ("a header CRC mismatch between good frames", file_of(
        good[0], encode_frame(**plain(1, header_crc=0x12345678)), good[2], good[3]))
    c["trailer_crc"] = ("a trailer CRC mismatch", file_of(good[0], encode_frame(**plain(1, trailer_crc=0)), good[2]))
    c["trailer_marker"] = ("a trailer marker that is not 0xFFFF", file_of(
        good[0], encode_frame(**plain(1, trailer_marker=0xFFFE)), good[2]))
    c["payload_crc"] = ("payload CRC mismatches: an event byte, a result byte and the stored CRC flipped", file_of(
        good[0], flipped(good[1], 38, 0x01), flipped(good[2], 36 + 2 + 3, 0x10), flipped(good[3], len(good[3]) - 8)
        , encode_frame(**plain(5))))
    c["payload_crc_missing"] = ("flag bit 4 set with no 4-byte key-32 entry", file_of(
        good[0], encode_frame(**plain(1, payload_crc=False, flags=FLAG_METADATA | FLAG_PAYLOAD_CRC)),
        encode_frame(**plain(2, payload_crc=False, flags=FLAG_METADATA | FLAG_PAYLOAD_CRC, metadata=[(32, b"\0\0")])),
        good[3]))
    c["frame_ids"] = ("a repeated frame id and ids going backwards", file_of(
        good[0], good[1], good[1], good[0], good[2], encode_frame(**plain(0, frame_id=3)), good[3]))
    c["long_events"] = ("an event encoding longer than the ancilla count", file_of(
        good[0], encode_frame(frame_id=11, detector_events_rle=bytes([0x83, 0x03]), ancilla_count=4,
                              payload_crc=False, check_lengths=False), good[2],
        encode_frame(frame_id=13, detector_events_rle=bytes([0x7F, 0x7F, 0x82]), ancilla_count=255), good[3]))
    c["timing"] = ("a timing offset over 10000: a validation error that consumes the frame", file_of(
        good[0], encode_frame(**plain(1, timing_offsets=[0, 0, 10001, 0, 0, 0])),
        encode_frame(**plain(2, timing_offsets=[65535] * 6, payload_crc=False)), good[3]))
    c["garbage"] = ("garbage before the first frame, between frames and at the end", file_of(
        b"\x00" * 7, good[0], b"\xff" * 40 + b"XLVK", good[1], bytes(range(200)), good[2], b"\x01" * 3))
    c["truncated_payload"] = ("data ending inside a frame's payload", file_of(good[0], good[1], good[2][:50]))
    c["truncated_header"] = ("data ending inside a frame header", file_of(good[0], good[1], good[2][:20]))
    c["truncated_trailer"] = ("data ending inside a trailer", file_of(good[0], good[1], good[2][:-3]))
    c["missing_trailer"] = ("a frame without its trailer followed by another frame", file_of(
        good[0], encode_frame(**plain(1, trailer=False)), good[2], good[3]))
    c["header_inside_incomplete"] = ("an incomplete frame with a verifying frame header inside it: damaged, "
                                     "skipped", file_of(
        good[0], encode_frame(frame_id=11, detector_events=[0] * 4, ancilla_count=3000, payload_crc=False,
                              check_lengths=False, trailer=False), good[2], good[3]))
    c["counts_overrun"] = ("metadata and annotation counts larger than the entries written", file_of(
        good[0], encode_frame(**plain(1, metadata_count=9)), good[2],
        encode_frame(**plain(3, annotations=[(1, 1, 1)], annotation_count=4, payload_crc=False)),
        encode_frame(**plain(4))))
    c["bad_magic"] = ("a wrong magic: the stream is not KVLX", encode_file_header(magic=0x4B564C59) + good[0])
    c["bad_version"] = ("version 2: refused", encode_file_header(version=2) + good[0])
    c["short"] = ("fewer than 26 bytes: an empty stream", head[:10])
    c["header_only"] = ("a file header and nothing else", head)

    frames = []
    for k in range(60):
        kw = plain(k, n=20 if k < 45 else 7, timing_offsets=[k] * (20 if k < 45 else 7) if k % 3 == 1 else None,
                   payload_crc=k % 5 != 4, annotations=[(k, k, k)] if k % 4 == 2 else None)
        frames.append({key: v for key, v in kw.items() if v is not None})
    data = bytearray(frames_bytes(frames))
    rng = random.Random(17)
    for _ in range(10):
        data[rng.randrange(26, len(data))] ^= 1 << rng.randrange(8)
    c["bit_flips"] = ("60 frames of mixed sections and two ancilla counts with 10 random bit flips", bytes(data))
    return c


def dump(cases: dict) -> str:
    """JSON with one trace item a line."""
    def value(v):
        if isinstance(v, dict) and "trace" in v:
            return "{" + f'"about": {json.dumps(v["about"])}, "trace": ' + value(v["trace"]) + "}"
        return "[\n" + ",\n".join(json.dumps(i) for i in v) + "\n]"
    return "{\n" + ",\n".join(f"{json.dumps(k)}: {value(v)}" for k, v in cases.items()) + "\n}\n"


def write_kvlx():
    out, expectations = HERE / "kvlx", {}
    out.mkdir(exist_ok=True)
    for name, (about, data) in {**intact_cases(), **damaged_cases()}.items():
        path = out / f"{name}.kvlx"
        path.write_bytes(data)
        expectations[name] = {"about": about, "trace": stream_trace(path)}
    (HERE / "kvlx.json").write_text(dump(expectations))


HAND_DEM = """\
# Weights with ties, a probability above and one at 0.5, a merged repeated edge, a decomposed
# hyperedge, two observables on one edge, a boundary edge and a detector with no error.
error(0.1) D0 L0
error(0.1) D0 D1
error(0.1) D1 D2 L1
error(0.7) D2 D3
error(0.5) D3 D4
error(0.05) D4 D5
error(0.05) D4 D5
error(0.02) D5 D6 ^ D6 L0 L1
error(0.2) D6
error(0.01) D1 D5
detector(3, 0) D7
logical_observable L2
"""


def surface_dem():
    circuit = stim.Circuit.generated("surface_code:rotated_memory_x", distance=3, rounds=2,
                                     after_clifford_depolarization=0.01, before_measure_flip_probability=0.01,
                                     after_reset_flip_probability=0.01)
    return circuit, circuit.detector_error_model(decompose_errors=True)


def write_models():
    out = HERE / "decode"
    out.mkdir(exist_ok=True)
    circuit, dem = surface_dem()
    dets = circuit.compile_detector_sampler(seed=3).sample(300)
    hand_shots = ((np.arange(256)[:, None] >> np.arange(8)) & 1).astype(bool)  # every syndrome
    for name, text, shots in [("surface_d3", str(dem), dets), ("hand", HAND_DEM, hand_shots)]:
        model = kelvane.DetectorErrorModel.parse(text)
        graph = model.to_graph()
        (out / f"{name}.graph").write_bytes(graph.to_bytes())
        (out / f"{name}.dem.pickle").write_bytes(pickle.dumps(model, protocol=2))
        (out / f"{name}.graph.pickle").write_bytes(pickle.dumps(graph, protocol=pickle.HIGHEST_PROTOCOL))
        predictions, valid = graph.decode_batch(shots, return_valid=True)
        singles = [graph.decode(s) for s in shots[:20]]
        # Sliding windows need detector times: the Stim model has them, the hand model does not.
        sliding = {"sliding": graph.decode_sliding(shots, commit=1, buffer=1)} if name == "surface_d3" else {}
        np.savez_compressed(
            out / f"{name}.npz", shots=np.packbits(shots, axis=1, bitorder="little"), num_detectors=shots.shape[1],
            predictions=predictions, valid=valid,
            single_flips=np.array([r.observable_flips for r in singles], dtype=np.uint64),
            single_confidence=np.array([r.confidence for r in singles]),
            counts=np.array([model.detector_count, model.observable_count, model.error_count,
                             graph.node_count, graph.edge_count, graph.boundary_node]), **sliding)

    rep = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=3, after_clifford_depolarization=0.05,
                                 before_measure_flip_probability=0.05)
    rep_dem = rep.detector_error_model(decompose_errors=True)
    (out / "repetition_d3.dem").write_text(str(rep_dem))
    layout = kelvane.layout_from_stim(rep)
    np.save(out / "repetition_d3.layout.npy", layout)
    d, o = rep.compile_detector_sampler(seed=4).sample(30, separate_observables=True)
    buf = io.BytesIO()
    KvlxWriter(buf).write_shots(d, o, layout=layout, code_type=4, distance=3)
    data = buf.getvalue()
    spans = frame_spans(data)
    rounds = len(layout)
    gap, (lo, hi) = spans[15 * rounds][0], spans[20 * rounds + 1]  # shot 20 loses its second frame
    path = out / "repetition_d3.kvlx"
    path.write_bytes(data[:gap] + b"\0" * 5 + data[gap:lo] + data[hi:])
    expectations = {}
    for mode, kwargs in STREAM_DECODE_MODES.items():
        expectations[mode] = stream_trace(path, decoder=rep_dem, layout=layout, **kwargs)
    (out / "repetition_d3.json").write_text(dump(expectations))


if __name__ == "__main__":
    write_kvlx()
    write_models()
