"""A detector error model learned from detection events: the given mechanisms, new probabilities.

``estimate_error_model(detection_events, dem)`` keeps every mechanism of `dem` (its detectors,
observables and decomposition into ``^`` components) and gives it a probability estimated from
the shots. The estimate is the pairwise-correlation one used in surface-code experiments:

- **Pairs.** For detectors i and j that fire together when a mechanism occurs (the two ends of
  a component, and any two detectors of a mechanism's symptom, e.g. D0 and D2 of
  ``D0 D1 ^ D1 D2``), the probability that something flips both is
  ``p_ij = 1/2 - 1/2 sqrt(1 - 4 (<x_i x_j> - <x_i><x_j>) / (1 - 2<x_i> - 2<x_j> + 4<x_i x_j>))``.
- **Rescaling.** Each pair's estimate is divided by the model's value of the same quantity
  (its mechanisms whose symptom holds both detectors, combined), a ratio per pair. A mechanism
  with a component of two or more detectors is first scaled by the geometric mean of its pair
  components' ratios (a component of three or more detectors: the mean over its pairs).
- **Boundary.** Detector i fires with ``<x_i> = (1 - prod(1 - 2p)) / 2`` over the mechanisms
  that flip it, so with those scaled mechanisms divided out, its boundary term B_i (the
  combined boundary mechanisms touching i: those that flip i alone, or whose components are all
  single detectors)
  solves ``1 - 2 B_i = (1 - 2<x_i>) / prod (1 - 2 p_m)``; its ratio is B_i over the model's.
- **Result.** Every mechanism's probability is multiplied by the geometric mean, over its
  components, of their ratios (a mechanism that flips one or two detectors counts as one
  component of those, whatever its decomposition) (pair components: their pair ratio; single-detector components:
  that detector's boundary ratio), and clamped to ``[0.5 / shots, 0.5]``. A term the model
  gives probability zero keeps ratio 1. On a graphlike model (each mechanism flips one
  detector or two) this returns the estimates themselves, mechanisms that share their
  detectors (``D3 D7`` and ``D3 D7 L0``) scaled together; on circuit noise a mechanism of
  three or more detectors adds to several pairs, which the ratio to the model's own value of
  the same pairs cancels to first order.

**Shots needed.** The standard error of a pair estimate is about ``sqrt(p / N)`` for small p
over N shots, so a relative precision r needs ``N ~ 1 / (p r^2)`` shots: 1e5 shots for 10% on
p = 1e-3, 1e6 for p = 1e-4. Boundary terms are differences of rates and need a few times more.

Counting runs in C++ (`_kelvane.CorrelationCounter`, bit-packed input accepted); the formulas
are NumPy. Decoding with what was learned is decoding with the returned model:
``SpacetimeGraph.from_detector_error_model(learned)`` for ``decode_batch``,
``kelvane.open(path, decoder=learned)`` for a stream, `sinter_decoder_for_model` for sinter.
"""

from __future__ import annotations

import dataclasses
import itertools
from typing import Any

import numpy as np

from _kelvane import CorrelationCounter
from kelvane.detector_rates import _stim_model, expected_detector_rates

__all__ = ["ModelTerms", "model_terms", "estimate_error_model", "estimate_from_counts"]

# A symptom larger than this contributes its components' pairs only (not every pair of it).
_MAX_SYMPTOM_PAIRS = 6


@dataclasses.dataclass
class ModelTerms:
    """The pairs and boundary terms of a flattened model, and which terms each mechanism uses.

    ``pairs`` is (k, 2) int64 (i < j), ``pair_model`` the model's probability that something
    flips both (the mechanisms whose symptom holds both, combined), ``boundary_model`` per
    detector the model's combined probability of its boundary mechanisms (those with no
    component of two or more detectors). Per error instruction m of ``flat`` (in order):
    ``probability[m]``, ``boundary_mechanism[m]``; ``symptom_mech``/``symptom_det`` list the
    (mechanism, detector) pairs of the symptoms; ``term_mech``, ``term`` (pair k as k, boundary
    of detector d as ``-1 - d``), ``weight`` (1 / (components x terms of the component)) and
    ``pair_weight`` (the same over the pair components only) describe the rescaling rule.
    """

    flat: Any
    num_detectors: int
    pairs: np.ndarray
    pair_model: np.ndarray
    boundary_model: np.ndarray
    probability: np.ndarray
    boundary_mechanism: np.ndarray
    symptom_mech: np.ndarray
    symptom_det: np.ndarray
    term_mech: np.ndarray
    term: np.ndarray
    weight: np.ndarray
    pair_weight: np.ndarray


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


def model_terms(dem: Any) -> ModelTerms:
    """The terms `estimate_error_model` estimates for `dem`, with the model's values of them."""
    flat = _stim_model(dem).flattened()
    n = flat.num_detectors
    pair_ids: dict[tuple[int, int], int] = {}
    touch_mech: list[int] = []  # (mechanism, pair) incidences: the pairs each symptom holds
    touch_pair: list[int] = []
    probability: list[float] = []
    boundary_mechanism: list[bool] = []
    symptom_mech: list[int] = []
    symptom_det: list[int] = []
    term_mech: list[int] = []
    term: list[int] = []
    weight: list[float] = []
    pair_weight: list[float] = []

    def pair_id(i: int, j: int) -> int:
        key = (i, j) if i < j else (j, i)
        k = pair_ids.get(key)
        if k is None:
            k = pair_ids[key] = len(pair_ids)
        return k

    for inst in flat:
        if inst.type != "error":
            continue
        m = len(probability)
        probability.append(float(inst.args_copy()[0]))
        components, symptom = _components(inst)
        if 0 < len(symptom) <= 2:  # D0 ^ D4 acts as the pair D0 D4, and D0 D1 ^ D1 as D0
            components = [symptom]
        pair_components = [c for c in components if len(c) >= 2]
        boundary_mechanism.append(not pair_components)
        for c in components:
            ids = [-1 - c[0]] if len(c) == 1 else [pair_id(i, j) for i, j in itertools.combinations(c, 2)]
            for k in ids:
                term_mech.append(m)
                term.append(k)
                weight.append(1.0 / (len(components) * len(ids)))
                pair_weight.append(1.0 / (len(pair_components) * len(ids)) if len(c) >= 2 else 0.0)
        symptom_mech.extend([m] * len(symptom))
        symptom_det.extend(symptom)
        if len(symptom) <= _MAX_SYMPTOM_PAIRS:
            touched = {pair_id(i, j) for i, j in itertools.combinations(symptom, 2)}
        else:
            touched = {pair_id(i, j) for c in pair_components for i, j in itertools.combinations(c, 2)}
        touch_mech.extend([m] * len(touched))
        touch_pair.extend(touched)
    pairs = np.array(sorted(pair_ids, key=pair_ids.__getitem__), dtype=np.int64).reshape(-1, 2)
    prob = np.array(probability, dtype=np.float64)
    log_prob = _log_flip(prob)
    pair_model = 0.5 - 0.5 * np.exp(np.bincount(np.array(touch_pair, dtype=np.int64),
                                                weights=log_prob[np.array(touch_mech, dtype=np.int64)],
                                                minlength=len(pairs)))
    s_mech = np.array(symptom_mech, dtype=np.int64)
    s_det = np.array(symptom_det, dtype=np.int64)
    is_boundary = np.array(boundary_mechanism, dtype=bool)
    at_boundary = is_boundary[s_mech]
    boundary_model = 0.5 - 0.5 * np.exp(np.bincount(s_det[at_boundary], weights=log_prob[s_mech[at_boundary]],
                                                    minlength=n))
    return ModelTerms(flat, n, pairs, pair_model, boundary_model, prob, is_boundary, s_mech, s_det,
                      np.array(term_mech, dtype=np.int64), np.array(term, dtype=np.int64),
                      np.array(weight), np.array(pair_weight))


def _ratio(estimate: np.ndarray, model: np.ndarray) -> np.ndarray:
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(model > 0, np.clip(estimate, 0.0, None) / model, 1.0)


def estimate_from_counts(terms: ModelTerms, shots: int, fired: np.ndarray, both_fired: np.ndarray) -> Any:
    """The learned ``stim.DetectorErrorModel`` from firing counts over `shots` shots (see module)."""
    import stim

    if shots <= 0:
        raise ValueError("estimating an error model needs at least one shot")
    rates = np.asarray(fired, dtype=np.float64) / shots
    joint = np.asarray(both_fired, dtype=np.float64) / shots
    pairs = terms.pairs
    pair_ratio = _ratio(_pair_probability(rates[pairs[:, 0]], rates[pairs[:, 1]], joint), terms.pair_model)
    nmech = len(terms.probability)
    # Step 1: mechanisms with a pair component scaled by their pair ratios alone.
    is_pair = terms.term >= 0
    log_r = np.log(np.clip(pair_ratio[np.where(is_pair, terms.term, 0)], 1e-300, None))
    log_pair_scale = np.bincount(terms.term_mech[is_pair], weights=(terms.pair_weight * log_r)[is_pair],
                                 minlength=nmech)
    scaled = np.where(terms.boundary_mechanism, 0.0, terms.probability * np.exp(log_pair_scale))
    # Step 2: each detector's boundary mechanisms, combined, from its rate with the rest divided out.
    others = np.bincount(terms.symptom_det, weights=_log_flip(np.clip(scaled, 0.0, 0.5))[terms.symptom_mech],
                         minlength=terms.num_detectors)
    boundary_estimate = 0.5 - 0.5 * (1.0 - 2.0 * rates) / np.exp(others)
    boundary_ratio = _ratio(boundary_estimate, terms.boundary_model)
    # Step 3: every mechanism by the weighted geometric mean of its components' ratios.
    ratio = np.where(is_pair, pair_ratio[np.where(is_pair, terms.term, 0)],
                     boundary_ratio[np.where(is_pair, 0, -1 - terms.term)])
    log_scale = np.bincount(terms.term_mech, weights=terms.weight * np.log(np.clip(ratio, 1e-300, None)),
                            minlength=nmech)
    floor = 0.5 / shots
    learned = np.clip(terms.probability * np.exp(log_scale), floor, 0.5)
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
