"""``SpacetimeGraph.from_check_matrix``: a decoding graph from a binary check matrix, for
code-capacity and phenomenological noise studies, with PyMatching's conventions.

The matrix becomes a detector error model: every row is a detector, every column an error
mechanism that flips its one or two rows (one: an edge to the boundary) and the fault ids its
column of ``faults_matrix`` names (observable ``L{k}`` for fault id k). With ``repetitions=T``
the detectors are repeated T times (detector ``i + t * rows`` is row i at time t) and
consecutive copies of a row are joined by a timelike edge, a measurement error that flips no
fault id. A weight w becomes the probability 1 / (1 + e^w), so that the graph's weight
ln((1 - p) / p) is w again.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

MERGE_STRATEGIES = ("disallow", "independent", "smallest-weight", "keep-original", "replace")
MAX_FAULT_IDS = 256  # a model's observables are L0 to L255


def _columns(matrix: Any, what: str) -> tuple[list[np.ndarray], int, int]:
    """The row indices of each column's non-zero entries, and the matrix's shape: a SciPy sparse
    matrix is read column by column without making it dense."""
    if hasattr(matrix, "tocsc"):
        csc = matrix.tocsc(copy=True)
        csc.eliminate_zeros()
        csc.sort_indices()
        rows, cols = csc.shape
        return [csc.indices[csc.indptr[j] : csc.indptr[j + 1]] for j in range(cols)], rows, cols
    dense = np.asarray(matrix)
    if dense.ndim != 2:
        raise ValueError(f"{what} must be a 2-D matrix, got shape {dense.shape}")
    if not (np.issubdtype(dense.dtype, np.number) or dense.dtype == np.bool_):
        raise ValueError(f"{what} must hold 0/1 numbers, got dtype {dense.dtype}")
    rows, cols = dense.shape
    return [np.flatnonzero(dense[:, j]) for j in range(cols)], rows, cols


def _per_item(value: Any, count: int, name: str, items: str, default: float | None) -> np.ndarray | None:
    """`value` (None, one number, or one number per item) as `count` floats; None stays None
    when there is no default."""
    if value is None:
        return None if default is None else np.full(count, default)
    array = np.asarray(value, dtype=np.float64)
    if array.ndim == 0:
        array = np.full(count, float(array))
    if array.shape != (count,):
        raise ValueError(f"{name} must be one number or {count} (one per {items}), got shape {array.shape}")
    if np.isnan(array).any():
        raise ValueError(f"{name} holds NaN")
    return array


def _probability(weight: float) -> float:
    """The probability whose weight ln((1 - p) / p) is `weight` (0 for an infinite weight)."""
    if weight >= 0:
        tail = math.exp(-weight)
        return tail / (1.0 + tail)
    return 1.0 / (1.0 + math.exp(weight))


def _independent(w1: float, w2: float) -> float:
    """The weight of two independent mechanisms on one edge: p = p1 (1 - p2) + p2 (1 - p1)."""
    p1, p2 = _probability(w1), _probability(w2)
    p = p1 * (1 - p2) + p2 * (1 - p1)
    if p <= 0:
        return math.inf
    return math.log((1 - p) / p) if p < 1 else -math.inf


def check_matrix_model(check_matrix: Any, weights: Any = None, error_probabilities: Any = None,
                       repetitions: int | None = None, timelike_weights: Any = None,
                       measurement_error_probabilities: Any = None, *, faults_matrix: Any = None,
                       merge_strategy: str = "smallest-weight") -> str:
    """The detector error model text of `from_check_matrix` (see there)."""
    columns, rows, cols = _columns(check_matrix, "check_matrix")
    for j, hit in enumerate(columns):
        if hit.size > 2:
            raise ValueError(f"check_matrix must contain at most two ones per column, but column {j} has "
                             f"{hit.size} ones")
    if merge_strategy not in MERGE_STRATEGIES:
        raise ValueError(f"merge_strategy must be one of {', '.join(MERGE_STRATEGIES)}, got {merge_strategy!r}")
    spacelike = _per_item(weights, cols, "weights", "column of check_matrix", 1.0)
    _per_item(error_probabilities, cols, "error_probabilities", "column of check_matrix", None)
    reps = 1 if repetitions is None else int(repetitions)
    if reps < 1:
        raise ValueError(f"repetitions must be 1 or more, got {repetitions}")
    timelike = _per_item(timelike_weights, rows, "timelike_weights", "row of check_matrix", 1.0)
    _per_item(measurement_error_probabilities, rows, "measurement_error_probabilities", "row of check_matrix", None)
    if faults_matrix is None:
        faults, fault_ids = [[j] for j in range(cols)], cols
    else:
        fault_columns, fault_ids, fault_cols = _columns(faults_matrix, "faults_matrix")
        if fault_cols != cols:
            raise ValueError(f"faults_matrix has {fault_cols} columns, but check_matrix has {cols}: one per column")
        faults = [hit.tolist() for hit in fault_columns]
    if fault_ids > MAX_FAULT_IDS:
        raise ValueError(f"{fault_ids} fault ids, but a graph predicts at most {MAX_FAULT_IDS} (its observables): "
                         "give faults_matrix, for instance the code's logical operators")
    assert spacelike is not None and timelike is not None

    # One edge per pair of rows (or row and boundary): parallel columns merge by the strategy,
    # and the fault ids kept are the first column's except where "replace" or a smaller weight
    # takes the new one whole.
    edges: dict[tuple[int, int | None], tuple[float, list[int]]] = {}
    for j, hit in enumerate(columns):
        if hit.size == 0:
            continue
        key = (int(hit[0]), int(hit[1]) if hit.size == 2 else None)
        new = (float(spacelike[j]), faults[j])
        old = edges.get(key)
        if old is None or merge_strategy == "replace" or (merge_strategy == "smallest-weight" and new[0] < old[0]):
            edges[key] = new
        elif merge_strategy == "disallow":
            pair = f"({key[0]}, {'boundary' if key[1] is None else key[1]})"
            raise ValueError(f"columns of check_matrix make the edge {pair} twice, which merge_strategy='disallow' "
                             "refuses: give another merge_strategy")
        elif merge_strategy == "independent":
            edges[key] = (_independent(old[0], new[0]), old[1])

    lines = [f"detector D{d}" for d in range(rows * reps)]
    if fault_ids:
        lines.append(f"logical_observable L{fault_ids - 1}")
    for t in range(reps):
        shift = t * rows
        for (a, b), (weight, ids) in edges.items():
            targets = f"D{a + shift}" + ("" if b is None else f" D{b + shift}") + "".join(f" L{k}" for k in ids)
            lines.append(f"error({_probability(weight)!r}) {targets}")
    for t in range(reps - 1):
        for i in range(rows):
            lines.append(f"error({_probability(float(timelike[i]))!r}) D{i + t * rows} D{i + (t + 1) * rows}")
    return "\n".join(lines) + "\n"


def from_check_matrix(cls: Any, check_matrix: Any, weights: Any = None, error_probabilities: Any = None,
                      repetitions: int | None = None, timelike_weights: Any = None,
                      measurement_error_probabilities: Any = None, *, faults_matrix: Any = None,
                      merge_strategy: str = "smallest-weight", use_virtual_boundary_node: bool = False) -> Any:
    """A decoding graph from a binary check matrix, as PyMatching's ``Matching.from_check_matrix``.

    ``check_matrix`` (a NumPy array, nested lists or a SciPy sparse matrix) has one row per
    check (detector) and one column per error, with at most two ones per column: a column with
    two ones is an edge between those checks, one with a single one an edge to the boundary, an
    empty column nothing. ``weights`` (one number, or one per column; default 1.0) are the edge
    weights, ln((1 - p) / p) for an error of probability p. ``faults_matrix`` (fault ids x
    columns; default the identity) says which fault ids each column flips: the decoder predicts
    one bit per fault id (its observables, at most 256), so with the code's logical operators as
    ``faults_matrix`` it predicts the logical flips, and with the identity the correction itself.

    ``repetitions=T`` builds the graph of T rounds of noisy measurements (phenomenological
    noise): detector ``i + t * rows`` is the change of check i between rounds t and t + 1 (a
    shot's detection events as ``syndrome_changes.T.reshape(-1)`` for a rows x T array), every
    round has the columns' edges, and check i of consecutive rounds is joined by a timelike edge
    of weight ``timelike_weights`` (one number, or one per row; default 1.0) that flips no
    fault id.

    Parallel edges (columns with the same checks) merge by ``merge_strategy``:
    "smallest-weight" (the default) keeps the lighter, "keep-original" the first, "replace" the
    last, "independent" combines them as independent errors (keeping the first's fault ids) and
    "disallow" raises ``ValueError``. As in PyMatching, ``error_probabilities`` and
    ``measurement_error_probabilities`` describe noise for simulation and play no part in
    decoding (they are checked for their shape), and ``use_virtual_boundary_node`` changes
    nothing here: the boundary is never a node of the graph.
    """
    del use_virtual_boundary_node  # the boundary is never a node here, whichever way it is asked
    return cls.from_detector_error_model(check_matrix_model(
        check_matrix, weights, error_probabilities, repetitions, timelike_weights, measurement_error_probabilities,
        faults_matrix=faults_matrix, merge_strategy=merge_strategy))
