"""A detector error model learned from detection events: the given mechanisms, new probabilities.

``estimate_error_model(detection_events, dem)`` keeps every mechanism of `dem` (its detectors,
observables and decomposition into ``^`` components) and gives it a probability estimated from
the shots. The estimate is the pairwise-correlation one used in surface-code experiments:

- **Pairs.** For detectors i and j that fire together when a mechanism occurs (any two
  detectors of a mechanism's symptom: the ends of ``D0 D1``, and D0 and D2 of ``D0 D1 ^ D1 D2``
  or of ``D0 D1 ^ D2 D3``, joined only through its components), the probability that an odd
  number of the mechanisms holding both occur is
  ``p_ij = 1/2 - 1/2 sqrt(1 - 4 (<x_i x_j> - <x_i><x_j>) / (1 - 2<x_i> - 2<x_j> + 4<x_i x_j>))``.
- **Mechanisms of three or more detectors** (decomposed ones): fitted to the pairs of their
  symptom that no two-detector mechanism explains (the pairs across their components; all
  their pairs when there are none): each is multiplied by exp(mean over those pairs of
  log(p_ij estimated / p_ij under the current model)), the step of iterative proportional
  fitting.
- **Two-detector mechanisms**: the pair's estimate with those larger mechanisms divided out,
  ``1 - 2 q_ij = (1 - 2 p_ij) / prod (1 - 2 p_m)``. Pair correlations cannot tell apart the
  mechanisms with symptom {i, j} (``D3 D7``, ``D3 D7 L0``, ``D7 ^ D3``), so a rule splits q_ij
  among them: the plain ones (one component: the pair's own edge) are scaled together so that
  they combine to q_ij, the decomposed ones (``D7 ^ D3``, components elsewhere in the graph)
  keeping the given probability; only when the decomposed ones alone exceed q_ij, or the pair
  has no plain mechanism, are all scaled together. (A channel that changes, such as measurement
  errors on a time pair, writes to the plain edge; scaling the decomposed ones along put a
  5x rise of measurement errors into boundary edges too.) The two steps alternate
  `iterations` times (8), from the given model.
- **Boundary** (one-detector mechanisms): detector i fires with
  ``<x_i> = (1 - prod(1 - 2p)) / 2`` over the mechanisms that flip it, so with every other
  mechanism divided out its boundary term solves ``1 - 2 b_i = (1 - 2<x_i>) / prod (1 - 2 p_m)``;
  the mechanisms flipping i alone are scaled together so that they combine to b_i. Where the
  shots cannot tell b_i (its standard error ``1 / (2 sqrt(shots) prod (1 - 2 p_m))`` is 1/8 or
  more: beside a mechanism at or near p = 1/2), the term keeps its given probability.
- Mechanisms that flip no detector keep their probability; every probability is clamped to
  ``[0.5 / shots, 0.5]``. On a graphlike model (each mechanism flips one detector or two) this
  returns the pairwise estimates themselves.

**Shots needed.** The standard error of a pair estimate is about ``sqrt(p / N)`` for small p
over N shots, so a relative precision r needs ``N ~ 1 / (p r^2)`` shots: 1e5 shots for 10% on
p = 1e-3, 1e6 for p = 1e-4. Boundary terms are differences of rates and need a few times more.

Counting runs in C++ (`kelvane.CorrelationCounter`, bit-packed input accepted); the formulas
are NumPy. Decoding with what was learned is decoding with the returned model:
``SpacetimeGraph.from_detector_error_model(learned)`` for ``decode_batch``,
``kelvane.open(path, decoder=learned)`` for a stream, `sinter_decoder_for_model` for sinter.
"""

from __future__ import annotations

import dataclasses
import itertools
from typing import Any

import numpy as np

from _kelvane import _CorrelationCounter as CorrelationCounter
from kelvane.detector_rates import _stim_model, expected_detector_rates

__all__ = ["ModelTerms", "model_terms", "estimate_error_model", "estimate_from_counts"]

# A symptom larger than this contributes its components' pairs only (not every pair of it).
_MAX_SYMPTOM_PAIRS = 6


@dataclasses.dataclass
class ModelTerms:
    """A flattened model's mechanisms sorted by their symptom, and the detector pairs estimated.

    Per error instruction m of ``flat`` (in order): ``probability[m]``, ``kind[m]`` (0: flips no
    detector, 1: one, 2: two, 3: three or more), ``own[m]`` (kind 1: its detector; kind 2: its
    pair; else -1). ``pairs`` is (k, 2) int64 (i < j); ``touch_mech``/``touch_pair`` list which
    pairs each symptom holds (a symptom of more than six detectors: its components' pairs),
    ``fit_mech``/``fit_pair`` the pairs a mechanism of kind 3 is fitted to, and
    ``symptom_mech``/``symptom_det`` the detectors each symptom holds, ``decomposed[m]`` whether
    mechanism m has two or more components.
    """

    flat: Any
    num_detectors: int
    pairs: np.ndarray
    probability: np.ndarray
    kind: np.ndarray
    own: np.ndarray
    touch_mech: np.ndarray
    touch_pair: np.ndarray
    fit_mech: np.ndarray
    fit_pair: np.ndarray
    symptom_mech: np.ndarray
    symptom_det: np.ndarray
    decomposed: np.ndarray


def _components(inst: Any) -> tuple[list[list[int]], list[int]]:
    """The detector lists of an error instruction's components, and its symptom (sorted)."""
    components: list[list[int]] = [[]]
    for t in inst.targets_copy():
        if t.is_separator():
            components.append([])
        elif t.is_relative_detector_id():
            components[-1].append(t.val)
    symptom: set[int] = set()
    for c in components:
        symptom ^= set(c)
    return [sorted(set(c)) for c in components if c], sorted(symptom)


def _pair_probability(xi: np.ndarray, xj: np.ndarray, xij: np.ndarray) -> np.ndarray:
    with np.errstate(divide="ignore", invalid="ignore"):
        denominator = 1.0 - 2.0 * xi - 2.0 * xj + 4.0 * xij
        inside = 1.0 - 4.0 * (xij - xi * xj) / denominator
        p = 0.5 - 0.5 * np.sqrt(np.clip(inside, 0.0, None))
    return np.where(denominator > 0, p, 0.5)


def _log_flip(p: np.ndarray) -> np.ndarray:
    """log(1 - 2p), finite for p up to 1/2."""
    return np.log(np.clip(1.0 - 2.0 * np.asarray(p, dtype=np.float64), 1e-300, None))


def _combined(index: np.ndarray, p: np.ndarray, size: int) -> np.ndarray:
    """Per slot, the probability that an odd number of the mechanisms listed at it occur."""
    return 0.5 - 0.5 * np.exp(np.bincount(index, weights=_log_flip(p), minlength=size))


def _ints(values: list[int]) -> np.ndarray:
    return np.array(values, dtype=np.int64)


def model_terms(dem: Any) -> ModelTerms:
    """The mechanisms and pairs `estimate_error_model` works with for `dem`."""
    flat = _stim_model(dem).flattened()
    pair_ids: dict[tuple[int, int], int] = {}
    probability: list[float] = []
    kind: list[int] = []
    own: list[int] = []
    touch: list[tuple[int, int]] = []
    fit: list[tuple[int, int]] = []
    symptoms: list[tuple[int, int]] = []
    hyper: list[tuple[int, set[int]]] = []
    decomposed: list[bool] = []

    def pair_id(i: int, j: int) -> int:
        key = (i, j) if i < j else (j, i)
        return pair_ids.setdefault(key, len(pair_ids))

    for inst in flat:
        if inst.type != "error":
            continue
        m = len(probability)
        probability.append(float(inst.args_copy()[0]))
        components, symptom = _components(inst)
        decomposed.append(len(components) > 1)
        kind.append(min(len(symptom), 3))
        own.append(symptom[0] if len(symptom) == 1 else pair_id(*symptom) if len(symptom) == 2 else -1)
        symptoms.extend((m, d) for d in symptom)
        if len(symptom) <= _MAX_SYMPTOM_PAIRS:
            touched = {pair_id(i, j) for i, j in itertools.combinations(symptom, 2)}
        else:
            touched = {pair_id(i, j) for c in components for i, j in itertools.combinations(c, 2)}
        touch.extend((m, k) for k in touched)
        if len(symptom) >= 3:
            hyper.append((m, touched))
    direct = {own[m] for m in range(len(kind)) if kind[m] == 2}
    for m, touched in hyper:
        # Fitted to the pairs no two-detector mechanism explains (across its components), if any.
        cross = touched - direct
        fit.extend((m, k) for k in sorted(cross or touched))
    pairs = _ints(sorted(pair_ids, key=pair_ids.__getitem__)).reshape(-1, 2)
    t, f, sy = (np.array(x, dtype=np.int64).reshape(-1, 2) for x in (touch, fit, symptoms))
    return ModelTerms(flat, flat.num_detectors, pairs, np.array(probability, dtype=np.float64), _ints(kind),
                      _ints(own), t[:, 0], t[:, 1], f[:, 0], f[:, 1], sy[:, 0], sy[:, 1],
                      np.array(decomposed, dtype=bool))


def estimate_from_counts(terms: ModelTerms, shots: int, fired: np.ndarray, both_fired: np.ndarray,
                         iterations: int = 8) -> Any:
    """The learned ``stim.DetectorErrorModel`` from firing counts over `shots` shots (see module)."""
    import stim

    if shots <= 0:
        raise ValueError("estimating an error model needs at least one shot")
    rates = np.asarray(fired, dtype=np.float64) / shots
    joint = np.asarray(both_fired, dtype=np.float64) / shots
    pairs = terms.pairs
    npairs = len(pairs)
    estimate = np.clip(_pair_probability(rates[pairs[:, 0]], rates[pairs[:, 1]], joint), 0.0, 0.5)
    tiny = 1e-12
    model = terms.probability
    p = np.clip(model, tiny, 0.5)
    kind, own = terms.kind, terms.own
    two = kind == 2
    three = kind == 3
    hyper_touch = three[terms.touch_mech]
    fits = np.maximum(np.bincount(terms.fit_mech, minlength=len(p)), 1)
    plain = two & ~terms.decomposed
    has_plain = np.bincount(own[plain], minlength=npairs) > 0
    kept_split = two & terms.decomposed
    kept_split[kept_split] = has_plain[own[kept_split]]
    for _ in range(iterations):
        # Mechanisms of three or more detectors: scaled by the mean log-ratio, over the pairs
        # they are fitted to, of the pair's estimate to its value under the current model.
        value = _combined(terms.touch_pair, p[terms.touch_mech], npairs)
        with np.errstate(divide="ignore"):
            log_ratio = np.log(np.clip(estimate, tiny, None)) - np.log(np.clip(value, tiny, None))
        step = np.bincount(terms.fit_mech, weights=log_ratio[terms.fit_pair], minlength=len(p)) / fits
        p = np.where(three, np.clip(p * np.exp(step), tiny, 0.5), p)
        # Two-detector mechanisms: the pair's estimate with the larger mechanisms divided out.
        others = np.exp(np.bincount(terms.touch_pair[hyper_touch], minlength=npairs,
                                    weights=_log_flip(p[terms.touch_mech[hyper_touch]])))
        target = np.clip(0.5 - 0.5 * (1.0 - 2.0 * estimate) / others, 0.0, 0.5)
        # Of the mechanisms with the pair as symptom, the decomposed ones (D3 ^ D7) keep their
        # probability where a plain one (D3 D7) can take the pair's whole change: pair
        # correlations cannot tell them apart, and the plain edge is the one the pair's own
        # channel (a measurement error, for a time pair) writes to.
        room = 0.5 - 0.5 * (1.0 - 2.0 * target) / np.exp(
            np.bincount(own[kept_split], weights=_log_flip(model[kept_split]), minlength=npairs)) > 0
        kept = kept_split.copy()
        kept[kept] = room[own[kept]]
        p[kept] = np.clip(model[kept], tiny, 0.5)
        kept_flip = np.exp(np.bincount(own[kept], weights=_log_flip(p[kept]), minlength=npairs))
        target = np.clip(0.5 - 0.5 * (1.0 - 2.0 * target) / kept_flip, 0.0, 0.5)
        scaled = two & ~kept
        now = _combined(own[scaled], p[scaled], npairs)
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio = np.where(now > 0, target / now, 1.0)
        p[scaled] = np.clip(p[scaled] * ratio[own[scaled]], tiny, 0.5)
    # One-detector mechanisms: the detector's rate with every other mechanism divided out.
    at = kind[terms.symptom_mech] >= 2
    others = np.exp(np.bincount(terms.symptom_det[at], weights=_log_flip(p[terms.symptom_mech[at]]),
                                minlength=terms.num_detectors))
    # The rate moves with the boundary term by `others`, so over N shots the term's standard
    # error is about 1 / (2 sqrt(N) others). Where that is 1/8 or more (a quarter of the range
    # [0, 1/2]) the shots cannot tell the term, and it keeps its given value: beside a mechanism
    # of p = 1/2 (others clipped to 1e-300, never 0) the detector is a fair coin whatever the
    # term, and noise in a pair learned at 0.498 would otherwise set it anywhere in [0, 1/2].
    coin = others * np.sqrt(shots) <= 4.0
    one = kind == 1
    boundary_model = _combined(own[one], model[one], terms.num_detectors)
    with np.errstate(divide="ignore", invalid="ignore"):
        boundary = np.where(coin, boundary_model, np.clip(0.5 - 0.5 * (1.0 - 2.0 * rates) / others, 0.0, 0.5))
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.where(boundary_model > 0, boundary / boundary_model, 1.0)
    p[one] = model[one] * ratio[own[one]]
    p[kind == 0] = model[kind == 0]
    learned = np.clip(p, 0.5 / shots, 0.5)
    out = stim.DetectorErrorModel()
    m = 0
    for inst in terms.flat:
        if inst.type != "error":
            out.append(inst)
            continue
        out.append(stim.DemInstruction("error", [float(learned[m])], inst.targets_copy()))
        m += 1
    return out


def count(terms: ModelTerms, detection_events: Any, *, bit_packed: bool = False) -> CorrelationCounter:
    """A `CorrelationCounter` over `terms`' pairs, with `detection_events` counted."""
    counter = CorrelationCounter(terms.num_detectors, terms.pairs)
    counter.add(detection_events, bit_packed=bit_packed)
    return counter


def estimate_error_model(detection_events: Any, dem: Any, *, bit_packed: bool = False) -> Any:
    """`dem`'s mechanisms with probabilities estimated from `detection_events` (see the module).

    `detection_events` is (shots, detectors) 0/1, or with ``bit_packed=True`` Stim's bit-packed
    rows; `dem` a ``stim.DetectorErrorModel``, a kelvane model, DEM text or a path. Returns a
    ``stim.DetectorErrorModel`` with the same mechanisms in the same order and decomposition
    (``repeat`` blocks expanded), each probability rescaled by the rule of the module docstring
    and clamped to ``[0.5 / shots, 0.5]``. A probability's standard error is about
    ``sqrt(p / shots)``: N ~ 1 / (p r^2) shots for a relative precision r.
    """
    terms = model_terms(dem)
    counter = count(terms, detection_events, bit_packed=bit_packed)
    return estimate_from_counts(terms, counter.shots, counter.fired, counter.both_fired)
