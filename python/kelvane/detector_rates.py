"""Each detector's firing rate as a detector error model predicts it, against the rate observed.

A detector fires when an odd number of the error mechanisms that flip it occur. With mechanisms
of probabilities p_i flipping it independently, that happens with probability
``(1 - prod(1 - 2 p_i)) / 2``. A mechanism decomposed into components (``D0 D1 ^ D1 D2``) flips
the detectors that an odd number of its components name (here D0 and D2).

The distance between the two is counted in standard errors of the observed mean under the
expected rate, ``(observed - expected) / sqrt(expected (1 - expected) / shots)``: a detector
whose noise differs from the model's drifts away from zero as shots accumulate.

    report = kelvane.detector_report(detection_events, dem)
    print(report.to_text(10))          # the ten detectors furthest from the model
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
        order = np.lexsort((self.detector, -np.abs(self.sigma)))
        return order if count is None else order[:count]

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
