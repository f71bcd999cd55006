"""What `kelvane.open` makes of a self-describing stream and of a model's detector coordinates."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from kelvane import kvlx


class NoStoredModel(ValueError):
    """``decoder="stored"`` on a stream that stores no model."""


def local_file(source: Any) -> str | None:
    """The path of `source` when it names a regular file (reading ahead of the stream must not
    consume a pipe's or a socket's data), else None."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if isinstance(path, str) and not path.startswith("tcp://") and os.path.isfile(path):
            return path
    return None


def is_stim_circuit(obj: Any) -> bool:
    """True for a ``stim.Circuit`` (checked by its class, without importing stim)."""
    kind = type(obj)
    return kind.__name__ == "Circuit" and (kind.__module__ == "stim" or kind.__module__.startswith("stim."))


def resolve(stream: Any, source: Any, decoder: Any, window_depth: int, layout: Any, per_shot: bool | None,
            errors: str = "raise", windowed: bool = False) -> tuple[Any, Any, bool, int | None]:
    """The decoder, layout and per_shot that `kelvane.open` configures `stream` (just opened on
    `source`) with, and the ancilla count to check the positional rule against once the stream
    has taken the decoder (None: no check). The stream's description is read (before its first
    frame, waiting for that frame) only when it can matter: for ``decoder="stored"``, a decoder
    without a layout, or (`windowed`) one whose windows may be shots or an endless stream.

    Windows decode shot by shot, unless per_shot says otherwise, when the stream says it is made
    of shots: its description stores a layout (streams of shots store theirs), or a local file's
    first frame carrying observable flips (a shot's truth, on its last frame) is followed by a
    round-0 frame or ends the file. Otherwise the stream is endless."""
    if is_stim_circuit(decoder):  # its decomposed model, as SpacetimeGraph.from_stim_circuit takes it
        decoder = decoder.detector_error_model(decompose_errors=True)
    stored = isinstance(decoder, str) and decoder == "stored"
    auto_shots = windowed and decoder is not None and per_shot is None and window_depth == 0
    description = None
    if stored or (decoder is not None and layout is None) or auto_shots:
        description = kvlx.read_description(stream, damaged="warn" if errors == "skip" else "raise")
    if stored:
        if description is None or description.dem_text is None:
            raise NoStoredModel(f"{os.fspath(source)} carries no detector error model (decoder='stored'): "
                             "pass the model as decoder=")
        from _kelvane import DetectorErrorModel

        decoder = DetectorErrorModel.parse(description.dem_text)
    says_shots = description is not None and description.layout is not None
    if auto_shots and (says_shots or ((path := local_file(source)) is not None and truth_ends_shots(path))):
        per_shot = True
    if decoder is not None and layout is None:
        if says_shots:
            layout = description.layout
            if per_shot is None and window_depth == 0:
                per_shot = True
        else:  # the first frame's width, which reading the description waited for (a file or tcp://)
            return decoder, layout, bool(per_shot), stream._first_ancillas
    return decoder, layout, bool(per_shot), None


def truth_ends_shots(path: str, look: int = 1 << 16) -> bool:
    """Whether the file's first frame carrying observable flips, within its first `look`
    frames, is followed by a round-0 frame or is its last: the flips are a shot's truth on its
    last frame. Damage in those frames answers no."""
    from _kelvane import KelvaneStream

    try:
        with KelvaneStream(path) as peek:
            batch = peek.read_batch(look)
            following = peek.read_batch(1)
    except (OSError, ValueError):
        return False
    marked = np.flatnonzero(batch.has_observable_flips)
    if not len(marked):
        return False
    k = int(marked[0])
    if k + 1 < len(batch):
        return int(batch.rounds[k + 1]) == 0
    return len(following) == 0 or int(following.rounds[0]) == 0


def detector_times(decoder: Any) -> dict[int, float]:
    """Each detector's time (its last coordinate) as the model declares it; empty when the model
    declares none or cannot be read here (a SpacetimeGraph, or Stim not installed)."""
    if hasattr(decoder, "get_detector_coordinates"):
        coords = decoder.get_detector_coordinates()
    else:
        try:
            import stim
        except ImportError:
            return {}
        from _kelvane import DetectorErrorModel, SpacetimeGraph

        if isinstance(decoder, SpacetimeGraph):
            return {}
        if isinstance(decoder, DetectorErrorModel):
            text = decoder.to_text()
        elif isinstance(decoder, os.PathLike) or (isinstance(decoder, str) and os.path.exists(decoder)):
            with open(decoder, encoding="utf-8") as f:
                text = f.read()
        else:
            text = str(decoder)
        try:
            coords = stim.DetectorErrorModel(text).get_detector_coordinates()
        except ValueError:
            return {}  # set_decoder reports the model's own errors
    return {d: c[-1] for d, c in coords.items() if len(c)}


def check_positional_rule(decoder: Any, ancillas: int) -> None:
    """ValueError when the positional rule (ancilla a of frame r is detector r * ancillas + a)
    puts detectors of different times into one frame."""
    if ancillas <= 0:
        return
    first_time: dict[int, tuple[int, float]] = {}
    for det, time in sorted(detector_times(decoder).items()):
        frame = det // ancillas
        seen = first_time.setdefault(frame, (det, time))
        if seen[1] != time:
            raise ValueError(
                f"the positional rule (ancilla a of frame r is detector r * {ancillas} + a) puts D{seen[0]} "
                f"(time {seen[1]:g}) and D{det} (time {time:g}) into one frame, against the model's detector "
                "coordinates: pass layout= (for a Stim circuit, kelvane.layout_from_stim(circuit))")
