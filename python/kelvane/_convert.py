"""Conversion between KVLX files and Stim's shot data formats (01, b8, r8, dets)."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

STIM_FORMATS = ("01", "b8", "r8", "dets")


def file_format(path: Any) -> str:
    """The format named by a path's extension: "kvlx" or one of Stim's shot formats."""
    ext = os.path.splitext(os.fspath(path))[1].lstrip(".").lower()
    if ext == "kvlx" or ext in STIM_FORMATS:
        return ext
    raise ValueError(f"cannot tell the format of {os.fspath(path)!r}: use .kvlx, .01, .b8, .r8 or .dets")


def as_layout(layout: Any) -> np.ndarray | None:
    """A layout as a rounds x ancillas int64 array: an array, or a path to a .npy file."""
    if layout is None:
        return None
    if isinstance(layout, (str, os.PathLike)):
        layout = np.load(os.fspath(layout))
    lay = np.asarray(layout)
    if lay.ndim != 2 or not np.issubdtype(lay.dtype, np.integer):
        raise ValueError(f"layout must be a rounds x ancillas integer array, got {lay.dtype} {lay.shape}")
    return lay.astype(np.int64)


def read_kvlx_frames(path: Any, batch_frames: int = 1 << 16, progress: Any = None):
    """All frames of a KVLX file as (detector_events, observable_flips, has_observable_flips, rounds).

    Every frame must have the same ancilla count; the first damaged frame raises its OSError.
    """
    from _kelvane import KelvaneStream

    events, flips, has, rounds = [], [], [], []
    with KelvaneStream(os.fspath(path)) as stream:
        while True:
            batch = stream.read_batch(batch_frames)
            if len(batch) == 0:
                break
            if events and batch.detector_events.shape[1] != events[0].shape[1]:
                raise ValueError(
                    f"{os.fspath(path)}: frames with {events[0].shape[1]} and {batch.detector_events.shape[1]} "
                    "ancillas; a shot array needs one ancilla count")
            events.append(batch.detector_events)
            flips.append(batch.observable_flips)
            has.append(batch.has_observable_flips)
            rounds.append(batch.rounds)
            if progress is not None:
                progress(len(batch))
    if not events:
        return np.zeros((0, 0), dtype=bool), np.zeros(0, np.uint64), np.zeros(0, bool), np.zeros(0, np.uint32)
    return np.concatenate(events), np.concatenate(flips), np.concatenate(has), np.concatenate(rounds)


def frames_to_shots(events: np.ndarray, layout: np.ndarray | None, num_detectors: int | None) -> np.ndarray:
    """Frames x ancillas detector events regrouped as shots x detectors.

    Without a layout every frame is one shot. With one, each run of ``len(layout)`` frames is a
    shot and ancilla ``a`` of its round ``r`` is detector ``layout[r, a]``.
    """
    frames, ancillas = events.shape
    if layout is None:
        if num_detectors is not None and frames and num_detectors != ancillas:
            raise ValueError(f"frames have {ancillas} ancillas but num_detectors is {num_detectors}; "
                             "give a layout to map frames onto detectors")
        return events
    rounds = layout.shape[0]
    if layout.shape[1] != ancillas and frames:
        raise ValueError(f"the layout has {layout.shape[1]} ancillas per round, the frames {ancillas}")
    if frames % rounds:
        raise ValueError(f"{frames} frames are not a whole number of shots of {rounds} rounds")
    n = int(layout.max()) + 1 if num_detectors is None else num_detectors
    if layout.size and layout.max() >= n:
        raise ValueError(f"the layout names detector {layout.max()}, but num_detectors is {n}")
    shots = np.zeros((frames // rounds, n + 1), dtype=bool)  # column n collects the -1 entries
    cols = np.where(layout < 0, n, layout).reshape(-1)
    shots[:, cols] = events.reshape(frames // rounds, rounds * layout.shape[1])
    return shots[:, :n]


def convert(src: Any, dst: Any, *, num_detectors: int | None = None, layout: Any = None) -> int:
    """Converts shot data between KVLX and Stim's ``01``, ``b8``, ``r8`` and ``dets`` formats.

    Formats come from the file extensions (``.kvlx``, ``.01``, ``.b8``, ``.r8``, ``.dets``).
    A Stim file holds detection events only, shots x ``num_detectors`` (needed to read ``b8``,
    ``r8`` and ``dets``; ``01`` can count them from its first line). Without ``layout`` every
    KVLX frame is one shot; with one (a rounds x ancillas array of detector ids, -1 = none, or a
    path to a ``.npy`` file of it) every shot is one frame per round, as
    :meth:`kelvane.kvlx.KvlxWriter.write_shots` writes them. Observable flips are not carried
    over. Returns the number of shots converted.
    """
    import stim

    from kelvane.kvlx import KvlxWriter

    src_fmt, dst_fmt = file_format(src), file_format(dst)
    lay = as_layout(layout)
    if src_fmt == "kvlx":
        events, _, _, _ = read_kvlx_frames(src)
        shots = frames_to_shots(events, lay, num_detectors)
    else:
        if num_detectors is None:
            num_detectors = _count_01_columns(src) if src_fmt == "01" else None
        if num_detectors is None:
            if lay is None:
                raise ValueError(f"reading {src_fmt} needs num_detectors")
            num_detectors = int(lay.max()) + 1
        shots = stim.read_shot_data_file(path=os.fspath(src), format=src_fmt, num_detectors=num_detectors)
    if dst_fmt == "kvlx":
        with KvlxWriter(dst) as w:
            w.write_shots(shots, layout=lay)
    else:
        stim.write_shot_data_file(data=shots, path=os.fspath(dst), format=dst_fmt, num_detectors=shots.shape[1])
    return int(shots.shape[0])


def _count_01_columns(path: Any) -> int:
    with open(os.fspath(path), "rb") as f:
        return len(f.readline().rstrip(b"\r\n"))
