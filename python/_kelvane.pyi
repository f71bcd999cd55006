# Type stubs for the _kelvane extension module (re-exported by the kelvane package).
import os
from types import TracebackType
from typing import Any, ClassVar, Iterator, Literal, TypeAlias, final, overload

import numpy as np
import numpy.typing as npt

__all__ = [
    "SyndromeFrame",
    "SyndromeWindow",
    "KelvaneStream",
    "CodeType",
    "DecoderResult",
    "LogicalCorrection",
    "DetectorErrorModel",
    "SpacetimeGraph",
    "LogicalErrorAccumulator",
    "KelvaneError",
    "__version__",
]

__version__: str

# A detector error model as the module takes one: DEM text, a DEM file path, a
# stim.DetectorErrorModel (anything whose str() is DEM text) or a kelvane model.
_DemSource: TypeAlias = str | os.PathLike[str] | DetectorErrorModel | Any

class KelvaneError(Exception):
    """The module's own error (``kelvane.KelvaneError``): ``observable_flips`` read on a frame that
    holds no prediction. Reading errors are ``OSError``, bad models and arguments ``ValueError``."""


def _check_layout(
    layout: npt.ArrayLike | str | os.PathLike[str], num_detectors: int | None = None
) -> npt.NDArray[np.int64]: ...

@final
class CodeType:
    """The code families a frame's ``code_type`` byte names, as constants (``CodeType.SURFACE_CODE``
    ...); ``SyndromeFrame.code_type`` itself is the plain integer."""

    SURFACE_CODE: ClassVar[CodeType]
    HONEYCOMB_CODE: ClassVar[CodeType]
    COLOR_CODE: ClassVar[CodeType]
    REPETITION_CODE: ClassVar[CodeType]
    TORIC_CODE: ClassVar[CodeType]
    BIVARIATE_BICYCLE: ClassVar[CodeType]
    HYPERGRAPH_PRODUCT: ClassVar[CodeType]
    FIBER_BUNDLE: ClassVar[CodeType]
    CUSTOM: ClassVar[CodeType]

@final
class LogicalCorrection:
    """One logical correction of a ``DecoderResult``: the observable (``logical_id``) and its Pauli
    text. The results this module hands out list none."""

    @property
    def logical_id(self) -> int:
        """The logical observable this correction applies to."""
    @property
    def pauli(self) -> str:
        """The Pauli correction to apply to that observable, as text."""

@final
class DecoderResult:
    """What a decoder concluded about one syndrome: ``observable_flips`` (bit k: observable k
    predicted flipped), ``confidence``, ``valid`` and ``corrections``. It is also the prediction
    row PyMatching's ``decode`` returns: ``numpy.asarray(result)`` is one uint8 per observable of
    the decoding model (the mask's 64 bits for a result made by hand), with ``len`` and indexing,
    so ``result != obs`` compares observable by observable."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, observable_flips: int, confidence: float = 1.0) -> DecoderResult: ...
    def __setstate__(self, state: tuple[tuple[tuple[int, str], ...], bool] | tuple[tuple[tuple[int, str], ...], bool, int], /) -> None: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __array__(self, dtype: npt.DTypeLike | None = None, copy: bool | None = None) -> npt.NDArray[Any]: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> int: ...
    @property
    def corrections(self) -> list[LogicalCorrection]:
        """The logical corrections, as LogicalCorrection records (a copy of the list)."""
    @property
    def confidence(self) -> float:
        """The decoder's confidence: 1.0 for a quiet syndrome, 0.9 for a decoded one, 0.0 for one no
        set of error mechanisms explains."""
    @property
    def observable_flips(self) -> int:
        """The observables predicted flipped, as a mask: bit k set means observable k flipped."""
    @property
    def valid(self) -> bool: ...

@final
class SyndromeFrame:
    """One frame of a KVLX stream: its header fields (``frame_id``, ``round``, ``timestamp_ns``,
    ...), detection events and measurement results, and, once decoded, the observable flips its
    decoder predicts (``observable_flips``) beside those it arrived with
    (``source_observable_flips``)."""

    @property
    def frame_id(self) -> int: ...
    @property
    def round(self) -> int: ...
    @property
    def timestamp_ns(self) -> int: ...
    @property
    def qubit_count(self) -> int: ...
    @property
    def ancilla_count(self) -> int: ...
    @property
    def detector_event_count(self) -> int: ...
    @property
    def code_type(self) -> int: ...
    @property
    def distance(self) -> int: ...
    @property
    def observable_flips(self) -> int: ...
    @property
    def source_observable_flips(self) -> int | None: ...
    @property
    def observable_flips_array(self) -> npt.NDArray[np.uint8] | None: ...
    @property
    def source_observable_flips_array(self) -> npt.NDArray[np.uint8] | None: ...
    @property
    def shot_incomplete(self) -> bool: ...
    @property
    def window_incomplete(self) -> bool: ...
    def meas_results(self) -> bytes: ...
    def to_numpy_detector_events(self) -> npt.NDArray[np.bool_]: ...
    def to_numpy_meas_results(self) -> npt.NDArray[np.int8]: ...
    def null_decode(self) -> DecoderResult: ...
    def to_dict(self) -> dict[str, Any]: ...

@final
class SyndromeWindow:
    """The last ``window_depth`` frames' detection events, ``ancilla_count`` per row, as a
    decoder sees them: pushed one frame at a time, the oldest dropped when full."""

    def __new__(cls, ancilla_count: int, window_depth: int) -> SyndromeWindow: ...
    def __len__(self) -> int: ...
    def push(self, frame: SyndromeFrame) -> None: ...
    def push_numpy(self, detector_events: npt.NDArray[Any], frame_id: int, round: int) -> None: ...
    def to_numpy_matrix(self) -> npt.NDArray[np.bool_]: ...
    def active_detectors(self) -> list[int]: ...
    def is_full(self) -> bool: ...
    def is_empty(self) -> bool: ...

# The frames KelvaneStream.read_batch returns, as NumPy columns (its class, FrameBatch, is not
# published by name).
@final
class _FrameBatch:
    """Many frames as NumPy columns (``KelvaneStream.read_batch``): one row per frame."""

    def __len__(self) -> int: ...
    @property
    def detector_events(self) -> npt.NDArray[np.bool_]: ...
    @property
    def frame_ids(self) -> npt.NDArray[np.uint64]: ...
    @property
    def rounds(self) -> npt.NDArray[np.uint32]: ...
    @property
    def timestamps_ns(self) -> npt.NDArray[np.uint64]: ...
    @property
    def observable_flips(self) -> npt.NDArray[np.uint64]: ...
    @property
    def has_observable_flips(self) -> npt.NDArray[np.bool_]: ...

# What a stream says about itself (KelvaneStream.description; published as _StreamDescription).
@final
class _StreamDescription:
    """What a self-describing stream stores: its frame ``layout``, its model (``dem_text``) and
    their ``hash``."""

    @property
    def layout(self) -> npt.NDArray[np.int64] | None: ...
    @property
    def dem_text(self) -> str | None: ...
    @property
    def hash(self) -> bytes: ...

@final
class KelvaneStream:
    """A stream of KVLX frames from a file (followed as it grows) or a ``tcp://host:port``
    connection: iterate it for ``SyndromeFrame`` objects, or ``read_batch`` NumPy columns; with
    ``set_decoder`` every frame is decoded as it is read. ``kelvane.open`` makes one."""

    def __new__(cls, source: str | os.PathLike[str] | os.PathLike[bytes], *, timeout: float | None = None) -> KelvaneStream: ...
    def __iter__(self) -> Iterator[SyndromeFrame]: ...
    def __next__(self) -> SyndromeFrame: ...
    def read_batch(self, max_frames: int) -> _FrameBatch: ...
    def set_decoder(
        self,
        dem: _DemSource | SpacetimeGraph,
        window_depth: int = 0,
        *,
        layout: npt.ArrayLike | str | os.PathLike[str] | None = None,
        per_shot: bool = False,
        commit: int | None = None,
        buffer: int | None = None,
        enable_correlations: bool = False,
        follow: bool = False,
        num_threads: int = 1,
        method: Literal["union-find", "matching"] = "union-find",
    ) -> None:
        """Configure the Union-Find decoder from a DEM.

        Parameters
        ----------
        dem:
            Accepts a file path (str or pathlib.Path), an inline DEM text string,
            or a ``stim.DetectorErrorModel`` object (``str(dem)`` gives the text).
        window_depth:
            Number of syndrome rounds per decode window. 0 = auto-infer from
            ``detector_count / ancilla_count`` (default).
        layout:
            Which detector each frame bit is: a 2-D integer array (rounds x ancillas,
            -1 for no detector), e.g. from ``kelvane.layout_from_stim(circuit)``, or the
            path of a ``.npy`` file holding one. None (default): positional, frame bit a of
            window row r is detector ``r * ancilla_count + a``. Ids out of range or listed
            twice raise ValueError, and so do frames whose ancilla count differs.
        per_shot:
            False (default): decode every frame with the rounds before it (a window as
            deep as the layout). True: group frames into shots of the layout's depth (a
            frame with round 0 starts one) and decode each shot once, when its last frame
            arrives; that frame carries the prediction, earlier ones none. Shots cut
            short are warned about, flagged (``frame.shot_incomplete``), counted
            (``stream.incomplete_shots``) and never decoded.
        commit, buffer:
            Both set (with ``layout``): decode in overlapping windows of commit + buffer
            rounds as frames arrive, keeping the correction of the first ``commit`` rounds
            of each. A frame that closes a commit step carries the flips committed so far,
            other frames none. With ``per_shot=True`` each shot's last frame carries its
            prediction; without, the stream never ends (a frame of round 0 restarts it,
            except round 0 with the next frame_id after round 2**32 - 1). Its frames are
            placed by ``round``: rounds that never arrive are decoded as quiet, counted
            (``stream.missing_rounds``), warned about once and flagged on the frames
            carrying the commits they affect (``frame.window_incomplete``).
        enable_correlations:
            True: build the graph keeping the model's decomposed error mechanisms and decode
            each window in two passes, as ``SpacetimeGraph.decode(..., enable_correlations=True)``.
            A ``SpacetimeGraph`` given as dem must have been built with it.
        follow:
            True: the end of the data is not the end of a shot, for a file read while it
            grows: a shot the end cuts stays open, and the frames appended later complete it.
            False (default): the end of the data ends the shot (cut short, as above).
        num_threads:
            With commit and buffer, above 1 (0: one per core): decode in parallel windows on
            that many threads, as ``SpacetimeGraph.sliding_decoder(num_threads=)`` does (other
            predictions than one thread's, the same for any count above 1).
        method:
            "union-find" (default): the Union-Find decoder. "matching": exact minimum-weight
            perfect matching, as ``SpacetimeGraph.decode(..., method="matching")``, in every
            schedule (per shot, sliding, windows, parallel windows, ``drain``); with
            ``enable_correlations``, correlated matching. Kept across ``swap_model``.

        With ``layout`` or ``per_shot``, a layout that cannot cover the model or a frame
        raises ValueError; by default the stream keeps decoding and warns once
        (RuntimeWarning). Without ``layout``, a model whose detector coordinates show that
        the positional rule puts detectors of different times into one frame is warned about
        (RuntimeWarning) here when the frames' width is known (the stream's stored layout, or
        frames read already), else at the first frame. ``frame.source_observable_flips`` keeps the flips a frame
        arrived with.
        """
    def decoder_stats(self) -> dict[str, int | float] | None: ...
    def swap_model(self, dem: Any) -> None: ...
    def _gather_for_learning(self, pairs: Any, every: int, on_block: Any = None) -> None: ...
    def _learning_block(self) -> tuple[int, Any, Any] | None: ...
    @property
    def model_swaps(self) -> int: ...
    def drain(self, max_wait: float = 0.25, *, detector_flips: bool = False) -> bytes | None: ...
    def decisions_written(self) -> None: ...
    def live_stats(self) -> dict[str, Any] | None: ...
    def _live_counts(self) -> dict[str, Any] | None: ...
    def _set_read_ahead(self, read_ahead: int, /) -> None: ...
    @property
    def description(self) -> _StreamDescription | None: ...
    @property
    def _first_ancillas(self) -> int | None: ...
    @property
    def skipped_bytes(self) -> int: ...
    @property
    def incomplete_shots(self) -> int: ...
    @property
    def missing_rounds(self) -> int: ...
    @property
    def unsatisfiable_shots(self) -> int: ...
    def close(self) -> None: ...
    def __enter__(self) -> KelvaneStream: ...
    def __exit__(
        self, _exc_type: type[BaseException] | None, _exc_val: BaseException | None, _tb: TracebackType | None
    ) -> bool: ...

@final
class DetectorErrorModel:
    """A parsed detector error model (Stim's DEM text): ``parse`` or ``from_file`` make one;
    ``to_graph`` builds its decoding graph."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, value: object, /) -> bool: ...
    @staticmethod
    def parse(text: str | Any) -> DetectorErrorModel: ...
    @staticmethod
    def from_file(path: str | os.PathLike[str]) -> DetectorErrorModel: ...
    def to_schema_json(self, name: str) -> str: ...
    def to_pymatching(self) -> Any: ...
    def to_text(self) -> str: ...
    def to_graph(self) -> SpacetimeGraph: ...
    @property
    def detector_count(self) -> int: ...
    @property
    def observable_count(self) -> int: ...
    @property
    def error_count(self) -> int: ...

@final
class SpacetimeGraph:
    """The decoding graph of a detector error model, with PyMatching's names: build it with
    ``from_detector_error_model``, ``from_stim_circuit``, ``from_detector_error_model_file`` or
    ``from_check_matrix``, and decode with ``decode`` (one shot) or ``decode_batch`` (many, as
    PyMatching's arrays), ``decode_sliding`` or a ``sliding_decoder``."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, value: object, /) -> bool: ...
    @staticmethod
    def from_detector_error_model(
        dem: _DemSource | SpacetimeGraph, *, enable_correlations: bool = False
    ) -> SpacetimeGraph: ...
    @staticmethod
    def from_stim_circuit(circuit: Any, *, enable_correlations: bool = False) -> SpacetimeGraph: ...
    @staticmethod
    def from_detector_error_model_file(path: str | os.PathLike[str]) -> SpacetimeGraph: ...
    # Added by the kelvane package (kelvane._check_matrix), as PyMatching's Matching.from_check_matrix.
    @classmethod
    def from_check_matrix(
        cls,
        check_matrix: npt.ArrayLike | Any,
        weights: float | npt.ArrayLike | None = None,
        error_probabilities: float | npt.ArrayLike | None = None,
        repetitions: int | None = None,
        timelike_weights: float | npt.ArrayLike | None = None,
        measurement_error_probabilities: float | npt.ArrayLike | None = None,
        *,
        faults_matrix: npt.ArrayLike | Any | None = None,
        merge_strategy: Literal["disallow", "independent", "smallest-weight", "keep-original", "replace"] = "smallest-weight",
        use_virtual_boundary_node: bool = False,
    ) -> SpacetimeGraph: ...
    @staticmethod
    def from_bytes(data: bytes) -> SpacetimeGraph: ...
    def to_bytes(self) -> bytes: ...
    @overload
    def decode(
        self,
        detection_events: npt.ArrayLike,
        *,
        bit_packed_shots: bool = False,
        enable_correlations: bool = False,
        match_clusters: bool | Literal["touching"] = False,
        method: Literal["union-find", "matching"] = "union-find",
        return_weight: Literal[False] = False,
    ) -> DecoderResult: ...
    @overload
    def decode(
        self,
        detection_events: npt.ArrayLike,
        *,
        bit_packed_shots: bool = False,
        enable_correlations: bool = False,
        match_clusters: bool | Literal["touching"] = False,
        method: Literal["union-find", "matching"] = "union-find",
        return_weight: Literal[True],
    ) -> tuple[DecoderResult, float]: ...
    def decode_to_edges_array(
        self,
        detection_events: npt.ArrayLike,
        *,
        bit_packed_shots: bool = False,
        enable_correlations: bool = False,
        method: Literal["union-find", "matching"] = "union-find",
    ) -> npt.NDArray[np.int64]: ...
    @overload
    def decode_batch(
        self,
        shots: npt.ArrayLike,
        *,
        bit_packed_shots: bool = False,
        bit_packed_predictions: bool = False,
        return_masks: bool = False,
        num_threads: int = 1,
        return_valid: Literal[False] = False,
        enable_correlations: bool = False,
        match_clusters: bool | Literal["touching"] = False,
        method: Literal["union-find", "matching"] = "union-find",
        return_weights: Literal[False] = False,
    ) -> npt.NDArray[Any]: ...
    @overload
    def decode_batch(
        self,
        shots: npt.ArrayLike,
        *,
        bit_packed_shots: bool = False,
        bit_packed_predictions: bool = False,
        return_masks: bool = False,
        num_threads: int = 1,
        return_valid: Literal[True],
        enable_correlations: bool = False,
        match_clusters: bool | Literal["touching"] = False,
        method: Literal["union-find", "matching"] = "union-find",
        return_weights: Literal[False] = False,
    ) -> tuple[npt.NDArray[Any], npt.NDArray[np.bool_]]: ...
    @overload
    def decode_batch(
        self,
        shots: npt.ArrayLike,
        *,
        bit_packed_shots: bool = False,
        bit_packed_predictions: bool = False,
        return_masks: bool = False,
        num_threads: int = 1,
        return_valid: Literal[False] = False,
        enable_correlations: bool = False,
        match_clusters: bool | Literal["touching"] = False,
        method: Literal["union-find", "matching"] = "union-find",
        return_weights: Literal[True],
    ) -> tuple[npt.NDArray[Any], npt.NDArray[np.float64]]: ...
    @overload
    def decode_batch(
        self,
        shots: npt.ArrayLike,
        *,
        bit_packed_shots: bool = False,
        bit_packed_predictions: bool = False,
        return_masks: bool = False,
        num_threads: int = 1,
        return_valid: Literal[True],
        enable_correlations: bool = False,
        match_clusters: bool | Literal["touching"] = False,
        method: Literal["union-find", "matching"] = "union-find",
        return_weights: Literal[True],
    ) -> tuple[npt.NDArray[Any], npt.NDArray[np.bool_], npt.NDArray[np.float64]]: ...
    def _decode_trace(
        self, fired: Any, /
    ) -> tuple[int, list[tuple[int, int, float]], list[tuple[int, int]]]: ...
    def decode_sliding(
        self,
        detection_events: npt.NDArray[Any],
        *,
        commit: int,
        buffer: int,
        num_threads: int = 1,
        enable_correlations: bool = False,
        method: Literal["union-find", "matching"] = "union-find",
    ) -> npt.NDArray[np.uint8]: ...
    def sliding_decoder(
        self,
        *,
        commit: int,
        buffer: int,
        enable_correlations: bool = False,
        num_threads: int = 1,
        method: Literal["union-find", "matching"] = "union-find",
    ) -> _SlidingWindowDecoder: ...
    @property
    def node_count(self) -> int:
        """Graph nodes: the model's detectors plus the boundary node (num_detectors + 1)."""
    @property
    def edge_count(self) -> int:
        """Graph edges as built from the model, one per graphlike error component, parallel edges
        not folded (num_edges counts them folded, as PyMatching does)."""
    @property
    def boundary_node(self) -> int:
        """The boundary node's id: the detector count, one past the last detector node."""
    @property
    def num_detectors(self) -> int: ...
    @property
    def num_nodes(self) -> int: ...
    @property
    def num_edges(self) -> int: ...
    @property
    def num_fault_ids(self) -> int: ...

# The decoder SpacetimeGraph.sliding_decoder returns (its class, SlidingWindowDecoder, is not
# published by name).
@final
class _SlidingWindowDecoder:
    """Decodes one stream's rounds in overlapping windows as they arrive
    (``SpacetimeGraph.sliding_decoder``), committing ``commit`` rounds at a time."""

    def start(self, rounds: int | None = None) -> None: ...
    def push_rounds(self, events: npt.ArrayLike) -> int: ...
    def finish(self) -> int: ...
    def stats(self) -> dict[str, int | float]: ...
    @property
    def committed_flips(self) -> int: ...
    @property
    def committed_flips_array(self) -> npt.NDArray[np.uint8]: ...
    @property
    def committed_rounds(self) -> int: ...
    @property
    def received_rounds(self) -> int: ...
    @property
    def head_rounds(self) -> int: ...
    @property
    def tail_rounds(self) -> int: ...
    @property
    def period(self) -> int: ...
    @property
    def round_sizes(self) -> list[int]: ...

@final
class LogicalErrorAccumulator:
    """Counts logical errors per observable from decoder results and the true flips, and reports
    the logical error rates."""

    def __new__(cls, observable_count: int) -> LogicalErrorAccumulator: ...
    def record(self, result: DecoderResult, ground_truth: int | np.integer[Any] | np.bool_ | npt.NDArray[np.bool_]) -> None: ...
    def record_batch(self, predictions: npt.NDArray[Any], ground_truth: npt.NDArray[Any]) -> None: ...
    def logical_error_rate(self, observable: int) -> float: ...
    def mean_logical_error_rate(self) -> float: ...
    def total_shots(self) -> int: ...
    def reset(self) -> None: ...

@final
# kelvane.CorrelationCounter (published here under a private name, not in __all__).
class _CorrelationCounter:
    """``kelvane.CorrelationCounter``: counts how often given pairs of detectors fire together
    over many shots (the input to learning a model's error rates)."""

    def __new__(cls, detector_count: int, pairs: npt.ArrayLike) -> _CorrelationCounter: ...
    def add(self, detection_events: npt.ArrayLike, bit_packed: bool = False) -> None: ...
    def reset(self) -> None: ...
    @property
    def shots(self) -> int: ...
    @property
    def fired(self) -> npt.NDArray[np.uint64]: ...
    @property
    def both_fired(self) -> npt.NDArray[np.uint64]: ...
