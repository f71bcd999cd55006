"""kelvane.stats: Wilson intervals and the paired ratio of two decoders' errors."""

import math

import numpy as np
import pytest

from kelvane.stats import paired_ratio, paired_ratio_counts, rate_text, wilson_interval


@pytest.mark.parametrize("errors, shots, low, high", [
    (0, 10, 0.0, 3.8415 / 13.8415),          # z^2 / (n + z^2)
    (10, 10, 10 / 13.8415, 1.0),
    (5, 10, 0.23659, 0.76341),
    (0, 0, 0.0, 1.0),
])
def test_wilson_known_values(errors, shots, low, high):
    assert wilson_interval(errors, shots) == pytest.approx((low, high), abs=2e-5)


@pytest.mark.parametrize("errors, shots, confidence", [(0, 7, 0.95), (3, 1000, 0.95), (999, 1000, 0.99), (37, 80, 0.9)])
def test_wilson_agrees_with_scipy(errors, shots, confidence):
    stats = pytest.importorskip("scipy.stats")
    ci = stats.binomtest(errors, shots).proportion_ci(confidence, method="wilson")
    assert wilson_interval(errors, shots, confidence) == pytest.approx((ci.low, ci.high), rel=1e-9, abs=1e-12)


def test_bad_arguments_are_refused():
    with pytest.raises(ValueError):
        wilson_interval(11, 10)
    with pytest.raises(ValueError):
        wilson_interval(1, 10, confidence=1.0)
    with pytest.raises(ValueError):
        paired_ratio([True, False], [True])
    assert "0.00300 (95% CI" in rate_text(3, 1000)


@pytest.mark.parametrize("only_a, only_b, both", [(30, 10, 60), (0, 5, 20), (7, 0, 3), (1, 1, 0), (40, 38, 1000)])
def test_paired_ratio_maps_the_discordant_interval(only_a, only_b, both):
    r = paired_ratio_counts(only_a, only_b, both)
    n = only_a + only_b
    q_low, q_high = wilson_interval(only_a, n)
    assert r.ratio == pytest.approx((both + only_a) / (both + only_b)) if both + only_b else r.ratio == math.inf
    assert r.low == pytest.approx((both + n * q_low) / (both + n * (1 - q_low)))
    assert r.low <= r.ratio <= r.high
    swapped = paired_ratio_counts(only_b, only_a, both)  # B over A: the reciprocal interval
    assert (swapped.low, swapped.high) == pytest.approx((1 / r.high, 1 / r.low) if r.low else (0.0, math.inf))


def test_paired_ratio_edge_cases():
    same = paired_ratio_counts(0, 0, 25)  # no discordant shot: the decoders fail together
    assert (same.ratio, same.low, same.high) == (1.0, 1.0, 1.0)
    none = paired_ratio_counts(0, 0, 0)
    assert all(math.isnan(x) for x in (none.ratio, none.low, none.high))
    only = paired_ratio_counts(4, 0, 0)  # B never failed
    assert only.ratio == only.high == math.inf and 0 < only.low < math.inf


def test_paired_ratio_of_arrays_counts_shots():
    wrong_a = np.array([[1, 0], [0, 0], [1, 1], [0, 1], [0, 0]], dtype=bool)
    wrong_b = np.array([[0, 0], [1, 0], [0, 1], [0, 1], [0, 0]], dtype=bool)
    r = paired_ratio(wrong_a, wrong_b)
    assert (r.only_a, r.only_b, r.both, r.errors_a, r.errors_b) == (1, 1, 2, 3, 3)
    assert str(r).startswith("1.000 [")
