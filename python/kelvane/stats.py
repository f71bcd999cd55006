"""Confidence intervals for logical error rates and for comparing two decoders on the same shots.

``wilson_interval`` bounds one decoder's rate; ``paired_ratio`` compares two decoders that saw
the same shots, which is much tighter than dividing two independent intervals because only the
shots where the decoders disagree carry information about their difference.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from statistics import NormalDist
from typing import Any

__all__ = ["wilson_interval", "rate_text", "PairedRatio", "paired_ratio", "paired_ratio_counts"]


def _z(confidence: float) -> float:
    if not 0 < confidence < 1:
        raise ValueError(f"confidence must be between 0 and 1, got {confidence}")
    return NormalDist().inv_cdf(0.5 + confidence / 2)


def wilson_interval(errors: int, shots: int, confidence: float = 0.95) -> tuple[float, float]:
    """The Wilson score interval of a binomial rate ``errors / shots``.

    Unlike the normal approximation it stays inside [0, 1] and is not empty at 0 or ``shots``
    errors (0 errors of n gives an upper bound of about 3.84 / n at 95%). No shots: (0, 1).
    """
    if errors < 0 or errors > shots:
        raise ValueError(f"errors must be between 0 and shots ({shots}), got {errors}")
    if shots == 0:
        return 0.0, 1.0
    z = _z(confidence)
    rate = errors / shots
    scale = 1 + z * z / shots
    centre = (rate + z * z / (2 * shots)) / scale
    half = z * math.sqrt(rate * (1 - rate) / shots + z * z / (4 * shots * shots)) / scale
    return max(0.0, centre - half), min(1.0, centre + half)


def rate_text(errors: int, shots: int, confidence: float = 0.95) -> str:
    """``errors / shots`` with its Wilson interval, for reports."""
    low, high = wilson_interval(errors, shots, confidence)
    rate = errors / shots if shots else float("nan")
    return f"{rate:.5f} ({confidence:.0%} CI {low:.5f} to {high:.5f}, {errors} of {shots} shots)"


@dataclass(frozen=True)
class PairedRatio:
    """Decoder A's logical errors over decoder B's on the same shots, with its interval.

    ``only_a`` / ``only_b``: shots that only A / only B got wrong; ``both``: shots both got wrong.
    ``ratio`` is inf (or nan with no errors at all) when B made no error; so may ``high`` be.
    """

    ratio: float
    low: float
    high: float
    only_a: int
    only_b: int
    both: int
    confidence: float

    @property
    def errors_a(self) -> int:
        """Decoder A's logical errors: ``only_a + both``."""
        return self.only_a + self.both

    @property
    def errors_b(self) -> int:
        """Decoder B's logical errors: ``only_b + both``."""
        return self.only_b + self.both

    def __str__(self) -> str:
        return f"{self.ratio:.3f} [{self.low:.3f}, {self.high:.3f}]"


def paired_ratio_counts(only_a: int, only_b: int, both: int, confidence: float = 0.95) -> PairedRatio:
    """The ratio of two decoders' error counts on the same shots, from the shot counts where only
    A, only B, or both failed.

    Method (conditional binomial on the discordant shots, as in McNemar's test): given the
    ``n = only_a + only_b`` shots where exactly one decoder failed, ``only_a`` is binomial with
    parameter ``q``, the chance that a disagreement is A's error. The ratio is
    ``(both + only_a) / (both + only_b)``; taking ``both`` and ``n`` as fixed it is the increasing
    function ``(both + n q) / (both + n (1 - q))`` of ``q``, so the Wilson interval of ``q`` maps to
    the ratio's interval. No discordant shots: the ratio is exactly 1 (or nan with no errors).
    """
    if min(only_a, only_b, both) < 0:
        raise ValueError("shot counts must not be negative")
    n = only_a + only_b

    def ratio_at(q: float) -> float:
        num, den = both + n * q, both + n * (1 - q)
        if den > 0:
            return num / den
        return math.inf if num > 0 else math.nan

    q_low, q_high = wilson_interval(only_a, n, confidence)
    ratio = ratio_at(only_a / n) if n else ratio_at(0.0)
    return PairedRatio(ratio, ratio_at(q_low), ratio_at(q_high), only_a, only_b, both, confidence)


def paired_ratio(wrong_a: Any, wrong_b: Any, confidence: float = 0.95) -> PairedRatio:
    """``paired_ratio_counts`` of two per-shot arrays: True where decoder A (B) got a shot wrong.
    Arrays of shots x observables count a shot wrong when any observable is."""
    import numpy as np

    a, b = np.asarray(wrong_a, dtype=bool), np.asarray(wrong_b, dtype=bool)
    if a.shape != b.shape:
        raise ValueError(f"the decoders saw different shots: shapes {a.shape} and {b.shape}")
    if a.ndim == 2:
        a, b = a.any(axis=1), b.any(axis=1)
    return paired_ratio_counts(int(np.sum(a & ~b)), int(np.sum(~a & b)), int(np.sum(a & b)), confidence)
