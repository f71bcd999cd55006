"""Stim experiments as KVLX streams: the frame layout of a Stim circuit and a vectorised writer.

A stream carries one frame per round. `layout_from_stim` says which detector each frame bit is:

- detectors are grouped into rounds by their time, which is their last coordinate (Stim's
  repetition codes declare ``(x, t)``, surface codes ``(x, y, t)``); rounds are the distinct
  times in increasing order, and the final data-measurement round is a round like any other;
- ancilla slots are the distinct spatial coordinates (all but the last) in increasing
  lexicographic order, so every round has the same slots and a round with fewer detectors
  leaves some unused (-1).

``layout[r, a]`` is the detector of slot ``a`` in round ``r``, or -1. Save it with
``numpy.save("layout.npy", layout)``; ``set_decoder``/``kelvane.open`` take the array or the path.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

import numpy as np

from kelvane.kvlx import FLAG_METADATA, META_OBSERVABLE_FLIPS, TRAILER_MARKER, encode_file_header

__all__ = ["layout_from_stim", "write_stim_experiment", "StimExperiment"]


def layout_from_stim(circuit: Any) -> np.ndarray:
    """The frame layout of a ``stim.Circuit`` (or ``stim.DetectorErrorModel``) as an int64 array.

    Shape (rounds, ancillas); entry ``[r, a]`` is a detector id or -1. Raises ValueError when a
    detector declares no coordinates or two detectors share a place and a time.
    """
    coords = circuit.get_detector_coordinates()
    n = circuit.num_detectors
    keys = []
    for d in range(n):
        c = coords.get(d, [])
        if len(c) == 0:
            raise ValueError(f"detector D{d} declares no coordinates; the layout needs its time as the last one")
        keys.append((tuple(c[:-1]), c[-1]))
    places = {p: i for i, p in enumerate(sorted({k[0] for k in keys}))}
    times = {t: i for i, t in enumerate(sorted({k[1] for k in keys}))}
    layout = np.full((len(times), len(places)), -1, dtype=np.int64)
    for d, (place, time) in enumerate(keys):
        r, a = times[time], places[place]
        if layout[r, a] >= 0:
            raise ValueError(f"detectors D{layout[r, a]} and D{d} share the coordinates {place} and time {time}")
        layout[r, a] = d
    return layout


@dataclass
class StimExperiment:
    """What `write_stim_experiment` wrote: enough to decode the file and score the decoder."""

    dem: Any  # stim.DetectorErrorModel, decomposed
    layout: np.ndarray  # (rounds, ancillas) int64, -1 for no detector
    detection_events: np.ndarray  # (shots, detectors) bool, as Stim sampled them
    observables: np.ndarray  # (shots, observables) bool
    path: str
    frames: int


_CRC_TABLE = None


def _crc_table() -> np.ndarray:
    global _CRC_TABLE
    if _CRC_TABLE is None:
        c = np.arange(256, dtype=np.uint32)
        for _ in range(8):
            c = np.where(c & 1, np.uint32(0xEDB88320) ^ (c >> 1), c >> 1).astype(np.uint32)
        _CRC_TABLE = c
    return _CRC_TABLE


def _crc32_rows(rows: np.ndarray, crc: np.ndarray | None = None) -> np.ndarray:
    """CRC-32 (zlib's) of every row of a uint8 matrix, continuing from `crc` (un-finalised)."""
    table = _crc_table()
    if crc is None:
        crc = np.full(rows.shape[0], 0xFFFFFFFF, dtype=np.uint32)
    for j in range(rows.shape[1]):
        crc = table[(crc ^ rows[:, j]) & 0xFF] ^ (crc >> 8)
    return crc


_HEADER = np.dtype([("frame_id", "<u8"), ("round", "<u4"), ("timestamp_ns", "<u8"), ("qubit_count", "<u2"),
                    ("ancilla_count", "<u2"), ("header_word", "<u4"), ("code_type", "u1"), ("distance", "u1"),
                    ("flags", "<u2"), ("header_crc", "<u4")])


def encode_frames(events: np.ndarray, frame_ids: np.ndarray, rounds: np.ndarray, timestamps_ns: np.ndarray,
                  observable_flips: np.ndarray, has_flips: np.ndarray, *, qubit_count: int = 0, code_type: int = 0,
                  distance: int = 0) -> np.ndarray:
    """KVLX frames for a frames x ancillas bool matrix, as one uint8 array, without a Python loop.

    Every frame has zero measurement results and no optional section except, where `has_flips`
    is set, a metadata section holding its `observable_flips` mask. The bytes are those that
    ``KvlxWriter.write_frame`` writes for the same fields.
    """
    events = np.ascontiguousarray(events, dtype=bool)
    f, a = events.shape
    has_flips = np.asarray(has_flips, dtype=bool)

    header = np.zeros(f, dtype=_HEADER)
    header["frame_id"] = frame_ids
    header["round"] = rounds
    header["timestamp_ns"] = timestamps_ns
    header["qubit_count"] = qubit_count
    header["ancilla_count"] = a
    header["code_type"] = code_type
    header["distance"] = distance
    header["flags"] = np.where(has_flips, FLAG_METADATA, 0)
    head_bytes = header.view(np.uint8).reshape(f, 36)
    crc = _crc32_rows(head_bytes[:, :32])
    header["header_crc"] = crc ^ np.uint32(0xFFFFFFFF)
    trailer_crc = _crc32_rows(head_bytes[:, 32:], crc) ^ np.uint32(0xFFFFFFFF)

    # Run-length encoding: every row starts a run at column 0, so the flat start of the next run
    # is the end of the current one. Runs longer than 127 are split into 127-long pieces.
    if a:
        starts = np.ones((f, a), dtype=bool)
        starts[:, 1:] = events[:, 1:] != events[:, :-1]
        start_idx = np.flatnonzero(starts)
        lengths = np.diff(np.append(start_idx, f * a))
        values = events.reshape(-1)[start_idx].astype(np.uint8)
        pieces = (lengths + 126) // 127
        run_of_piece = np.repeat(np.arange(start_idx.size), pieces)
        k = np.arange(run_of_piece.size) - np.repeat(np.cumsum(pieces) - pieces, pieces)
        piece_len = np.where(k == pieces[run_of_piece] - 1, lengths[run_of_piece] - 127 * k, 127)
        rle = ((values[run_of_piece] << 7) | piece_len).astype(np.uint8)
        frame_of_piece = start_idx[run_of_piece] // a
        rle_len = np.bincount(frame_of_piece, minlength=f)
    else:
        rle = np.zeros(0, dtype=np.uint8)
        frame_of_piece = np.zeros(0, dtype=np.int64)
        rle_len = np.zeros(f, dtype=np.int64)

    meta = np.where(has_flips, 2 + 4 + 8, 0)
    sizes = 36 + 2 + rle_len + a + meta + 6
    offsets = np.concatenate(([0], np.cumsum(sizes)[:-1]))
    out = np.zeros(int(sizes.sum()), dtype=np.uint8)
    out[offsets[:, None] + np.arange(36)] = head_bytes
    out[offsets + 36] = rle_len & 0xFF
    out[offsets + 37] = rle_len >> 8
    rle_start = np.cumsum(rle_len) - rle_len
    out[offsets[frame_of_piece] + 38 + (np.arange(rle.size) - rle_start[frame_of_piece])] = rle
    # Measurement results stay zero. Metadata: one entry, key 16, 8 bytes of flips.
    m = (offsets + 38 + rle_len + a)[has_flips]
    entry = np.zeros((m.size, 14), dtype=np.uint8)
    entry[:, 0] = 1
    entry[:, 2] = META_OBSERVABLE_FLIPS
    entry[:, 4] = 8
    entry[:, 6:] = np.asarray(observable_flips, dtype="<u8")[has_flips].view(np.uint8).reshape(-1, 8)
    out[m[:, None] + np.arange(14)] = entry
    t = offsets + sizes - 6
    out[t] = TRAILER_MARKER & 0xFF
    out[t + 1] = TRAILER_MARKER >> 8
    out[t[:, None] + np.arange(2, 6)] = trailer_crc.astype("<u4").view(np.uint8).reshape(f, 4)
    return out


def _masks(observables: np.ndarray) -> np.ndarray:
    """Each shot's observables as a uint64 mask (bit k: observable k, mod 64)."""
    masks = np.zeros(observables.shape[0], dtype=np.uint64)
    for k in range(observables.shape[1]):  # a loop over observables, not shots
        masks ^= observables[:, k].astype(np.uint64) << np.uint64(k % 64)
    return masks


def write_stim_experiment(circuit: Any, shots: int, path: str | os.PathLike, *, seed: int | None = None,
                          code_type: int = 0, distance: int = 0) -> StimExperiment:
    """Sample `shots` shots of a ``stim.Circuit`` and write them to `path` as KVLX frames.

    One frame per round in the layout of `layout_from_stim` (frame ids count up from 0, round
    r of each shot has ``round = r``, timestamps 1 us apart); the last frame of each shot carries
    the true observable flips. Returns a `StimExperiment` with the decomposed detector error
    model, the layout and the sampled shots (as ``compile_detector_sampler(seed=seed).sample(
    shots, separate_observables=True)`` returns them), so that::

        exp = kelvane.write_stim_experiment(circuit, 10_000, "run.kvlx", seed=1)
        with kelvane.open("run.kvlx", decoder=exp.dem, layout=exp.layout, per_shot=True) as s:
            ...
    """
    dem = circuit.detector_error_model(decompose_errors=True)
    layout = layout_from_stim(circuit)
    dets, obs = circuit.compile_detector_sampler(seed=seed).sample(shots, separate_observables=True)
    rounds, ancillas = layout.shape
    truth = _masks(obs)
    qubits = min(circuit.num_qubits, 0xFFFF)
    path = os.fspath(path)
    # Bounded memory: frames are built and written a block of shots at a time.
    block = max(1, (1 << 16) // max(rounds, 1))
    present = layout >= 0
    columns = np.where(present, layout, 0)
    with open(path, "wb") as f:
        f.write(encode_file_header())
        for first in range(0, shots, block):
            chunk = dets[first:first + block]
            s = chunk.shape[0]
            events = (chunk[:, columns] & present).reshape(s * rounds, ancillas)
            ids = np.arange(first * rounds, (first + s) * rounds, dtype=np.uint64)
            last = np.zeros((s, rounds), dtype=bool)
            last[:, -1] = True
            flips = np.zeros((s, rounds), dtype=np.uint64)
            flips[:, -1] = truth[first:first + s]
            f.write(encode_frames(events, ids, np.tile(np.arange(rounds, dtype=np.uint32), s), ids * np.uint64(1000),
                                  flips.reshape(-1), last.reshape(-1), qubit_count=qubits, code_type=code_type,
                                  distance=distance).tobytes())
    return StimExperiment(dem=dem, layout=layout, detection_events=dets, observables=obs, path=path,
                          frames=shots * rounds)
