"""Decision records: what a stream decoded in windows committed, for a controller to act on.

A decision stream is a 16-byte header and then one 32-byte record per commit step (the frame
that closed it), all little-endian; in a stream whose header says so, a record may be followed by
the detectors its commits flipped. docs/kvlx-format.md describes the bytes. `DecisionWriter`
writes one to a file or, for ``tcp://HOST:PORT``, to a connection it opens to that address;
`read_decisions` reads one back as a NumPy structured array.
"""

from __future__ import annotations

import os
import socket
import struct
import zlib
from typing import Any

import numpy as np

MAGIC = 0x444C564B  # the bytes "KVLD"
VERSION = 1
HEADER = struct.Struct("<IHHII")  # magic, version, flags, observable count, reserved
RECORD = struct.Struct("<QIHHQI")  # frame id, round, flags, reserved, committed flips, reserved; then CRC
RECORD_SIZE = RECORD.size + 4
WINDOW_INCOMPLETE = 0x0001  # the commit's window held rounds that never arrived
HAS_DETECTOR_FLIPS = 0x0002  # record flag: a block of detector flips follows the record
STREAM_DETECTOR_FLIPS = 0x0001  # header flag: records may carry detector flips
FLIP_COUNT = struct.Struct("<I")
FLIP_DTYPE = np.dtype([("round", "<u4"), ("ancilla", "<u4")])

RECORD_DTYPE = np.dtype([("frame_id", "<u8"), ("round", "<u4"), ("flags", "<u2"), ("reserved", "<u2"),
                         ("committed_flips", "<u8"), ("reserved2", "<u4"), ("crc", "<u4")])


def encode_header(observable_count: int, detector_flips: bool = False) -> bytes:
    return HEADER.pack(MAGIC, VERSION, STREAM_DETECTOR_FLIPS if detector_flips else 0, observable_count, 0)


def encode_record(frame_id: int, round: int, committed_flips: int, window_incomplete: bool = False) -> bytes:
    body = RECORD.pack(frame_id, round, WINDOW_INCOMPLETE if window_incomplete else 0, 0, committed_flips, 0)
    return body + struct.pack("<I", zlib.crc32(body))


class DecisionWriter:
    """Writes decision records to a file path or to ``tcp://HOST:PORT`` (a connection to it)."""

    def __init__(self, target: str | os.PathLike[str], observable_count: int, detector_flips: bool = False) -> None:
        self._sock: socket.socket | None = None
        self._file: Any = None
        text = os.fspath(target)
        if text.startswith("tcp://"):
            host, _, port = text[len("tcp://"):].rpartition(":")
            self._sock = socket.create_connection((host.strip("[]"), int(port)), timeout=10)
            self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        else:
            self._file = open(text, "wb")
        self._pending: list[bytes] = [encode_header(observable_count, detector_flips)]
        self.records = 0

    def write(self, frame_id: int, round: int, committed_flips: int, window_incomplete: bool = False) -> None:
        self._pending.append(encode_record(frame_id, round, committed_flips, window_incomplete))
        self.records += 1

    def write_records(self, data: bytes) -> None:
        """Queues records already encoded, as KelvaneStream.drain returns them (not counted in
        `records`)."""
        self._pending.append(bytes(data))

    def flush(self) -> None:
        """Sends (or writes) the records written since the last flush."""
        data = b"".join(self._pending)
        self._pending.clear()
        if self._sock is not None:
            self._sock.sendall(data)
        else:
            self._file.write(data)
            self._file.flush()

    def close(self) -> None:
        if self._sock is None and self._file is None:
            return
        try:
            self.flush()
        finally:
            if self._sock is not None:
                self._sock.close()
                self._sock = None
            if self._file is not None:
                self._file.close()
                self._file = None

    def __enter__(self) -> "DecisionWriter":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def read_decisions(source: str | os.PathLike[str] | bytes, *, detector_flips: bool = False) -> Any:
    """The observable count and the records (a structured array with frame_id, round, flags and
    committed_flips) of a decision stream, from its bytes or a file; with ``detector_flips=True``
    also a list with each record's detector flips (an array of (round, ancilla), empty for a
    record without). A short or damaged stream is a ValueError naming the record."""
    data = bytes(source) if isinstance(source, (bytes, bytearray, memoryview)) else open(source, "rb").read()
    if len(data) < HEADER.size:
        raise ValueError(f"a decision stream starts with a {HEADER.size}-byte header; got {len(data)} bytes")
    magic, version, stream_flags, observables, _ = HEADER.unpack_from(data)
    if magic != MAGIC or version != VERSION:
        raise ValueError(f"not a version-{VERSION} decision stream (magic {magic:#x}, version {version})")
    body = data[HEADER.size:]
    flips: list[Any] = []
    if stream_flags & STREAM_DETECTOR_FLIPS:
        chunks, at = [], 0
        while at < len(body):
            k = len(chunks)
            if len(body) - at < RECORD_SIZE:
                raise ValueError(f"the decision stream ends inside record {k}")
            chunks.append(body[at : at + RECORD_SIZE])
            at += RECORD_SIZE
            if zlib.crc32(chunks[-1][:-4]) != FLIP_COUNT.unpack_from(chunks[-1], RECORD_SIZE - 4)[0]:
                raise ValueError(f"decision record {k} fails its CRC")
            if not np.frombuffer(chunks[-1], dtype=RECORD_DTYPE)["flags"][0] & HAS_DETECTOR_FLIPS:
                flips.append(np.zeros(0, dtype=FLIP_DTYPE))
                continue
            n = FLIP_COUNT.unpack_from(body, at)[0] if len(body) - at >= 4 else None
            end = at + 4 + 8 * n + 4 if n is not None else len(body) + 1
            if end > len(body):
                raise ValueError(f"the decision stream ends inside the detector flips of record {k}")
            if zlib.crc32(body[at : end - 4]) != FLIP_COUNT.unpack_from(body, end - 4)[0]:
                raise ValueError(f"the detector flips of decision record {k} fail their CRC")
            flips.append(np.frombuffer(body[at + 4 : end - 4], dtype=FLIP_DTYPE))
            at = end
        body = b"".join(chunks)
    elif len(body) % RECORD_SIZE:
        raise ValueError(f"the decision stream ends inside record {len(body) // RECORD_SIZE}")
    records = np.frombuffer(body, dtype=RECORD_DTYPE)
    for k in range(len(records)):
        chunk = body[k * RECORD_SIZE : (k + 1) * RECORD_SIZE]
        if zlib.crc32(chunk[:-4]) != int(records["crc"][k]):
            raise ValueError(f"decision record {k} fails its CRC")
    if detector_flips:
        return int(observables), records, flips or [np.zeros(0, dtype=FLIP_DTYPE)] * len(records)
    return int(observables), records
