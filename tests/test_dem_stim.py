"""DetectorErrorModel against DEMs written by Stim, and against PyMatching's own DEM import."""

import math
import warnings

import numpy as np
import pytest

import _kelvane
from dem_recorder import recorded_edges

stim = pytest.importorskip("stim")
pymatching = pytest.importorskip("pymatching")

NOISE = dict(
    after_clifford_depolarization=0.001,
    before_round_data_depolarization=0.001,
    before_measure_flip_probability=0.002,
    after_reset_flip_probability=0.001,
)

# (task, distance, rounds, decompose_errors)
CIRCUITS = [
    ("repetition_code:memory", 5, 10, False),
    ("repetition_code:memory", 5, 10, True),
    ("surface_code:rotated_memory_x", 3, 10, False),
    ("surface_code:rotated_memory_x", 5, 10, True),
    ("surface_code:rotated_memory_z", 3, 12, True),
    ("surface_code:unrotated_memory_x", 3, 10, True),
    ("surface_code:unrotated_memory_x", 3, 9, False),
    ("color_code:memory_xyz", 3, 10, False),
]

GRAPHLIKE = [c for c in CIRCUITS if c[3]]


def circuit_of(task, distance, rounds):
    return stim.Circuit.generated(task, distance=distance, rounds=rounds, **NOISE)


def stim_dem(task, distance, rounds, decompose):
    return circuit_of(task, distance, rounds).detector_error_model(decompose_errors=decompose)


def ids(case):
    return "{}-d{}-r{}-{}".format(case[0].split(":")[-1], case[1], case[2], "dec" if case[3] else "raw")


@pytest.mark.parametrize("case", CIRCUITS, ids=ids)
@pytest.mark.parametrize("flatten", [False, True], ids=["nested", "flat"])
def test_counts_match_stim(case, flatten):
    dem = stim_dem(*case)
    text = str(dem.flattened() if flatten else dem)
    model = _kelvane.DetectorErrorModel.parse(text)
    assert model.detector_count == dem.num_detectors
    assert model.observable_count == dem.num_observables
    assert model.error_count == sum(1 for inst in dem.flattened() if inst.type == "error")


def graph_outcome(model):
    """The recorded edges and the warnings given, or the refusal's text."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            edges = recorded_edges(model)
        except ValueError as e:
            return str(e)
    return edges, [str(w.message) for w in caught]


@pytest.mark.parametrize("case", CIRCUITS, ids=ids)
def test_nested_and_flattened_text_give_the_same_graph(case):
    dem = stim_dem(*case)
    nested = _kelvane.DetectorErrorModel.parse(str(dem))
    flat = _kelvane.DetectorErrorModel.parse(str(dem.flattened()))
    assert "repeat" in str(dem)
    assert graph_outcome(nested) == graph_outcome(flat)


@pytest.mark.parametrize("case", CIRCUITS, ids=ids)
def test_edges_follow_the_error_instructions(case):
    """Every edge comes from one component of one error instruction, with its weight. A
    component of three or more detectors is left out, with a warning, or the model is refused
    when most mechanisms have one."""
    dem = stim_dem(*case).flattened()
    n = dem.num_detectors
    expected = []
    left_out = 0
    for inst in dem:
        if inst.type != "error":
            continue
        p = inst.args_copy()[0]
        weight = float(np.float32(math.log((1 - p) / p)))
        components = [[]]
        for t in inst.targets_copy():
            if t.is_separator():
                components.append([])
            else:
                components[-1].append(t)
        with_detectors = [c for c in components if any(t.is_relative_detector_id() for t in c)]
        if len(with_detectors) < 2:
            components = [[t for c in components for t in c]]
        for comp in components:
            dets = [t.val for t in comp if t.is_relative_detector_id()]
            obs = tuple(t.val for t in comp if t.is_logical_observable_id())
            if len(dets) == 1:
                expected.append((dets[0], n, obs, weight))
            elif len(dets) == 2:
                expected.append((dets[0], dets[1], obs, weight))
            elif dets:
                left_out += 1
    model = _kelvane.DetectorErrorModel.parse(str(dem))
    outcome = graph_outcome(model)
    if 2 * left_out > model.error_count:
        assert outcome == (
            f"{left_out} of the model's {model.error_count} error mechanisms have a component with three or more "
            "detectors, which a matching graph cannot hold; generate the DEM with decompose_errors=True (e.g. "
            "circuit.detector_error_model(decompose_errors=True))"
        )
        return
    edges, warned = outcome
    assert edges == expected
    assert len(warned) == (1 if left_out else 0)
    assert all(w.startswith(f"{left_out} error components with three or more detectors were left out") for w in warned)


def pymatching_edge_set(matching, n):
    edges = set()
    for a, b, data in matching.edges():
        b = n if b is None else b
        edges.add((min(a, b), max(a, b), frozenset(data["fault_ids"])))
    return edges


@pytest.mark.parametrize("case", GRAPHLIKE, ids=ids)
def test_graph_matches_pymatchings_import(case):
    dem = stim_dem(*case)
    model = _kelvane.DetectorErrorModel.parse(str(dem))
    n = model.detector_count
    theirs = pymatching.Matching.from_detector_error_model(dem)
    # The distinct (node pair, observables) of our graph are PyMatching's (merged) edges.
    ours = {(min(a, b), max(a, b), frozenset(obs)) for a, b, obs, _ in recorded_edges(model)}
    assert ours == pymatching_edge_set(theirs, n)
    # The real export merges parallel edges as independent mechanisms, as PyMatching's own
    # import does; weights differ only by our 32-bit rounding.
    exported = model.to_pymatching()
    assert exported.num_detectors == theirs.num_detectors
    assert exported.num_edges == theirs.num_edges

    def weights(matching):
        return {(min(a, n if b is None else b), max(a, n if b is None else b)): d["weight"]
                for a, b, d in matching.edges()}

    ours_w, theirs_w = weights(exported), weights(theirs)
    assert ours_w.keys() == theirs_w.keys()
    for key, w in theirs_w.items():
        assert ours_w[key] == pytest.approx(w, rel=1e-6, abs=1e-6)


@pytest.mark.parametrize("case", GRAPHLIKE, ids=ids)
def test_predictions_match_pymatchings_import(case):
    circuit = circuit_of(*case[:3])
    dem = circuit.detector_error_model(decompose_errors=True)
    ours = _kelvane.DetectorErrorModel.parse(str(dem)).to_pymatching()
    theirs = pymatching.Matching.from_detector_error_model(dem)
    sampler = circuit.compile_detector_sampler(seed=1234)
    detections, actual = sampler.sample(4000, separate_observables=True)
    predicted_ours = ours.decode_batch(detections)
    predicted_theirs = theirs.decode_batch(detections)
    # Weights enter PyMatching rounded to 32 bits here; a shot may then tie-break differently,
    # but that must stay rare and must not change the logical error rate noticeably.
    disagreements = np.count_nonzero(np.any(predicted_ours != predicted_theirs, axis=1))
    assert disagreements <= 4
    errors_ours = np.count_nonzero(np.any(predicted_ours != actual, axis=1))
    errors_theirs = np.count_nonzero(np.any(predicted_theirs != actual, axis=1))
    assert abs(errors_ours - errors_theirs) <= 4


def test_detector_coordinates_follow_shifts_into_the_schema():
    circuit = circuit_of("surface_code:rotated_memory_x", 3, 4)
    dem = circuit.detector_error_model()
    import json

    schema = json.loads(_kelvane.DetectorErrorModel.parse(str(dem)).to_schema_json("d3"))
    coords = dem.get_detector_coordinates()
    assert schema["ancilla_count"] == dem.num_detectors
    assert [s["id"] for s in schema["stabilizers"]] == sorted(coords)
    for s in schema["stabilizers"]:
        x, y = (round(v) for v in coords[s["id"]][:2])
        assert s["type"] == ("Z" if (x + y) % 2 == 0 else "X")


def test_repeated_observables_cancel_as_in_pymatchings_import():
    text = "error(0.1) D0 L0 L0\nerror(0.2) D0 D1 L1 L0 L1 L1\nerror(0.15) D1 L2 L2 L2"
    ours = _kelvane.DetectorErrorModel.parse(text).to_pymatching()
    theirs = pymatching.Matching.from_detector_error_model(stim.DetectorErrorModel(text))
    for syndrome in ([1, 0], [0, 1], [1, 1]):
        assert ours.decode(syndrome).tolist() == theirs.decode(syndrome).tolist(), syndrome
    assert theirs.decode([1, 0]).tolist() == [0, 0, 0]  # the boundary edge of D0 flips L0 twice
