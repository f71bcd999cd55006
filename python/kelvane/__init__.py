"""kelvane: stream QEC syndrome frames (KVLX) into Python and decode them."""

# Imported under private names: the package's namespace is its API (__all__).
import os as _os
from typing import TYPE_CHECKING as _TYPE_CHECKING, Any as _Any, Literal as _Literal, overload as _overload

from _kelvane import *  # noqa: F401,F403
from _kelvane import KelvaneStream
from _kelvane import _CorrelationCounter
from _kelvane import __all__ as _native_all, __version__  # noqa: F401

from kelvane import _pickle  # noqa: F401,E402  (registers the pickle reducers)
from kelvane._check_matrix import from_check_matrix as _from_check_matrix  # noqa: E402
from kelvane._convert import convert as convert  # noqa: E402
from kelvane._learning import LearningStream as LearningStream  # noqa: E402
from kelvane._skipping import SkippingStream as SkippingStream  # noqa: E402
from kelvane.detector_rates import detector_report as detector_report  # noqa: E402
from kelvane.learn import estimate_error_model as estimate_error_model  # noqa: E402

if _TYPE_CHECKING:
    import numpy as np

    from kelvane.experiment import StimExperiment

# PyMatching's constructor from a check matrix, on the extension's graph class.
SpacetimeGraph.from_check_matrix = classmethod(_from_check_matrix)  # type: ignore[attr-defined]  # noqa: F405

# An assignment, not an `import ... as`, so that type checkers see it exported (mypy --strict).
CorrelationCounter = _CorrelationCounter

__all__ = list(_native_all) + ["open", "sinter_decoders", "convert", "layout_from_stim", "write_stim_experiment",
                                     "detector_report", "estimate_error_model", "sinter_decoder_for_model", "SkippingStream",
                                     "LearningStream", "CorrelationCounter"]


@_overload
def open(  # noqa: A001 - the entry point
    source: str | _os.PathLike[str],
    decoder: _Any = None,
    window_depth: int = 0,
    *,
    layout: _Any = None,
    per_shot: bool | None = None,
    timeout: float | None = None,
    commit: int | None = None,
    buffer: int | None = None,
    enable_correlations: bool = False,
    follow: bool = False,
    num_threads: int = 1,
    method: _Literal["union-find", "matching"] = "union-find",
    learn_every: None = None,
    learn_memory: None = None,
    errors: _Literal["raise"] = "raise",
    read_ahead: int | None = None,
) -> KelvaneStream: ...


@_overload
def open(  # noqa: A001 - the entry point
    source: str | _os.PathLike[str],
    decoder: _Any = None,
    window_depth: int = 0,
    *,
    layout: _Any = None,
    per_shot: bool | None = None,
    timeout: float | None = None,
    commit: int | None = None,
    buffer: int | None = None,
    enable_correlations: bool = False,
    follow: bool = False,
    num_threads: int = 1,
    method: _Literal["union-find", "matching"] = "union-find",
    learn_every: int,
    learn_memory: int | None = None,
    errors: _Literal["raise"] = "raise",
    read_ahead: int | None = None,
) -> LearningStream: ...


@_overload
def open(  # noqa: A001 - the entry point
    source: str | _os.PathLike[str],
    decoder: _Any = None,
    window_depth: int = 0,
    *,
    layout: _Any = None,
    per_shot: bool | None = None,
    timeout: float | None = None,
    commit: int | None = None,
    buffer: int | None = None,
    enable_correlations: bool = False,
    follow: bool = False,
    num_threads: int = 1,
    method: _Literal["union-find", "matching"] = "union-find",
    learn_every: int | None = None,
    learn_memory: int | None = None,
    errors: _Literal["skip"],
    read_ahead: int | None = None,
) -> SkippingStream: ...


def open(  # noqa: A001 - the entry point
    source: str | _os.PathLike[str],
    decoder: _Any = None,
    window_depth: int = 0,
    *,
    layout: _Any = None,
    per_shot: bool | None = None,
    timeout: float | None = None,
    commit: int | None = None,
    buffer: int | None = None,
    enable_correlations: bool = False,
    follow: bool = False,
    num_threads: int = 1,
    method: _Literal["union-find", "matching"] = "union-find",
    learn_every: int | None = None,
    learn_memory: int | None = None,
    errors: _Literal["raise", "skip"] = "raise",
    read_ahead: int | None = None,
) -> KelvaneStream | SkippingStream | LearningStream:
    """Open a `KelvaneStream` over a file path or a "tcp://host:port" address.

    `timeout` (seconds, or None to wait without limit) bounds the connection or the opening of a
    FIFO, and every later wait for a frame: past it, `TimeoutError`, and the stream stays usable.

    With `decoder` (a DEM path, DEM text, a ``stim.DetectorErrorModel``, a ``stim.Circuit``
    (its decomposed model, as ``SpacetimeGraph.from_stim_circuit`` takes it), a kelvane
    ``DetectorErrorModel`` or a ``SpacetimeGraph``) the stream decodes its frames, exactly as
    after ``stream.set_decoder(decoder, window_depth, layout=layout, per_shot=per_shot,
    commit=commit, buffer=buffer, enable_correlations=enable_correlations, follow=follow,
    num_threads=num_threads, method=method)``:
    `layout` says which detector each frame bit is (see `layout_from_stim`), and
    ``per_shot=True`` decodes each shot once, on its last frame; `commit` and `buffer` decode
    in overlapping windows as frames arrive (see ``set_decoder``), in parallel windows on
    `num_threads` threads when above 1 (0: one per core); ``enable_correlations=True``
    decodes with correlations (two passes per decode); ``method="matching"`` decodes by exact
    minimum-weight perfect matching instead of Union-Find in every schedule, model swaps
    included (correlated matching with ``enable_correlations``); ``follow=True`` keeps a shot
    that the end of a growing file cuts open, for the frames appended later. If configuring the
    decoder fails, the stream is closed and the error propagates.

    A stream written by ``write_stim_experiment`` (or ``KvlxWriter.write_shots`` with a layout)
    describes itself (``stream.description``), from a file or over TCP: without ``layout`` the
    stream decodes with the layout stored in it, shot by shot unless ``per_shot=False`` or a
    ``window_depth`` says otherwise, and ``decoder="stored"`` decodes with the model stored in
    it. Reading the description waits for the stream's first frame (within `timeout`: past it,
    `TimeoutError`, rather than a stream that decodes without the stored layout). A
    round-0 frame whose description hash names another layout than the one decoding is an
    error (``ValueError``) with ``layout`` or shot-by-shot decoding, else a ``RuntimeWarning``.
    With `commit` and `buffer` (and no `per_shot`) a stream of shots decodes shot by shot whether
    its layout is given or stored: a stream that describes itself with a layout is one, and so
    is a file whose first frame carrying observable flips (a shot's truth) ends a shot;
    anything else is one endless stream (``per_shot=False`` asks for that).

    ``learn_every=N`` returns a `LearningStream`: every N shots it re-estimates the model's
    probabilities from those shots (`kelvane.estimate_error_model`) and swaps the estimate in
    without stopping the stream (between shots, or between windows in the sliding schedules),
    counting the swaps in ``model_swaps``; ``model`` is the model decoding now.
    ``learn_memory=M`` (M >= N) estimates from about the last M shots instead: each earlier
    block's counts weigh ``(1 - N / M)`` times less per block of age, so a model re-learned
    often (small N) stays as precise as one learned from M shots and still follows a drift. Without a layout from either, a
    model whose detector coordinates show that the positional rule would put detectors of
    different times into one frame is refused with ValueError.

    ``read_ahead`` (bytes, default 4 MiB) caps the frames ``drain()`` reads ahead of the decoder:
    past it reading waits, so that a file is read no faster than it is decoded and a TCP sender
    faster than the decoder is held by TCP's flow control, memory staying bounded.

    ``errors="skip"`` returns a `SkippingStream`: damaged frames are skipped (one
    ``RuntimeWarning`` per kind of damage) and counted in its ``skipped_frames``,
    ``skipped_bytes`` and ``skipped_by_kind``, and a damaged stored description is left unused
    with a ``RuntimeWarning``; ``errors="raise"`` (the default) raises their ``OSError`` as
    ``KelvaneStream`` does, and ``ValueError`` for a damaged description.

    An ``OSError`` about one frame (damage, data ending inside it, a failed check) says where
    the frame is in its attributes: ``offset``, the stream offset of the frame's first byte, and
    ``frame_id``, the id in its header when the header's CRC verifies; either is None where
    unknown (file-header errors, failed reads). The message itself names neither.
    """
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', got {errors!r}")
    from kelvane import _describe

    from kelvane._wrapper import open_native

    stream = open_native(source, timeout=timeout)
    result: KelvaneStream | LearningStream = stream
    try:
        decoder, layout, per_shot, positional = _describe.resolve(stream, source, decoder, window_depth, layout,
                                                                  per_shot, errors, commit is not None)
        if learn_every is not None and decoder is None:
            raise ValueError("learn_every re-learns the decoder's model: it needs a decoder")
        if learn_memory is not None and learn_every is None:
            raise ValueError("learn_memory says how many shots learn_every learns from: it needs learn_every")
    except BaseException:
        stream.close()
        raise
    if read_ahead is not None:
        try:
            stream._set_read_ahead(read_ahead)
        except BaseException:
            stream.close()
            raise
    if decoder is not None:
        try:
            stream.set_decoder(decoder, window_depth, layout=layout, per_shot=per_shot, commit=commit, buffer=buffer,
                               enable_correlations=enable_correlations, follow=follow, num_threads=num_threads,
                               method=method)
            if positional is not None:  # after set_decoder, whose own errors come first
                _describe.check_positional_rule(decoder, positional)
            if learn_every is not None:
                result = LearningStream(stream, decoder, learn_every, memory=learn_memory)
        except BaseException:
            stream.close()
            raise
    return SkippingStream(result) if errors == "skip" else result  # type: ignore[arg-type]


def sinter_decoders() -> dict[str, _Any]:
    """sinter decoders backed by kelvane, for ``sinter.collect(custom_decoders=...)``.

    Returns ``{"kelvane-uf": ..., "kelvane-uf-correlated": ..., "kelvane-uf-matched": ...,
    "kelvane-matching": ..., "kelvane-matching-correlated": ...}``: the weighted Union-Find
    decoder, the same decoding with correlations (two passes; needs a DEM generated with
    ``decompose_errors=True``), with cluster matching (``match_clusters=True``), and kelvane's
    exact minimum-weight matching decoder (``method="matching"``) plain and correlated, fed
    sinter's bit-packed shots directly. Needs sinter installed.
    """
    from kelvane._sinter import sinter_decoders as decoders

    return decoders()


def sinter_decoder_for_model(dem: _Any, *, correlated: bool = False,
                             method: _Literal["union-find", "matching"] = "union-find") -> _Any:
    """A sinter decoder that decodes every task with `dem` (e.g. a model from
    `estimate_error_model`) instead of the task's own model.

    The task's model must have as many detectors and observables as `dem`; else compiling it
    raises ValueError. With `correlated`, the two-pass correlated decoder; ``method="matching"``
    decodes by exact matching (correlated matching with `correlated`). Needs sinter.
    """
    from kelvane._sinter import FixedModelDecoder

    if method not in ("union-find", "matching"):
        raise ValueError('method must be "union-find" or "matching"')
    return FixedModelDecoder(dem, correlated=correlated, method=method)


def layout_from_stim(circuit: _Any) -> "np.ndarray":
    """The frame layout of a Stim circuit: which detector each bit of each round's frame is.

    Returns an int64 array of shape (rounds, ancillas), -1 where a slot has no detector: rounds
    are the detectors' distinct times (their last coordinate), slots their distinct spatial
    coordinates, both in increasing order. See `kelvane.experiment`.
    """
    from kelvane.experiment import layout_from_stim as derive

    return derive(circuit)


def write_stim_experiment(
    circuit: _Any, shots: int, path: str | _os.PathLike[str], *, seed: int | None = None
) -> "StimExperiment":
    """Sample a Stim circuit and write one KVLX frame per round to `path`, vectorised.

    The last frame of each shot carries the true observable flips. Returns an object with
    ``.dem`` (the decomposed ``stim.DetectorErrorModel``), ``.layout``, ``.detection_events``
    and ``.observables`` (as Stim samples them with ``separate_observables=True``).
    """
    from kelvane.experiment import write_stim_experiment as write

    return write(circuit, shots, path, seed=seed)
