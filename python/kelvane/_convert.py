"""Conversion between KVLX files and Stim's shot data formats (01, b8, r8, dets)."""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import warnings
from typing import Any, Iterator, NamedTuple

import numpy as np

STIM_FORMATS = ("01", "b8", "r8", "dets")


def file_format(path: Any) -> str:
    """The format named by a path's extension: "kvlx" or one of Stim's shot formats."""
    ext = os.path.splitext(os.fspath(path))[1].lstrip(".").lower()
    if ext == "kvlx" or ext in STIM_FORMATS:
        return ext
    raise ValueError(f"cannot tell the format of {os.fspath(path)!r}: use .kvlx, .01, .b8, .r8 or .dets")


def as_layout(layout: Any, num_detectors: int | None = None) -> np.ndarray | None:
    """A layout as a rounds x ancillas int64 array (an array, or a path to a .npy file), refused
    as ``set_decoder`` refuses it: ids below -1, at or beyond ``num_detectors`` or repeated."""
    if layout is None:
        return None
    from _kelvane import _check_layout

    return _check_layout(layout, num_detectors)


class KvlxFrames(NamedTuple):
    """The columns of every frame of a KVLX file."""

    detector_events: np.ndarray  # frames x ancillas, bool
    observable_flips: np.ndarray  # uint64 masks
    has_observable_flips: np.ndarray  # bool
    rounds: np.ndarray  # uint32
    frame_ids: np.ndarray  # uint64
    description: Any = None  # what the stream says about itself (KelvaneStream.description), if asked


def read_kvlx_frames(path: Any, batch_frames: int = 1 << 16, progress: Any = None,
                     skipped: list[Any] | None = None, describe: str | None = None) -> KvlxFrames:
    """All frames of a KVLX file (or tcp:// stream) as columns.

    Every frame must have the same ancilla count. The first damaged frame raises its OSError;
    given a list as `skipped`, damaged frames are skipped instead (as ``kelvane.open(...,
    errors="skip")``) and the `SkippingStream` that counted them is appended to it. With
    `describe` ("raise" or "warn", what to do about a damaged one) the stream's description,
    as its first frame gives it, comes in ``description``.
    """
    from kelvane import kvlx
    from kelvane._skipping import SkippingStream
    from kelvane._wrapper import open_native

    names = ("detector_events", "observable_flips", "has_observable_flips", "rounds", "frame_ids")
    columns: dict[str, list[np.ndarray]] = {name: [] for name in names}
    opened: Any = open_native(os.fspath(path))
    if skipped is not None:
        opened = SkippingStream(opened)
        skipped.append(opened)
    with opened as stream:
        description = kvlx.read_description(stream, damaged=describe) if describe is not None else None
        while True:
            batch = stream.read_batch(batch_frames)
            if len(batch) == 0:
                break
            events = columns["detector_events"]
            if events and batch.detector_events.shape[1] != events[0].shape[1]:
                raise ValueError(
                    f"{os.fspath(path)}: frames with {events[0].shape[1]} and {batch.detector_events.shape[1]} "
                    "ancillas; a shot array needs one ancilla count")
            for name in names:
                columns[name].append(getattr(batch, name))
            if progress is not None:
                progress(len(batch))
    if not columns["detector_events"]:
        return KvlxFrames(np.zeros((0, 0), dtype=bool), np.zeros(0, np.uint64), np.zeros(0, bool),
                          np.zeros(0, np.uint32), np.zeros(0, np.uint64), description)
    return KvlxFrames(*(np.concatenate(columns[name]) for name in names), description)


def shot_starts(rounds: np.ndarray, frame_ids: np.ndarray, depth: int) -> tuple[np.ndarray, int, int]:
    """Where the complete shots of ``depth`` rounds start among frames with these rounds and ids.

    A complete shot is ``depth`` frames of rounds 0 to depth - 1 with consecutive frame ids,
    not continued by a frame of round ``depth`` with the next id (a longer shot than the layout
    describes). Returns (first frame of each complete shot, incomplete shots, their frames):
    the frames left over, cut into pieces at every round 0 and every break in round or id.
    """
    n = rounds.size
    r = rounds.astype(np.int64)
    f = frame_ids.astype(np.uint64)
    follows = (r[1:] == r[:-1] + 1) & (f[1:] == f[:-1] + np.uint64(1))  # frame i + 1 continues frame i
    runs = np.concatenate(([0], np.cumsum(follows)))  # runs[i]: continuations among frames 0..i
    first = np.flatnonzero(r[: max(0, n - depth + 1)] == 0)
    last = first + depth - 1
    whole = runs[last] - runs[first] == depth - 1
    continued = np.zeros(first.size, dtype=bool)
    inside = last + 1 < n
    continued[inside] = follows[last[inside]]
    starts = first[whole & ~continued]
    used = np.zeros(n, dtype=bool)
    used[(starts[:, None] + np.arange(depth)).reshape(-1)] = True
    left = ~used
    piece = left.copy()
    piece[1:] &= ~left[:-1] | (r[1:] <= r[:-1])
    return starts, int(piece.sum()), int(left.sum())


def group_shots(frames: KvlxFrames, layout: np.ndarray | None, num_detectors: int | None,
                source: Any = "the stream") -> tuple[np.ndarray, np.ndarray]:
    """Frames regrouped as shots x detectors, and the index of each shot's last frame.

    Without a layout every frame is one shot. With one, a shot is one frame per row of the
    layout, found by its rounds and frame ids (see :func:`shot_starts`); ancilla ``a`` of its
    round ``r`` is detector ``layout[r, a]``. Incomplete shots are dropped with one
    RuntimeWarning that counts them.
    """
    events = frames.detector_events
    count, ancillas = events.shape
    if layout is None:
        if num_detectors is not None and count and num_detectors != ancillas:
            raise ValueError(f"frames have {ancillas} ancillas but num_detectors is {num_detectors}; "
                             "give a layout to map frames onto detectors")
        return events, np.arange(count)
    depth = layout.shape[0]
    if layout.shape[1] != ancillas and count:
        raise ValueError(f"the layout has {layout.shape[1]} ancillas per round, the frames {ancillas}")
    starts, pieces, dropped = shot_starts(frames.rounds, frames.frame_ids, depth)
    if pieces:
        warnings.warn(f"{os.fspath(source)}: dropped {pieces} incomplete shots ({dropped} frames): a shot is "
                      f"{depth} frames of rounds 0 to {depth - 1} with consecutive frame ids",
                      RuntimeWarning, stacklevel=3)
    n = int(layout.max()) + 1 if num_detectors is None else num_detectors
    shots = np.zeros((starts.size, n + 1), dtype=bool)  # column n collects the -1 entries
    cols = np.where(layout < 0, n, layout).reshape(-1)
    if count:
        rows = events[(starts[:, None] + np.arange(depth)).reshape(-1)]
        shots[:, cols] = rows.reshape(starts.size, depth * ancillas)
    return shots[:, :n], starts + depth - 1


def observable_bits(masks: np.ndarray, num_observables: int) -> np.ndarray:
    """shots x num_observables bools from 64-bit flip masks; a flip of a higher observable is a
    ValueError (it would be lost)."""
    if num_observables < 64 and masks.size:
        beyond = np.flatnonzero(masks >> np.uint64(num_observables))
        if beyond.size:
            mask = int(masks[beyond[0]])
            raise ValueError(f"shot {beyond[0]} flips observable {mask.bit_length() - 1}, "
                             f"but num_observables is {num_observables}")
    return ((masks[:, None] >> np.arange(num_observables, dtype=np.uint64)) & np.uint64(1)).astype(bool)


def wide_observable_bits(path: Any, count: int, num_observables: int, skip: bool,
                         last: np.ndarray | None = None) -> np.ndarray:
    """frames x num_observables bools, every observable of every frame of a KVLX file (the
    frames ``read_kvlx_frames`` reads, ``count`` of them): the bulk columns hold only the 64-bit
    mask, so the frames are read one by one for their whole flips. A flip of an observable at
    or beyond ``num_observables`` is a ValueError (it would be lost), on the frames ``last``
    lists (the last frame of each shot, counted as shots) or on any frame without it."""
    from _kelvane import KelvaneStream

    from kelvane._skipping import SkippingStream

    bits = np.zeros((count, num_observables), dtype=bool)
    opened: Any = KelvaneStream(os.fspath(path))
    with SkippingStream(opened) if skip else opened as stream, warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the first pass warned of the damaged frames
        for i, frame in enumerate(stream):
            if i >= count:
                raise ValueError(f"{os.fspath(path)} changed while it was read")
            flips = frame.source_observable_flips_array
            if flips is None:
                continue
            beyond = np.flatnonzero(flips[num_observables:])
            shot = i if last is None else int(np.searchsorted(last, i))
            if beyond.size and (last is None or (shot < last.size and last[shot] == i)):
                raise ValueError(f"{'frame' if last is None else 'shot'} {shot} flips observable "
                                 f"{num_observables + int(beyond[0])}, but num_observables is {num_observables}")
            bits[i, : flips.size] = flips[:num_observables].astype(bool)
    return bits


def carried_width(path: Any, skip: bool) -> int:
    """How many observables the first frame carrying observable flips holds: more than 64 when
    its writer added the wide entry (every frame of such a stream holding flips has it), so that
    a copy without ``num_observables`` keeps observables 64 and up instead of dropping them."""
    from _kelvane import KelvaneStream

    from kelvane._skipping import SkippingStream

    opened: Any = KelvaneStream(os.fspath(path))
    with SkippingStream(opened) if skip else opened as stream, warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the first pass warned of the damaged frames
        for frame in stream:
            flips = frame.source_observable_flips_array
            if flips is not None:
                return int(flips.size)
    return 0


@contextlib.contextmanager
def _replacing(paths: list[str]) -> Iterator[list[str]]:
    """Temporary paths beside each of ``paths``, renamed onto them when the block ends without an
    error and removed when it fails, so that a destination never holds half a file."""
    temps: list[str] = []
    try:
        for path in paths:
            folder = os.path.dirname(os.path.abspath(path))
            if not os.path.isdir(folder):
                raise FileNotFoundError(errno.ENOENT, "no such directory", folder)
            temp = os.path.join(folder, f".{os.path.basename(path)}.{secrets.token_hex(4)}.tmp")
            os.close(os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666))
            temps.append(temp)
        yield temps
        for temp, path in zip(temps, paths):
            os.replace(temp, path)
    finally:
        for temp in temps:
            with contextlib.suppress(FileNotFoundError):
                os.remove(temp)


def stim_file_size(data: np.ndarray, fmt: str, num_detectors: int) -> int:
    """The size in bytes of the Stim shot file of ``data`` (shots x bits, the first
    ``num_detectors`` of them detectors, the rest observables) in format ``fmt``, counted a block
    of shots at a time."""
    shots, bits = data.shape
    if fmt == "01":
        return shots * (bits + 1)
    if fmt == "b8":
        return shots * ((bits + 7) // 8)
    total = 0
    if fmt == "dets":
        # "shot", then " D<id>" for every detector and " L<id>" for every observable that fired,
        # then a newline: a bit costs 2 bytes and its id's digits, which grow by column ranges.
        total = 5 * shots
        for lo, hi, base in ((0, num_detectors, 0), (num_detectors, bits, num_detectors)):
            digits = 1
            while lo < hi:
                end = min(hi, base + 10**digits)
                total += (2 + digits) * int(np.count_nonzero(data[:, lo:end]))
                lo, digits = end, digits + 1
        return total
    if fmt != "r8":
        raise ValueError(f"no Stim shot format {fmt!r}")
    # r8: every record ends with an implicit 1; a run of g zeros before a 1 is g // 255 bytes of
    # 255 and one byte of the rest. With the 1s of a block of records in one flat row, each
    # record's first run starts after the previous record's implicit 1.
    block = max(1, (1 << 22) // (bits + 1))
    for lo in range(0, shots, block):
        part = data[lo : lo + block]
        ones = np.flatnonzero(np.concatenate([part, np.ones((part.shape[0], 1), bool)], axis=1))
        runs = np.diff(ones, prepend=-1) - 1
        total += int((runs // 255).sum()) + ones.size
    return total


def write_stim_file(data: np.ndarray, path: Any, fmt: str, num_detectors: int, num_observables: int = 0,
                    name: Any = None) -> None:
    """``stim.write_shot_data_file``, checked: Stim's writer does not report a failed write (a
    full disk, a file size limit), so the file's size is compared with the size of what was
    written and a short file is an OSError naming ``name`` (default: ``path``)."""
    import stim

    data = np.asarray(data, dtype=bool)
    stim.write_shot_data_file(data=data, path=os.fspath(path), format=fmt, num_detectors=num_detectors,
                              num_observables=num_observables)
    expected, size = stim_file_size(data, fmt, num_detectors), os.path.getsize(path)
    if size != expected:
        raise OSError(errno.EIO, f"writing stopped at {size} of {expected} bytes (is the disk full?)",
                      os.fspath(path if name is None else name))


def _refuse_same_files(inputs: list[str], outputs: list[str]) -> None:
    for k, out in enumerate(outputs):
        for other in inputs + outputs[:k]:
            same = os.path.abspath(out) == os.path.abspath(other) or (
                os.path.exists(out) and os.path.exists(other) and os.path.samefile(out, other))
            if same:
                raise ValueError(f"{out!r} is both read and written (or written twice): "
                                 "convert into another file")


def convert(src: Any, dst: Any, *, num_detectors: int | None = None, layout: Any = None,
            num_observables: int | None = None, obs_out: Any = None, errors: str = "raise",
            skipped: list[Any] | None = None) -> int:
    """Converts shot data between KVLX and Stim's ``01``, ``b8``, ``r8`` and ``dets`` formats.

    Formats come from the file extensions (``.kvlx``, ``.01``, ``.b8``, ``.r8``, ``.dets``).
    A Stim file holds shots x ``num_detectors`` detection events (needed to read ``b8``, ``r8``
    and ``dets``; ``01`` can count them from its first line), followed in each record by
    ``num_observables`` observable flips (``L`` targets in ``dets``) unless ``obs_out`` names a
    separate Stim file for them (as Stim's ``--obs_out`` writes it, its format by its
    extension). KVLX carries each shot's observable flips on its last frame; converting to a
    Stim file writes them only with ``num_observables`` (a flip of a higher observable is a
    ``ValueError``; otherwise a stream that carries flips gives a ``RuntimeWarning`` that they
    are left out). With ``obs_out`` (and for a KVLX copy) ``num_observables`` defaults to the
    count the KVLX stream states (``KvlxWriter.write_shots`` stores it with the observables) or
    to its stored model's.

    With ``layout`` (a rounds x ancillas array of detector ids, -1 = none, or a path to a
    ``.npy`` file of it), or without one the layout a self-describing KVLX stream stores, every
    shot is one frame per round, as :meth:`kelvane.kvlx.KvlxWriter.write_shots` writes them: a
    shot starts at round 0 and has every round with consecutive frame ids, and incomplete shots
    are dropped with a ``RuntimeWarning`` that counts them. The layout is checked as
    ``set_decoder`` checks it. Without either every KVLX frame is one shot, with a
    ``RuntimeWarning`` when frames of later rounds show that shots span several frames. A KVLX
    copy keeps the stored layout and model.

    The destination is written under a temporary name and renamed into place at the end, once
    every write is known to have succeeded (a full disk is an ``OSError`` and leaves the
    destination as it was), and converting a file onto itself is refused. Returns the number of shots converted.

    ``errors="skip"`` skips damaged KVLX frames (as ``kelvane.open(..., errors="skip")``; their
    shots are incomplete and dropped); the `SkippingStream` that counted them is appended to
    `skipped` when a list is given.
    """
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', got {errors!r}")
    import stim

    from kelvane.kvlx import KvlxWriter

    src_fmt, dst_fmt = file_format(src), file_format(dst)
    obs_fmt = None if obs_out is None else file_format(obs_out)
    if obs_out is not None:
        if obs_fmt == "kvlx" or (src_fmt == "kvlx") == (dst_fmt == "kvlx"):
            raise ValueError("obs_out names a Stim file for the observables of the Stim side of a KVLX conversion")
        if num_observables is None and src_fmt != "kvlx":
            raise ValueError("obs_out needs num_observables")
    k = num_observables or 0
    if not 0 <= k <= 256:
        raise ValueError(f"num_observables must be 0 to 256, got {k}")
    inputs = [os.fspath(src)] + ([os.fspath(obs_out)] if obs_out is not None and src_fmt != "kvlx" else [])
    outputs = [os.fspath(dst)] + ([os.fspath(obs_out)] if obs_out is not None and dst_fmt != "kvlx" else [])
    _refuse_same_files(inputs, outputs)

    obs: np.ndarray | None = None
    dem_text = None
    if src_fmt == "kvlx":
        lay = as_layout(layout, num_detectors)
        frames = read_kvlx_frames(src, skipped=(skipped if skipped is not None else []) if errors == "skip" else None,
                                  describe="warn" if errors == "skip" else "raise")
        described = frames.description
        dem_text = None if described is None else described.dem_text
        if lay is None and described is not None and described.layout is not None:
            lay = as_layout(described.layout, num_detectors)  # the stream's own: one record per shot
        elif lay is None and frames.rounds.size and int(frames.rounds.max()) > 0:
            warnings.warn(f"{os.fspath(src)} stores no layout, and its shots span frames of rounds 0 to "
                          f"{int(frames.rounds.max())}: one record per frame (give layout, --layout, for one per shot)",
                          RuntimeWarning, stacklevel=2)
        shots, last = group_shots(frames, lay, num_detectors, src)
        masks, carried = frames.observable_flips[last], frames.has_observable_flips[last]
        stored = stored_observable_count(src, dem_text) if num_observables is None else None
        if stored is not None and (obs_out is not None or (dst_fmt == "kvlx" and carried.any())):
            k = stored
        elif obs_out is not None and num_observables is None:
            raise ValueError(f"obs_out needs num_observables: {os.fspath(src)} does not say how many observables "
                             "its shots carry")
        elif num_observables is None and dst_fmt == "kvlx" and carried.any():
            k = max(1, int(masks.max()).bit_length(), carried_width(src, errors == "skip"))
        # Flips of observables 64 and up come in the frames' wide entry (key 17), which the bulk
        # columns do not hold: read them whenever the frames carry it, also to refuse a flip
        # past a num_observables of 64 or fewer instead of dropping it.
        if k > 64 or (k and carried.any() and carried_width(src, errors == "skip") > 64):
            obs = wide_observable_bits(src, frames.frame_ids.size, k, errors == "skip", last)[last]
        elif k:
            obs = observable_bits(masks, k)
            if dst_fmt != "kvlx" and not carried.all():
                warnings.warn(f"{int((~carried).sum())} of {carried.size} shots carry no observable flips; "
                              "written as 0", RuntimeWarning, stacklevel=2)
        elif carried.any():
            warnings.warn("the frames carry observable flips that a Stim file without observables leaves out: "
                          "give num_observables (and obs_out for a separate file)", RuntimeWarning, stacklevel=2)
    else:
        if num_detectors is None and src_fmt == "01":
            num_detectors = _count_01_columns(src) - (0 if obs_out is not None else k)
        lay = as_layout(layout, num_detectors)
        if num_detectors is None:
            if lay is None:
                raise ValueError(f"reading a .{src_fmt} file needs its detector count (num_detectors, --num-detectors)")
            num_detectors = int(lay.max()) + 1
        appended = k if obs_out is None else 0
        try:
            shots, obs = stim.read_shot_data_file(path=os.fspath(src), format=src_fmt, num_detectors=num_detectors,
                                                  num_observables=appended, separate_observables=True)
        except ValueError as e:
            if "L space" in str(e):
                raise ValueError(f"{os.fspath(src)} holds observables (L targets): give num_observables") from None
            raise
        if obs_out is not None:
            obs = stim.read_shot_data_file(path=os.fspath(obs_out), format=obs_fmt, num_observables=k)
            if obs.shape[0] != shots.shape[0]:
                raise ValueError(f"{os.fspath(obs_out)} holds {obs.shape[0]} shots, {os.fspath(src)} {shots.shape[0]}")
        if not k:
            obs = None

    with _replacing(outputs) as temps:
        if dst_fmt == "kvlx":
            try:
                with KvlxWriter(temps[0]) as w:
                    w.write_shots(shots, obs, layout=lay, dem=dem_text)
            except OSError as e:  # a failed write names no file
                if e.filename is not None or e.strerror is None:
                    raise
                raise OSError(e.errno, e.strerror, os.fspath(dst)) from e
        elif obs is not None and obs_out is None:
            write_stim_file(np.concatenate([shots, obs], axis=1), temps[0], dst_fmt, shots.shape[1], k, dst)
        else:
            write_stim_file(shots, temps[0], dst_fmt, shots.shape[1], name=dst)
            if obs is not None:
                write_stim_file(obs, temps[1], obs_fmt, 0, k, obs_out)
    return int(shots.shape[0])


def stored_observable_count(path: Any, dem_text: str | None) -> int | None:
    """How many observables a KVLX file's shots carry, as the file says: the count its first frame
    states, else its stored model's observable count; None when it says neither."""
    from kelvane import kvlx

    count = kvlx.stored_num_observables(path) if isinstance(path, (str, os.PathLike)) and os.path.isfile(path) else None
    if count is None and dem_text is not None:
        from _kelvane import DetectorErrorModel

        count = DetectorErrorModel.parse(dem_text).observable_count
    return count


def _count_01_columns(path: Any) -> int:
    with open(os.fspath(path), "rb") as f:
        return len(f.readline().rstrip(b"\r\n"))
