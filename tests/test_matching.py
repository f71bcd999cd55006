"""Exact matching (method="matching"): PyMatching's weights on Stim circuits, corrections that
explain their syndromes, and one answer from every entry point."""

import math
import pickle

import numpy as np
import pytest

stim = pytest.importorskip("stim")
pymatching = pytest.importorskip("pymatching")

import kelvane


def surface_circuit(distance, p):
    return stim.Circuit.generated(
        "surface_code:rotated_memory_x", distance=distance, rounds=distance,
        after_clifford_depolarization=p, before_round_data_depolarization=p,
        before_measure_flip_probability=p, after_reset_flip_probability=p,
    )


def merged_weights(dem):
    """ln((1 - p) / p) of every detector pair (-1: the boundary), parallel components combined
    as independent events."""
    probability = {}
    for instruction in dem.flattened():
        if instruction.type != "error":
            continue
        p = instruction.args_copy()[0]
        component = []
        for target in instruction.targets_copy() + [stim.target_separator()]:
            if target.is_separator():
                if len(component) in (1, 2):
                    key = (component[0], -1) if len(component) == 1 else tuple(sorted(component))
                    q = probability.get(key, 0.0)
                    probability[key] = q * (1 - p) + p * (1 - q)
                component = []
            elif target.is_relative_detector_id():
                component.append(target.val)
    return {key: math.log((1 - q) / q) for key, q in probability.items()}


@pytest.mark.parametrize("distance", [3, 5, 7, 9])
def test_corrections_explain_their_syndromes_at_pymatchings_weight(distance):
    circuit = surface_circuit(distance, 0.006)
    dem = circuit.detector_error_model(decompose_errors=True)
    dets, _ = circuit.compile_detector_sampler(seed=distance).sample(1000, separate_observables=True)
    graph = kelvane.SpacetimeGraph.from_detector_error_model(dem)
    weights = merged_weights(dem)
    _, theirs = pymatching.Matching.from_detector_error_model(dem).decode_batch(dets, return_weights=True)
    for method in ("matching", "union-find"):
        _, ours = graph.decode_batch(dets, method=method, return_weights=True)
        for shot, events in enumerate(dets):
            edges = graph.decode_to_edges_array(events, method=method)
            parity = np.zeros(dem.num_detectors + 1, dtype=np.uint8)
            np.add.at(parity, edges.ravel(), 1)  # the boundary, -1, lands on the last slot
            assert np.array_equal(parity[:-1] % 2, events), (method, shot)
            total = sum(weights[(min(a, b), max(a, b)) if b >= 0 else (a, -1)] for a, b in edges.tolist())
            assert ours[shot] == pytest.approx(total, rel=1e-6, abs=1e-6), (method, shot)
            if method == "matching":
                assert total == pytest.approx(theirs[shot], abs=1e-5 * (1 + theirs[shot])), shot
            else:
                assert total >= theirs[shot] - 1e-5 * (1 + theirs[shot]), shot


@pytest.mark.parametrize("correlated", [False, True])
def test_every_entry_point_gives_one_answer(correlated):
    circuit = surface_circuit(5, 0.008)
    dem = circuit.detector_error_model(decompose_errors=True)
    dets, obs = circuit.compile_detector_sampler(seed=3).sample(600, separate_observables=True)
    graph = kelvane.SpacetimeGraph.from_detector_error_model(dem, enable_correlations=correlated)
    options = dict(method="matching", enable_correlations=correlated)
    batch, weights = graph.decode_batch(dets, return_weights=True, **options)
    threaded, valid, threaded_weights = graph.decode_batch(
        dets, num_threads=2, return_valid=True, return_weights=True, **options)
    copy = pickle.loads(pickle.dumps(graph))
    packed = copy.decode_batch(np.packbits(dets, axis=1, bitorder="little"), bit_packed_shots=True, **options)
    singles = [graph.decode(events, return_weight=True, **options) for events in dets]
    assert np.array_equal(batch, threaded) and np.array_equal(batch, packed) and valid.all()
    assert np.array_equal(weights, threaded_weights)
    assert np.array_equal(batch, np.array([np.asarray(result) for result, _ in singles]))
    assert np.array_equal(weights, [w for _, w in singles])
    # A sanity bound on accuracy: exact matching sees fewer errors than half of these shots.
    assert 0 < np.count_nonzero(batch != obs) < 0.2 * len(obs)


def test_weights_follow_the_sign_of_likely_edges_and_options_are_checked():
    # D0 - D1 more likely than not: it sits in the baseline correction, so a shot firing both
    # detectors is corrected by it (weight ln(0.3 / 0.7) < 0) and the quiet shot by nothing.
    graph = kelvane.SpacetimeGraph.from_detector_error_model(
        "error(0.7) D0 D1 L0\nerror(0.1) D0\nerror(0.1) D1\n")
    for method in ("matching", "union-find"):
        quiet, w_quiet = graph.decode([0, 0], method=method, return_weight=True)
        both, w_both = graph.decode([1, 1], method=method, return_weight=True)
        assert quiet.observable_flips == 0 and w_quiet == 0.0
        assert both.observable_flips == 1 and w_both == pytest.approx(math.log(0.3 / 0.7), rel=1e-6)
        assert graph.decode_to_edges_array([1, 1], method=method).tolist() == [[0, 1]]
        assert graph.decode_to_edges_array([1, 0], method=method).tolist() == [[0, 1], [1, -1]]
        assert graph.decode_to_edges_array([0, 0], method=method).shape == (0, 2)
    with pytest.raises(ValueError, match="method"):
        graph.decode([0, 0], method="blossom")
    with pytest.raises(ValueError, match="match_clusters"):
        graph.decode_batch([[0, 0]], method="matching", match_clusters=True)
