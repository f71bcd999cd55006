"""Each detector's firing rate as a detector error model predicts it, against the rate observed.

A detector fires when an odd number of the error mechanisms that flip it occur. With mechanisms
of probabilities p_i flipping it independently, that happens with probability
``(1 - prod(1 - 2 p_i)) / 2``. A mechanism decomposed into components (``D0 D1 ^ D1 D2``) flips
the detectors that an odd number of its components name (here D0 and D2).

The distance between the two is counted in standard errors of the observed mean under the
expected rate, ``(observed - expected) / sqrt(expected (1 - expected) / shots)``: a detector
whose noise differs from the model's drifts away from zero as shots accumulate.

An ancilla measured every round carries one detector per round; its rounds are pooled (counts
summed, binomial variances summed) into one distance, so that a bad ancilla ranks once and a
second one, less bad, still shows among the first few instead of behind every round of the first.

    report = kelvane.detector_report(detection_events, dem)
    print(report.to_text(10))          # the ten detectors furthest from the model
    ancillas = report.by_ancilla(layout)
    print(ancillas.to_text(10))        # the ten ancillas furthest, rounds pooled
"""

from __future__ import annotations

import dataclasses
import os
from typing import Any

import numpy as np


def _stim_model(dem: Any) -> Any:
    """`dem` as a ``stim.DetectorErrorModel``: one already, a kelvane model, DEM text or a path."""
    import stim

    if isinstance(dem, stim.DetectorErrorModel):
        return dem
    if hasattr(dem, "to_text"):
        return stim.DetectorErrorModel(dem.to_text())
    if isinstance(dem, os.PathLike) or (isinstance(dem, str) and "\n" not in dem and os.path.exists(dem)):
        return stim.DetectorErrorModel.from_file(os.fspath(dem))
    if isinstance(dem, str):
        return stim.DetectorErrorModel(dem)
    raise TypeError(f"a detector error model must be a stim or kelvane model, DEM text or a path, not {type(dem).__name__}")


def expected_detector_rates(dem: Any) -> np.ndarray:
    """The probability that each detector of `dem` fires in a shot (float64, one per detector).

    Mechanisms are taken as independent; ``repeat`` blocks and ``shift_detectors`` are expanded.
    A probability above one half counts as ``1 - 2p < 0``, so such mechanisms are not clipped.
    """
    model = _stim_model(dem)
    n = model.num_detectors
    # prod(1 - 2 p_i) per detector, kept as a sum of logs of |1 - 2p|, a count of negative
    # factors and a count of zero factors (p = 1/2), so that thousands of factors do not underflow.
    log_abs = np.zeros(n)
    negative = np.zeros(n, dtype=np.int64)
    zero = np.zeros(n, dtype=np.int64)
    for inst in model.flattened():
        if inst.type != "error":
            continue
        p = float(inst.args_copy()[0])
        flipped: set[int] = set()
        for t in inst.targets_copy():
            if t.is_relative_detector_id():
                flipped ^= {t.val}
        if not flipped or p == 0.0:
            continue
        ids = np.fromiter(flipped, dtype=np.int64)
        factor = 1.0 - 2.0 * p
        if factor == 0.0:
            zero[ids] += 1
        else:
            log_abs[ids] += np.log(abs(factor))
            if factor < 0:
                negative[ids] += 1
    product = np.where(negative % 2 == 1, -1.0, 1.0) * np.exp(log_abs)
    product[zero > 0] = 0.0
    return (1.0 - product) / 2.0


def standard_errors_apart(expected: np.ndarray, fired: np.ndarray, shots: int | np.ndarray) -> np.ndarray:
    """``(observed - expected) / sqrt(expected (1 - expected) / shots)`` for firing counts.

    A detector the model says never (or always) fires is 0 apart when it agrees and infinitely
    far (signed) when it does not; with no shots every detector is 0 apart.
    """
    expected = np.asarray(expected, dtype=np.float64)
    shots_arr = np.asarray(shots, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        observed = np.where(shots_arr > 0, np.asarray(fired, dtype=np.float64) / shots_arr, expected)
        diff = observed - expected
        z = diff / np.sqrt(expected * (1.0 - expected) / shots_arr)
    certain = ~np.isfinite(z)
    z[certain] = np.where(diff[certain] > 0, np.inf, np.where(diff[certain] < 0, -np.inf, 0.0))
    return z


def pooled_standard_errors_apart(expected: np.ndarray, fired: np.ndarray, trials: np.ndarray,
                                 axis: int = 0) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Rates and distance of groups of detectors pooled along `axis` (rounds of an ancilla).

    `expected` is each detector's rate, `fired` its firing count over `trials` (0 where a
    detector is absent). Returns the groups' mean expected rate, mean observed rate (NaN without
    trials) and ``(sum fired - sum trials expected) / sqrt(sum trials expected (1 - expected))``,
    infinite (signed) when the model allows no variance and the counts disagree.
    """
    e = np.nan_to_num(np.asarray(expected, dtype=np.float64))
    n = np.asarray(trials, dtype=np.float64)
    k = np.asarray(fired, dtype=np.float64)
    total = n.sum(axis=axis)
    want = (e * n).sum(axis=axis)
    variance = (n * e * (1.0 - e)).sum(axis=axis)
    diff = k.sum(axis=axis) - want
    with np.errstate(invalid="ignore", divide="ignore"):
        mean_expected = np.where(total > 0, want / total, np.nan)
        mean_observed = np.where(total > 0, k.sum(axis=axis) / total, np.nan)
        sigma = np.where(variance > 0, diff / np.sqrt(variance), np.sign(diff) * np.inf)
    sigma = np.where(diff == 0, 0.0, sigma)
    return mean_expected, mean_observed, np.where(total > 0, sigma, np.nan)


def _rank(sigma: np.ndarray, ids: np.ndarray) -> np.ndarray:
    """Indices by |sigma| descending (NaN last), ties by id."""
    magnitude = np.abs(np.asarray(sigma, dtype=np.float64))
    return np.lexsort((ids, -np.nan_to_num(magnitude, nan=-1.0)))


@dataclasses.dataclass(frozen=True)
class AncillaReport:
    """Expected against observed rates per ancilla (a column of the layout), rounds pooled.

    ``coordinates`` is the ancilla's place (its first detector's coordinates without the last,
    the time), ancillas x k, NaN-padded. ``expected``/``observed`` are its mean rates over its
    rounds, ``sigma`` the pooled distance in standard errors. ``worst_round`` is the round of its
    detector furthest from the model (-1 for none), ``worst_detector`` that detector and
    ``worst_sigma`` its own distance: the per-round detail of ``DetectorReport`` in one column.
    """

    ancilla: np.ndarray
    coordinates: np.ndarray
    rounds: np.ndarray
    expected: np.ndarray
    observed: np.ndarray
    sigma: np.ndarray
    worst_round: np.ndarray
    worst_detector: np.ndarray
    worst_sigma: np.ndarray
    shots: int

    def __len__(self) -> int:
        return len(self.ancilla)

    def worst(self, count: int | None = None) -> np.ndarray:
        """Ancilla indices, furthest from the model first (by |sigma|; ties by ancilla)."""
        order = _rank(self.sigma, self.ancilla)
        return order if count is None else order[:count]

    def to_text(self, count: int | None = 10) -> str:
        """A table of the `count` ancillas furthest from the model (all with None)."""
        lines = [f"{'ancilla':>7}  {'coordinates':<16}{'rounds':>6}{'expected':>10}{'observed':>10}{'sigma':>9}"
                 "  worst round (detector, sigma)"]
        for a in self.worst(count):
            coords = ", ".join(f"{c:g}" for c in self.coordinates[a] if not np.isnan(c))
            worst = "-" if self.worst_round[a] < 0 else \
                f"{self.worst_round[a]} (D{self.worst_detector[a]}, {self.worst_sigma[a]:+.2f})"
            lines.append(f"{self.ancilla[a]:>7}  {'(' + coords + ')':<16}{self.rounds[a]:>6}{self.expected[a]:>10.5f}"
                         f"{self.observed[a]:>10.5f}{self.sigma[a]:>+9.2f}  {worst}")
        return "\n".join(lines)


@dataclasses.dataclass(frozen=True)
class DetectorReport:
    """Expected against observed firing rates, one entry per detector, in detector order.

    ``coordinates`` is detectors x k (the longest coordinate list of the model), NaN where a
    detector declares fewer coordinates or none. ``sigma`` is how many standard errors the
    observed rate lies from the expected one (positive: fires more often than the model says).
    """

    detector: np.ndarray
    coordinates: np.ndarray
    expected: np.ndarray
    observed: np.ndarray
    sigma: np.ndarray
    shots: int

    def __len__(self) -> int:
        return len(self.detector)

    def worst(self, count: int | None = None) -> np.ndarray:
        """Detector indices, furthest from the model first (by |sigma|; ties by detector)."""
        order = _rank(self.sigma, self.detector)
        return order if count is None else order[:count]

    def by_ancilla(self, layout: Any) -> AncillaReport:
        """The same comparison per ancilla: `layout` is rounds x ancillas detector ids (-1 for
        none, as ``kelvane.layout_from_stim`` gives); detectors it leaves out are not counted."""
        layout = np.asarray(layout, dtype=np.int64)
        if layout.ndim != 2 or (layout >= len(self)).any() or (layout < -1).any():
            raise ValueError(f"layout must be rounds x ancillas detector ids below {len(self)} or -1")
        present = layout >= 0
        safe = np.where(present, layout, 0)
        trials = np.where(present, self.shots, 0)
        fired = np.where(present, np.rint(np.nan_to_num(self.observed[safe]) * self.shots), 0)
        expected, observed, sigma = pooled_standard_errors_apart(np.where(present, self.expected[safe], 0.0), fired,
                                                                 trials)
        per_round = np.where(present, np.abs(self.sigma[safe]), -1.0)
        per_round = np.where(np.isnan(per_round), -1.0, per_round)
        rounds_first = np.argmax(per_round, axis=0)
        ancillas = np.arange(layout.shape[1])
        has = present.any(axis=0)
        worst_detector = np.where(has, layout[rounds_first, ancillas], -1)
        coords = np.full((layout.shape[1], max(0, self.coordinates.shape[1] - 1)), np.nan)
        for a in np.flatnonzero(has):
            c = self.coordinates[layout[present[:, a], a][0]]
            c = c[~np.isnan(c)]
            c = c[:-1] if len(c) >= 2 else c
            if len(c) > coords.shape[1]:
                coords = np.pad(coords, ((0, 0), (0, len(c) - coords.shape[1])), constant_values=np.nan)
            coords[a, : len(c)] = c
        return AncillaReport(
            ancilla=ancillas, coordinates=coords, rounds=present.sum(axis=0), expected=expected, observed=observed,
            sigma=sigma, worst_round=np.where(has, rounds_first, -1), worst_detector=worst_detector,
            worst_sigma=np.where(has, self.sigma[np.maximum(worst_detector, 0)], np.nan), shots=self.shots)

    def to_text(self, count: int | None = 10) -> str:
        """A table of the `count` detectors furthest from the model (all with None)."""
        lines = [f"{'detector':>8}  {'coordinates':<22}{'expected':>10}{'observed':>10}{'sigma':>9}"]
        for i in self.worst(count):
            coords = ", ".join(f"{c:g}" for c in self.coordinates[i] if not np.isnan(c))
            lines.append(f"{self.detector[i]:>8}  {'(' + coords + ')':<22}{self.expected[i]:>10.5f}"
                         f"{self.observed[i]:>10.5f}{self.sigma[i]:>+9.2f}")
        return "\n".join(lines)


def detector_coordinates(dem: Any) -> np.ndarray:
    """Detectors x k float coordinates of `dem` (NaN where a detector declares fewer)."""
    model = _stim_model(dem)
    coords = model.get_detector_coordinates()
    width = max((len(c) for c in coords.values()), default=0)
    out = np.full((model.num_detectors, width), np.nan)
    for d, c in coords.items():
        out[d, : len(c)] = c
    return out


def detector_report(detection_events: Any, dem: Any) -> DetectorReport:
    """Each detector's expected firing rate (from `dem`) against its observed one.

    `detection_events` is a shots x detectors array of 0/1 (bool or integers), as Stim's
    detector sampler returns it; `dem` a ``stim.DetectorErrorModel``, a kelvane
    ``DetectorErrorModel``, DEM text or a DEM path. Returns a `DetectorReport`.
    """
    model = _stim_model(dem)
    events = np.asarray(detection_events)
    if events.ndim != 2 or events.shape[1] != model.num_detectors:
        raise ValueError(f"detection_events must be shots x {model.num_detectors} detectors, got shape {events.shape}")
    shots = events.shape[0]
    fired = np.count_nonzero(events, axis=0)
    expected = expected_detector_rates(model)
    with np.errstate(invalid="ignore"):
        observed = fired / shots if shots else np.full(model.num_detectors, np.nan)
    return DetectorReport(
        detector=np.arange(model.num_detectors), coordinates=detector_coordinates(model), expected=expected,
        observed=observed, sigma=standard_errors_apart(expected, fired, shots), shots=shots)
