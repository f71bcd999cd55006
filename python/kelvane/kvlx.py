"""Writing KVLX syndrome streams from Python.

KVLX is the byte format that ``_kelvane`` streams read: a 26-byte file header followed by frames.
Each frame is a 36-byte header (with its own CRC-32), the run-length-encoded detector events,
one signed measurement result per ancilla, optional sections selected by the header's flag bits
(timing offsets, ancilla bits, metadata, annotations) and a 6-byte trailer. All integers are
little-endian.

The bytes are laid out by the extension's encoder, frame walker and description encoding, so
that every wire format is written down once, in C++; this module checks and defaults the
arguments::

    from kelvane.kvlx import KvlxWriter

    with open("run.kvlx", "wb") as f:
        w = KvlxWriter(f, schema_id=bytes(16))
        w.write_frame(frame_id=0, round=0, timestamp_ns=1000,
                      detector_events=[0, 1, 1, 0], meas_results=[1, -1, -1, 1],
                      qubit_count=9, code_type=1, distance=3, observable_flips=0b1)

Defaults produce well-formed data. Keyword knobs produce deliberately damaged data for tests:
``magic``/``version`` of the file header, ``header_crc``, ``trailer=False``, ``trailer_marker``,
``trailer_crc``, ``metadata_count``, ``annotation_count``, ``detector_events_rle`` and
``check_lengths=False``. A truncated stream is any prefix of the written bytes.
"""

from __future__ import annotations

import array
import builtins
import operator
import os
import struct
import zlib
from typing import Any, Iterable, Mapping, Sequence

import _kelvane

__all__ = [
    "KVLX_MAGIC",
    "KVLX_VERSION",
    "FILE_HEADER_SIZE",
    "FRAME_HEADER_SIZE",
    "TRAILER_SIZE",
    "TRAILER_MARKER",
    "FLAG_TIMING",
    "FLAG_ANCILLA_BITS",
    "FLAG_METADATA",
    "FLAG_ANNOTATIONS",
    "FLAG_PAYLOAD_CRC",
    "META_TEXT",
    "META_WORD_A",
    "META_WORD_B",
    "META_BYTE",
    "META_OBSERVABLE_FLIPS",
    "META_PAYLOAD_CRC",
    "META_LAYOUT",
    "META_DEM",
    "META_DESCRIPTION_HASH",
    "META_NUM_OBSERVABLES",
    "read_description",
    "stored_num_observables",
    "description_entries",
    "with_description",
    "encode_rle_events",
    "encode_file_header",
    "encode_frame_header",
    "encode_frame",
    "KvlxWriter",
    "frame_offsets",
    "frame_spans",
]

KVLX_MAGIC = 0x4B564C58  # the bytes b"XLVK"
KVLX_VERSION = 1
FILE_HEADER_SIZE = 26
FRAME_HEADER_SIZE = 36
TRAILER_SIZE = 6
TRAILER_MARKER = 0xFFFF

FLAG_TIMING = 0x0001
FLAG_ANCILLA_BITS = 0x0002
FLAG_METADATA = 0x0004
FLAG_ANNOTATIONS = 0x0008
FLAG_PAYLOAD_CRC = 0x0010  # the metadata holds a META_PAYLOAD_CRC entry that readers verify

META_TEXT = 1  # UTF-8 text, any length
META_WORD_A = 2  # u32
META_WORD_B = 3  # u32
META_BYTE = 4  # u8
META_OBSERVABLE_FLIPS = 16  # u64 mask, bit k = observable k
# Observables 64 and up of a model of more than 64: u16 observable count N, then ceil((N - 64) / 8)
# bytes, bit k % 8 of byte k / 8 = observable 64 + k (key 16 keeps observables 0 to 63).
META_HIGH_OBSERVABLE_FLIPS = 17
MAX_OBSERVABLES = 256
META_PAYLOAD_CRC = 32  # u32 CRC-32 of the payload (header to trailer) without these 4 value bytes
# The stream's description, on its first frame: the frame layout and the zlib-compressed DEM
# text, each cut into entries of at most DESCRIPTION_CHUNK bytes whose values, in order, make up
# the whole; and on every round-0 frame the 8-byte hash of the two (DESCRIPTION_HASH below).
META_LAYOUT = 64  # chunks of: u32 rounds, u32 ancillas, rounds x ancillas i32 detector ids (-1: none)
META_DEM = 65  # chunks of the zlib-compressed UTF-8 DEM text
META_DESCRIPTION_HASH = 66  # u32 CRC-32 of the layout bytes, u32 CRC-32 of the compressed DEM bytes
# On the first frame, beside the description: u16 how many observables the stream's shots carry
# (their flips ride on each shot's last frame), so that a Stim copy of the stream knows its width.
META_NUM_OBSERVABLES = 67
DESCRIPTION_CHUNK = 60 * 1024

# Metadata field names accepted in ``metadata`` and the wire key and struct format of each.
_META_FIELDS = {
    "metadata_text": (META_TEXT, None),
    "metadata_word_a": (META_WORD_A, "<I"),
    "metadata_word_b": (META_WORD_B, "<I"),
    "metadata_byte": (META_BYTE, "<B"),
    "observable_flips": (META_OBSERVABLE_FLIPS, "<Q"),
}

_FRAME_HEADER = struct.Struct("<QIQHHIBBH")  # bytes 0..31; the CRC follows
_FRAME_HEADER_FIELDS = ("frame_id", "round", "timestamp_ns", "qubit_count", "ancilla_count", "header_word",
                        "code_type", "distance", "flags")
_STRUCT_BITS = {"B": 8, "H": 16, "I": 32, "Q": 64}
# The frame header's fields that write_shots sets on every frame, with their unsigned widths.
_SHOT_HEADER_BITS = {"timestamp_ns": 64, "qubit_count": 16, "header_word": 32, "code_type": 8, "distance": 8}


def _uint(name: str, value: Any, bits: int) -> int:
    """``value`` as an int in 0..2**bits - 1: an int or NumPy integer (never a float or a string),
    refused with TypeError or OverflowError naming the field rather than truncated."""
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__} {value!r}") from None
    if v < 0 or v >> bits:
        raise OverflowError(f"{name} must be in 0..{(1 << bits) - 1}, got {v}")
    return v


def _pack(fmt: str, names: Sequence[str], *values: Any) -> bytes:
    """``struct.pack`` of unsigned fields; when it refuses one, :func:`_uint` names it."""
    try:
        return struct.pack(fmt, *values)
    except struct.error:
        for name, value, code in zip(names, values, fmt[1:]):
            _uint(name, value, _STRUCT_BITS[code])
        raise


def _bits01(events: Iterable[Any], what: str) -> list[int]:
    """The entries of a 0/1 sequence (ints, bools or a NumPy array) as a list of 0 and 1."""
    if hasattr(events, "tolist") and hasattr(events, "dtype"):
        events = events.tolist()  # NumPy array: plain Python bools/ints, much faster to walk
    out = []
    for v in events:
        if v is True or v is False or v == 0 or v == 1:
            out.append(1 if v else 0)
        else:
            raise ValueError(f"{what} must contain only 0 and 1, got {v!r}")
    return out


def encode_rle_events(events: Iterable[Any]) -> bytes:
    """Run-length encoding of 0/1 detector events.

    One byte per run: bit 7 the value (1 = fired), bits 0-6 the length. Maximal runs of equal
    values are written; a run longer than 127 is split into pieces of 127 and a remainder.
    An empty sequence encodes to ``b""``.
    """
    return _kelvane._kvlx_encode_rle(_event_bytes(events))


def _event_bytes(events: Iterable[Any]) -> bytes:
    """The events as one byte each, 0 or 1; anything else is refused, naming the first bad value."""
    if hasattr(events, "dtype") and hasattr(events, "ravel"):
        # NumPy array: check and convert without a Python loop over the entries.
        import numpy as np

        arr = np.asarray(events).ravel()
        if arr.dtype != np.bool_:
            bad = arr[(arr != 0) & (arr != 1)]
            if bad.size:
                raise ValueError(f"detector_events must contain only 0 and 1, got {bad[0]!r}")
        return arr.astype(np.uint8).tobytes()
    return bytes(_bits01(events, "detector_events"))


def _schema_id_bytes(schema_id: Any) -> bytes:
    if hasattr(schema_id, "bytes") and not isinstance(schema_id, (bytes, bytearray)):
        schema_id = schema_id.bytes  # uuid.UUID
    schema_id = bytes(schema_id)
    if len(schema_id) != 16:
        raise ValueError(f"schema_id must be 16 bytes, got {len(schema_id)}")
    return schema_id


def encode_file_header(
    schema_id: Any = bytes(16),
    file_word: int = 0,
    *,
    magic: int = KVLX_MAGIC,
    version: int = KVLX_VERSION,
) -> bytes:
    """The 26-byte file header: magic, version, 16-byte schema id (bytes or uuid.UUID), file word."""
    magic, version = _uint("magic", magic, 32), _uint("version", version, 16)
    schema = _schema_id_bytes(schema_id)
    return _kelvane._kvlx_encode_file_header(magic, version, schema, _uint("file_word", file_word, 32))


def encode_frame_header(
    *,
    frame_id: int,
    round: int = 0,
    timestamp_ns: int = 0,
    qubit_count: int = 0,
    ancilla_count: int = 0,
    header_word: int = 0,
    code_type: int = 0,
    distance: int = 0,
    flags: int = 0,
    header_crc: int | None = None,
) -> bytes:
    """The 36-byte frame header; ``header_crc`` defaults to the CRC-32 of bytes 0-31."""
    header = _header_fields(frame_id, round, timestamp_ns, qubit_count, ancilla_count, header_word, code_type,
                            distance, flags)
    return _kelvane._kvlx_encode_frame(header, _optional_uint("header_crc", header_crc, 32), b"", b"", None, None,
                                       [], None, [], None, False, 0, None, False)[:FRAME_HEADER_SIZE]


def _header_fields(*values: Any) -> tuple[int, ...]:
    """The frame header's fields in wire order, each checked against its width."""
    return tuple(_uint(name, value, _STRUCT_BITS[code])
                 for name, value, code in zip(_FRAME_HEADER_FIELDS, values, _FRAME_HEADER.format[1:]))


def _optional_uint(name: str, value: Any, bits: int) -> int | None:
    return None if value is None else _uint(name, value, bits)


def _metadata_entries(metadata: Any) -> list[tuple[int, bytes]]:
    """(key, value bytes) pairs from a mapping or a sequence of pairs.

    A key is a field name ("metadata_text", "metadata_word_a", "metadata_word_b",
    "metadata_byte", "observable_flips") with a typed value, or an int wire key with raw bytes
    (unknown keys and any lengths are written as given).
    """
    items = metadata.items() if isinstance(metadata, Mapping) else metadata
    entries = []
    for key, value in items:
        if isinstance(key, str):
            if key not in _META_FIELDS:
                raise ValueError(f"unknown metadata field {key!r}; expected one of {', '.join(_META_FIELDS)}")
            wire_key, fmt = _META_FIELDS[key]
            if fmt is None:
                raw = value.encode("utf-8") if isinstance(value, str) else bytes(value)
            else:
                raw = _pack(fmt, (key,), value)
            entries.append((wire_key, raw))
        else:
            if isinstance(value, str):
                value = value.encode("utf-8")
            entries.append((_uint("metadata key", key, 16), bytes(value)))
    return entries


def _annotation_tuple(a: Any) -> tuple[int, int, int]:
    """(kind, value, aux) from a tuple, a mapping or an object with those attributes."""
    if isinstance(a, Mapping):
        return a["kind"], a["value"], a.get("aux", 0)
    if hasattr(a, "kind") and hasattr(a, "value"):
        return a.kind, a.value, getattr(a, "aux", 0)
    kind, value, aux = a
    return kind, value, aux


def _signed_bytes(values: Any) -> bytes:
    if isinstance(values, (bytes, bytearray, memoryview)):
        return bytes(values)
    if hasattr(values, "tolist") and hasattr(values, "dtype"):
        values = values.tolist()
    try:
        return struct.pack(f"<{len(values)}b", *values)
    except struct.error as e:
        raise ValueError(f"meas_results must be signed 8-bit values (-128..127): {e}") from None


def encode_frame(
    *,
    frame_id: int,
    round: int = 0,
    timestamp_ns: int = 0,
    detector_events: Sequence[Any] | None = None,
    meas_results: Sequence[int] | bytes | None = None,
    qubit_count: int = 0,
    ancilla_count: int | None = None,
    header_word: int = 0,
    code_type: int = 0,
    distance: int = 0,
    flags: int | None = None,
    timing_offsets: Sequence[int] | None = None,
    ancilla_bits: bytes | None = None,
    metadata: Mapping[Any, Any] | Sequence[tuple[Any, Any]] | None = None,
    observable_flips: int | None = None,
    annotations: Iterable[Any] | None = None,
    detector_events_rle: bytes | None = None,
    header_crc: int | None = None,
    metadata_count: int | None = None,
    annotation_count: int | None = None,
    trailer: bool = True,
    trailer_marker: int = TRAILER_MARKER,
    trailer_crc: int | None = None,
    check_lengths: bool = True,
    payload_crc: bool = True,
) -> bytes:
    """One complete frame as bytes.

    ``ancilla_count`` defaults to the length of ``detector_events``, else of ``meas_results``,
    else 0. ``detector_events`` (0/1 values or a NumPy bool array) defaults to all quiet and is
    run-length encoded; ``detector_events_rle`` writes an encoding verbatim instead.
    ``meas_results`` (signed 8-bit) defaults to zeros.

    ``flags`` defaults to the sections given: timing offsets (bit 0), ancilla bits (bit 1,
    ceil(ancilla_count / 8) packed bytes), metadata (bit 2, from ``metadata`` and/or
    ``observable_flips``), annotations (bit 3, ``(kind, value, aux)`` entries). With explicit
    ``flags`` every flagged section is written (zeros or empty when not given) and unflagged ones
    are left out. ``observable_flips`` adds a key-16 entry after the ``metadata`` entries.

    ``payload_crc`` (the default) sets flag bits 4 and 2 and appends a key-32 entry holding the
    CRC-32 of the payload (every byte between header and trailer except the entry's 4 value
    bytes), which readers verify.

    With ``check_lengths`` (the default) every section must match ``ancilla_count`` and no
    section may be given that the flags leave out; ``check_lengths=False`` writes whatever it is
    given, for damaged test data.
    """
    if ancilla_count is None:
        if detector_events is not None:
            ancilla_count = len(detector_events)
        elif meas_results is not None:
            ancilla_count = len(meas_results)
        else:
            ancilla_count = 0
    n = ancilla_count
    bits_len = (n + 7) // 8

    entries: list[tuple[int, bytes]] | None = None
    if metadata is not None or observable_flips is not None:
        entries = _metadata_entries(metadata) if metadata is not None else []
        if observable_flips is not None:
            entries.append((META_OBSERVABLE_FLIPS, _pack("<Q", ("observable_flips",), observable_flips)))
    notes = [_annotation_tuple(a) for a in annotations] if annotations is not None else None

    given = (
        (FLAG_TIMING if timing_offsets is not None else 0)
        | (FLAG_ANCILLA_BITS if ancilla_bits is not None else 0)
        | (FLAG_METADATA if entries is not None else 0)
        | (FLAG_ANNOTATIONS if notes is not None else 0)
    )
    if flags is None:
        flags = given
    elif check_lengths and given & ~flags:
        raise ValueError(f"sections given that flags 0x{flags:04x} leave out (flag bits 0x{given & ~flags:04x})")
    if payload_crc:
        if not flags & FLAG_METADATA:
            entries = None  # only the payload CRC entry goes into the metadata the flags add
        flags |= FLAG_PAYLOAD_CRC | FLAG_METADATA

    if detector_events_rle is not None:
        rle = bytes(detector_events_rle)
    else:
        events = detector_events if detector_events is not None else [0] * n
        if check_lengths and len(events) != n:
            raise ValueError(f"detector_events has {len(events)} entries, ancilla_count is {n}")
        rle = encode_rle_events(events)
    if len(rle) > 0xFFFF:
        raise ValueError(f"the detector event encoding is {len(rle)} bytes, more than 65535")

    meas = _signed_bytes(meas_results) if meas_results is not None else bytes(n)
    if check_lengths and len(meas) != n:
        raise ValueError(f"meas_results has {len(meas)} entries, ancilla_count is {n}")

    header = _header_fields(frame_id, round, timestamp_ns, qubit_count, n, header_word, code_type, distance, flags)
    offsets = None
    if flags & FLAG_TIMING:
        offsets = list(timing_offsets.tolist() if hasattr(timing_offsets, "tolist") else timing_offsets) \
            if timing_offsets is not None else [0] * n
        if check_lengths and len(offsets) != n:
            raise ValueError(f"timing_offsets has {len(offsets)} entries, ancilla_count is {n}")
        for t in offsets:
            try:
                ok = 0 <= operator.index(t) <= 0xFFFF
            except TypeError:
                ok = False
            if not ok:
                raise ValueError(f"timing_offsets must be unsigned 16-bit values, got {t!r}")
    packed = None
    if flags & FLAG_ANCILLA_BITS:
        packed = bytes(ancilla_bits) if ancilla_bits is not None else bytes(bits_len)
        if check_lengths and len(packed) != bits_len:
            raise ValueError(f"ancilla_bits has {len(packed)} bytes, ancilla_count {n} needs {bits_len}")
    entries = entries if entries is not None and flags & FLAG_METADATA else []
    if flags & FLAG_METADATA:
        for key, value in entries:
            if len(value) > 0xFFFF:
                raise ValueError(f"metadata value for key {key} is {len(value)} bytes, more than 65535")
        count = len(entries) + (1 if payload_crc else 0)
        metadata_count = _uint("metadata_count", count if metadata_count is None else metadata_count, 16)
    notes = notes if notes is not None and flags & FLAG_ANNOTATIONS else []
    if flags & FLAG_ANNOTATIONS:
        if annotation_count is None and len(notes) > 0xFF:
            raise ValueError(f"{len(notes)} annotations, at most 255 fit a frame")
        annotation_count = _uint("annotation_count", len(notes) if annotation_count is None else annotation_count, 8)
        notes = [(_uint("annotation kind", kind, 8), _uint("annotation value", value, 64), _uint("annotation aux", aux, 8))
                 for kind, value, aux in notes]
    return _kelvane._kvlx_encode_frame(
        header, _optional_uint("header_crc", header_crc, 32), rle, meas, offsets, packed, entries,
        metadata_count if flags & FLAG_METADATA else None, notes,
        annotation_count if flags & FLAG_ANNOTATIONS else None, trailer, _uint("trailer_marker", trailer_marker, 16),
        _optional_uint("trailer_crc", trailer_crc, 32), payload_crc)


def frame_spans(data: bytes, offset: int = FILE_HEADER_SIZE) -> list[tuple[int, int]]:
    """(start, end) byte offsets of the frames in ``data`` from ``offset`` on, found from the frame
    headers' lengths and flags without checking CRCs. A trailing partial frame is left out."""
    starts = frame_offsets(data, offset)
    return list(zip(starts[:-1], starts[1:]))


def frame_offsets(data: bytes, offset: int = FILE_HEADER_SIZE) -> array.array:
    """The frames' start offsets in ``data`` from ``offset`` on, then the end of the last whole
    frame (frame k spans ``[starts[k], starts[k + 1])``), as frame_spans finds them: 8 bytes a
    frame instead of a tuple's hundred, for replaying files of millions of frames."""
    starts = array.array("q")
    starts.frombytes(_kelvane._kvlx_frame_offsets(data, operator.index(offset)))
    return starts


def _frame_sections(frame: bytes) -> dict[str, Any]:
    """The fields and sections of one whole frame (header to trailer), as encode_frame takes them."""
    return _kelvane._kvlx_frame_sections(frame)


_DESCRIPTION_KEYS = (META_LAYOUT, META_DEM, META_DESCRIPTION_HASH, META_NUM_OBSERVABLES)


def description_entries(frame: bytes) -> list[tuple[int, bytes]]:
    """The description entries (keys 64 to 67, in order) of one whole frame: a stream's first
    frame carries its description in them. Empty when the frame carries no layout or model."""
    entries = [(k, v) for k, v in _frame_sections(frame)["metadata"] if k in _DESCRIPTION_KEYS]
    return entries if any(k != META_DESCRIPTION_HASH for k, _ in entries) else []


def with_description(frame: bytes, entries: Sequence[tuple[int, bytes]]) -> bytes:
    """One whole frame re-encoded to carry the description `entries` (from `description_entries`)
    in place of any it carried: its fields, sections and other metadata as they were, its
    header CRC, payload CRC (which it now has) and trailer computed afresh. ``kelvane serve
    --live`` sends it so to a client that joins part-way."""
    fields = _frame_sections(frame)
    fields["metadata"] = [(k, v) for k, v in fields["metadata"]
                          if k not in _DESCRIPTION_KEYS and k != META_PAYLOAD_CRC] + list(entries)
    fields["flags"] = (fields["flags"] | FLAG_METADATA) & ~FLAG_PAYLOAD_CRC
    return encode_frame(**fields)


def _layout_bytes(layout: Any) -> bytes:
    """The layout's bytes as the description stores them (its key-64 pieces joined)."""
    return b"".join(v for k, v in _description_entries(layout, None)[0] if k == META_LAYOUT)


def _description_hash(layout_bytes: bytes, dem_bytes: bytes) -> bytes:
    """The key-66 value over a description's layout and model bytes."""
    return _kelvane._kvlx_description_hash(layout_bytes, dem_bytes)


def _description_entries(layout: Any, dem: Any) -> tuple[list[tuple[int, bytes]], bytes]:
    """The first frame's description entries and the hash the round-0 frames carry."""
    import numpy as np

    rounds = ancillas = 0
    cells = None
    if layout is not None:
        lay = np.asarray(layout)
        if lay.ndim != 2 or not np.issubdtype(lay.dtype, np.integer):
            raise ValueError(f"layout must be a rounds x ancillas integer array, got {lay.dtype} {lay.shape}")
        rounds, ancillas = lay.shape
        cells = np.ascontiguousarray(lay, dtype="<i4")
    return _kelvane._kvlx_description(rounds, ancillas, cells, None if dem is None else str(dem))


def _file_header_fault(head: bytes) -> str | None:
    """Why the first bytes of a stream are no KVLX file header, in the reader's own words, or None
    when they are one. Fewer bytes than a header make an empty stream, no fault."""
    if len(head) < FILE_HEADER_SIZE:
        return None
    fault: str | None = _kelvane._kvlx_file_header_fault(head)
    return fault


def _first_frame_metadata(path: str | os.PathLike[str]) -> tuple[int, list[tuple[int, bytes]]] | None:
    """The first frame's ancilla count and metadata entries, or None when the file has no
    readable first frame (not a KVLX file, too short, a damaged header)."""
    with builtins.open(path, "rb") as f:
        data = f.read(FILE_HEADER_SIZE + 4096)
        if len(data) < FILE_HEADER_SIZE + FRAME_HEADER_SIZE or struct.unpack_from("<I", data)[0] != KVLX_MAGIC:
            return None
        header = data[FILE_HEADER_SIZE : FILE_HEADER_SIZE + FRAME_HEADER_SIZE]
        if zlib.crc32(header[:32]) != struct.unpack_from("<I", header, 32)[0]:
            return None
        # Read on until the first frame is whole (the walker finds its end), or the file ends.
        while len(ends := frame_offsets(data)) < 2:
            more = f.read(len(data))
            if not more:
                return None
            data += more
    fields = _frame_sections(data[ends[0] : ends[1]])
    return fields["ancilla_count"], fields["metadata"]


def stored_num_observables(path: str | os.PathLike[str]) -> int | None:
    """How many observables the shots of a KVLX file carry, as its first frame states it (key
    ``META_NUM_OBSERVABLES``), or None when it does not say (or is not a readable KVLX file)."""
    first = _first_frame_metadata(path)
    values = [v for k, v in (first[1] if first else []) if k == META_NUM_OBSERVABLES and len(v) == 2]
    if not values:
        return None
    count = struct.unpack("<H", values[-1])[0]
    return count if count <= MAX_OBSERVABLES else None


def read_description(source: Any, *, damaged: str = "raise") -> Any:
    """The description a KVLX stream carries (``KelvaneStream.description``: ``layout``,
    ``dem_text``, ``hash``), or None when it carries none or cannot be read as KVLX. `source` is
    a path, a "tcp://host:port" address or an open stream (before its first frame,
    this waits for that frame, which stays to be read; past the stream's timeout, its
    TimeoutError propagates: a description not there yet is not one missing). A damaged
    description (its pieces do not match their hash) raises ValueError, or with
    ``damaged="warn"`` gives a RuntimeWarning and None."""
    from _kelvane import KelvaneStream

    try:
        if not isinstance(source, (str, os.PathLike)):  # a stream, or a wrapper of one
            return source.description
        with KelvaneStream(source) as stream:
            return stream.description
    except TimeoutError:
        raise
    except OSError:
        return None
    except ValueError as e:
        if damaged != "warn":
            raise
        import warnings

        warnings.warn(f"{e}; they are not used", RuntimeWarning, stacklevel=2)
        return None


class KvlxWriter:
    """Writes a KVLX stream to a path or to a binary file object (anything with ``write(bytes)``).

    Given a path (``str`` or ``os.PathLike``) the writer opens the file itself and closes it in
    :meth:`close` or at the end of a ``with`` block. Given a file object it writes every frame
    through to it at once (so ``f.tell()`` between frames counts them) and never closes it.

    The file header is written at construction (unless ``write_header=False``); ``magic`` and
    ``version`` may be changed to produce a header that readers refuse. ``write_frame`` takes the
    arguments of :func:`encode_frame`; ``write_shots`` writes a whole array of Stim detection
    events at once.
    """

    def __init__(
        self,
        file: Any,
        schema_id: Any = bytes(16),
        file_word: int = 0,
        *,
        magic: int = KVLX_MAGIC,
        version: int = KVLX_VERSION,
        write_header: bool = True,
    ) -> None:
        self._owned = isinstance(file, (str, os.PathLike))
        self._file = builtins.open(file, "wb") if self._owned else file
        self.schema_id = _schema_id_bytes(schema_id)
        self.bytes_written = 0
        self.frames_written = 0
        self._next_frame_id = 0
        try:
            if write_header:
                self.write_bytes(encode_file_header(self.schema_id, file_word, magic=magic, version=version))
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> "KvlxWriter":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """Closes the file if the writer opened it; flushes a file object it was given."""
        if self._file is None:
            return
        if self._owned:
            self._file.close()
        elif hasattr(self._file, "flush"):
            self._file.flush()
        self._file = None

    @property
    def closed(self) -> bool:
        """True once `close` has run (or the ``with`` block has ended)."""
        return self._file is None

    def write_frame(
        self,
        frame_id: int,
        round: int = 0,
        detector_events: Sequence[Any] | None = None,
        meas_results: Sequence[int] | bytes | None = None,
        **optional_fields: Any,
    ) -> int:
        """Encodes one frame (see :func:`encode_frame`), writes it, returns its size in bytes."""
        data = encode_frame(
            frame_id=frame_id, round=round, detector_events=detector_events, meas_results=meas_results,
            **optional_fields,
        )
        self.write_bytes(data)
        self.frames_written += 1
        self._next_frame_id = max(self._next_frame_id, int(frame_id) + 1)
        return len(data)

    def write_shots(
        self,
        detection_events: Any,
        observables: Any = None,
        *,
        layout: Any = None,
        dem: Any = None,
        describe: bool = True,
        chunk_frames: int = 65536,
        **header_fields: Any,
    ) -> int:
        """Writes a shots x detectors array of detection events (Stim's sampler output) as frames.

        Without ``layout`` every shot is one frame whose ancillas are the shot's detectors. With
        ``layout`` (a rounds x ancillas integer array of detector ids, -1 where an ancilla has no
        detector in that round, or a ``.npy`` path) every shot is one frame per round, ancilla ``a``
        of round ``r`` carrying detector ``layout[r, a]``; detectors the layout leaves out are not
        written. The layout is refused as ``set_decoder`` refuses it (ids below -1, beyond the
        detectors, or repeated: ``ValueError``).
        ``observables`` (shots x observables, 0/1, up to 256 observables) travels on each shot's
        last frame: observables 0 to 63 as its ``observable_flips`` mask (key 16), and with more
        than 64 observables the rest in a key-17 entry (read back as
        ``frame.source_observable_flips_array``). Frame ids continue after the last frame written, rounds count
        from 0 within each shot and measurement results are 0. ``header_fields`` sets the same
        ``timestamp_ns``, ``qubit_count``, ``header_word``, ``code_type`` or ``distance`` on every
        frame: each an integer that fits its field (``TypeError`` or ``OverflowError`` naming it
        otherwise, as in ``write_frame``). Returns the number of frames written.

        With ``describe`` (the default) the stream describes itself when these are its first
        frames: the first frame carries the layout (when given) and ``dem`` (a detector error
        model, anything whose ``str()`` is DEM text), and every round-0 frame their 8-byte hash,
        in metadata entries that readers which do not know them skip (keys ``META_LAYOUT``,
        ``META_DEM``, ``META_DESCRIPTION_HASH``). ``kelvane.open`` then decodes the stream with
        its stored layout, shot by shot. With ``observables`` the first frame also says how many
        there are (``META_NUM_OBSERVABLES``), which ``kelvane.convert`` uses for the Stim side.
        """
        import numpy as np

        dets = _zero_one_array(detection_events, "detection_events")
        if dets.ndim != 2:
            raise ValueError(f"detection_events must be a shots x detectors array, got shape {dets.shape}")
        shots, num_detectors = dets.shape
        obs = None
        num_observables = None
        if observables is not None:
            obs = _zero_one_array(observables, "observables")
            if obs.ndim == 1:
                obs = obs[:, None]
            if obs.ndim != 2 or obs.shape[0] != shots:
                raise ValueError(f"observables must be a {shots} x observables array, got shape {obs.shape}")
            if obs.shape[1] > MAX_OBSERVABLES:
                raise ValueError(f"at most {MAX_OBSERVABLES} observables fit a frame's flips, got {obs.shape[1]}")
            num_observables = obs.shape[1]
        if layout is None:
            per_shot = 1
            events = dets.reshape(shots, 1, num_detectors)
        else:
            from _kelvane import _check_layout  # set_decoder's checks: ids in range, none repeated

            lay = _check_layout(layout, num_detectors)
            per_shot = lay.shape[0]
            padded = np.concatenate([dets, np.zeros((shots, 1), dtype=np.uint8)], axis=1)
            events = padded[:, np.where(lay < 0, num_detectors, lay)]
        unknown = set(header_fields) - set(_SHOT_HEADER_BITS)
        if unknown:
            raise TypeError(f"write_shots got unexpected keyword arguments {sorted(unknown)}")
        header_fields = {k: _uint(k, v, _SHOT_HEADER_BITS[k]) for k, v in header_fields.items()}
        header = tuple(header_fields.get(k, 0) for k in _SHOT_HEADER_BITS)
        ancillas = events.shape[2]
        events = np.ascontiguousarray(events.reshape(shots * per_shot, ancillas), dtype=np.uint8)
        total = shots * per_shot
        rounds = np.tile(np.arange(per_shot, dtype="<u4"), shots)
        # Each shot's observables ride on its last frame (keys 16 and 17, laid out by the encoder).
        frame_obs = has_flips = None
        if obs is not None:
            frame_obs = np.zeros((total, num_observables), dtype=np.uint8)
            frame_obs[per_shot - 1 :: per_shot] = obs
            has_flips = (np.arange(total) % per_shot == per_shot - 1).astype(np.uint8)
        first_id = self._next_frame_id
        digest = first_entries = None
        described = layout is not None or dem is not None
        if describe and self.frames_written == 0 and total and (described or num_observables is not None):
            first_entries, digest = _description_entries(layout, dem) if described else ([], None)
            if num_observables is not None:
                first_entries = first_entries + [(META_NUM_OBSERVABLES, struct.pack("<H", num_observables))]
        step = max(1, int(chunk_frames))
        for lo in range(0, total, step):
            hi = min(total, lo + step)
            self.write_bytes(_kelvane._kvlx_encode_frames(
                events[lo:hi], ancillas, np.arange(first_id + lo, first_id + hi, dtype="<u8"), rounds[lo:hi],
                None if frame_obs is None else frame_obs[lo:hi], num_observables or 0,
                None if has_flips is None else has_flips[lo:hi], header, digest,
                first_entries if lo == 0 else None))
        self.frames_written += total
        self._next_frame_id = first_id + total
        return total

    def write_bytes(self, data: bytes) -> int:
        """Writes raw bytes (for example garbage between frames); returns their number."""
        if self._file is None:
            raise ValueError("write to a closed KvlxWriter")
        self._file.write(data)
        self.bytes_written += len(data)
        return len(data)


def _zero_one_array(values: Any, what: str) -> Any:
    """``values`` as a uint8 NumPy array of 0 and 1 (bool or integer input)."""
    import numpy as np

    arr = np.asarray(values)
    if arr.dtype == np.bool_:
        return arr.view(np.uint8)
    if not np.issubdtype(arr.dtype, np.integer):
        raise ValueError(f"{what} must be a bool or integer array, got {arr.dtype}")
    if arr.size and (arr.min() < 0 or arr.max() > 1):
        raise ValueError(f"{what} must contain only 0 and 1")
    return arr.astype(np.uint8)


