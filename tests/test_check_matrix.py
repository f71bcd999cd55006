"""SpacetimeGraph.from_check_matrix against PyMatching's Matching.from_check_matrix on the same
inputs: the same graph (edges, weights, fault ids), and the same predictions."""

import numpy as np
import pytest

import kelvane
from kelvane._check_matrix import check_matrix_model

pymatching = pytest.importorskip("pymatching")
stim = pytest.importorskip("stim")
sparse = pytest.importorskip("scipy.sparse")


def repetition(n, cyclic=False):
    """(n - 1) x n (or n x n, cyclic) checks of neighbouring bits."""
    h = np.zeros((n if cyclic else n - 1, n), dtype=np.uint8)
    for i in range(h.shape[0]):
        h[i, i] = h[i, (i + 1) % n] = 1
    return h


def product(h):
    """The hypergraph product's X checks and X logicals of a classical code h: the planar
    surface code for an open repetition code, the toric code for a cyclic one."""
    m, n = h.shape
    hx = np.hstack([np.kron(h, np.eye(n, dtype=np.uint8)), np.kron(np.eye(m, dtype=np.uint8), h.T)]) % 2
    kernel = np.ones(n, dtype=np.uint8)[None, :]  # the repetition code's codeword
    if m == n:  # cyclic: two logicals, one per direction
        lx = np.vstack([np.hstack([np.kron(kernel, np.eye(n, dtype=np.uint8)[:1]), np.zeros((1, m * m), np.uint8)]),
                        np.hstack([np.zeros((1, n * n), np.uint8), np.kron(np.eye(m, dtype=np.uint8)[:1], kernel)])])
    else:
        lx = np.hstack([np.kron(kernel, np.eye(n, dtype=np.uint8)[:1]), np.zeros((1, m * m), np.uint8)])
    return hx, lx


RNG = np.random.default_rng(7)
REP7 = repetition(7)
SURFACE3 = product(repetition(3))
TORIC3 = product(repetition(3, cyclic=True))
PARALLEL = np.array([[1, 1, 1, 0, 1], [0, 1, 1, 1, 0]])  # columns 1, 2 the same edge; 0 and 4 both boundary

# name: (check matrix, from_check_matrix keyword arguments)
GRAPHS = {
    "repetition, unit weights": (REP7, {}),
    "repetition, weights and p": (REP7, dict(weights=RNG.uniform(0.5, 3, 7), error_probabilities=0.1)),
    "repetition x 4 rounds": (REP7, dict(repetitions=4, timelike_weights=RNG.uniform(0.5, 3, 6),
                                         measurement_error_probabilities=0.05)),
    "surface code, logicals": (SURFACE3[0], dict(faults_matrix=SURFACE3[1])),
    "toric code x 3 rounds, sparse": (sparse.csc_matrix(TORIC3[0]), dict(
        repetitions=3, timelike_weights=2.0, faults_matrix=sparse.csr_matrix(TORIC3[1]))),
    "one row, a negative weight": (np.array([[1, 1, 1]]), dict(weights=[-1.0, 2.0, 3.0])),
    "parallel, smallest-weight": (PARALLEL, dict(weights=[2.0, 3.0, 1.5, 1.0, 1.0])),
    "parallel, keep-original": (PARALLEL, dict(weights=[2.0, 3.0, 1.5, 1.0, 1.0], merge_strategy="keep-original")),
    "parallel, replace": (PARALLEL, dict(weights=[2.0, 3.0, 1.5, 1.0, 4.0], merge_strategy="replace")),
    "parallel, independent": (PARALLEL, dict(weights=[2.0, 3.0, 1.5, 1.0, 0.5], merge_strategy="independent")),
    "an empty column, unused fault ids": (np.array([[1, 0, 1], [1, 0, 0]]),
                                          dict(faults_matrix=[[1, 0, 0], [0, 1, 0], [0, 0, 0]])),
}


def edge_table(matching, boundary):
    """{(node, node or "B"): (fault ids, weight)} of a PyMatching graph."""
    table = {}
    for u, v, data in matching.edges():
        a, b = sorted((u, v), key=lambda x: (x is None or x in boundary, x))
        b = "B" if b is None or b in boundary else b
        table[(a, b)] = (frozenset(data["fault_ids"]), data["weight"])
    return table


@pytest.mark.parametrize("name", GRAPHS)
def test_the_graph_is_pymatchings(name):
    h, kwargs = GRAPHS[name]
    theirs = pymatching.Matching.from_check_matrix(h, **kwargs)
    text = check_matrix_model(h, **kwargs)
    ours = edge_table(pymatching.Matching.from_detector_error_model(stim.DetectorErrorModel(text)), set())
    expected = edge_table(theirs, theirs.boundary)
    assert ours.keys() == expected.keys()
    for key, (faults, weight) in expected.items():
        assert ours[key][0] == faults and ours[key][1] == pytest.approx(weight, rel=1e-9), key
    graph = kelvane.SpacetimeGraph.from_check_matrix(h, **kwargs)
    assert (graph.num_detectors, graph.num_fault_ids, graph.num_edges) == (
        theirs.num_detectors, theirs.num_fault_ids, theirs.num_edges)


def mechanisms(text):
    """Each error of a model as (detectors, observables) index arrays."""
    out = []
    for inst in stim.DetectorErrorModel(text).flattened():
        if inst.type == "error":
            targets = inst.targets_copy()
            out.append(([t.val for t in targets if t.is_relative_detector_id()],
                        [t.val for t in targets if t.is_logical_observable_id()]))
    return out


# name: (check matrix, logicals, errors corrected for sure, from_check_matrix keyword arguments)
CODES = {
    "repetition 7": (REP7, np.eye(7, dtype=np.uint8)[:1], 3, dict(weights=RNG.uniform(1, 1.3, 7))),
    "repetition 7 x 5 rounds": (REP7, np.eye(7, dtype=np.uint8)[:1], 3, dict(repetitions=5)),
    "surface 3": (SURFACE3[0], SURFACE3[1], 1, {}),
    "surface 3 x 3 rounds": (SURFACE3[0], SURFACE3[1], 1, dict(repetitions=3, timelike_weights=1.5)),
    "toric 3 x 2 rounds": (TORIC3[0], TORIC3[1], 1, dict(repetitions=2)),
}


@pytest.mark.parametrize("name", CODES)
@pytest.mark.parametrize("faults", ["logicals", "identity"])
def test_predictions_match_pymatching(name, faults):
    """Shots of up to t errors (t below half the distance, none included): both decoders predict
    the true logical flips, and with the identity as faults_matrix both corrections explain the
    syndrome and flip the same logicals."""
    h, logicals, t, kwargs = CODES[name]
    if faults == "logicals":
        kwargs = dict(kwargs, faults_matrix=logicals)
    ours = kelvane.SpacetimeGraph.from_check_matrix(h, **kwargs)
    theirs = pymatching.Matching.from_check_matrix(h, **kwargs)
    # The shots: every error alone, then random sets of up to t errors (none included).
    errors = mechanisms(check_matrix_model(h, **kwargs))
    picks = [[j] for j in range(len(errors))] + [
        RNG.choice(len(errors), size=RNG.integers(0, t + 1), replace=False).tolist() for _ in range(300)]
    dets = np.zeros((len(picks), ours.num_detectors), dtype=np.uint8)
    flips = np.zeros((len(picks), ours.num_fault_ids), dtype=np.uint8)
    for s, pick in enumerate(picks):
        for j in pick:
            dets[s, errors[j][0]] ^= 1
            flips[s, errors[j][1]] ^= 1
    predicted, expected = ours.decode_batch(dets), theirs.decode_batch(dets)
    assert predicted.shape == expected.shape == flips.shape
    if faults == "logicals":
        assert (predicted == flips).all() and (expected == flips).all()
    else:  # corrections: both flip the logicals the errors flipped, and one round's explains its syndrome
        for correction in (predicted, expected):
            assert (correction @ logicals.T % 2 == flips @ logicals.T % 2).all()
            if "repetitions" not in kwargs:
                assert (correction @ h.T % 2 == dets).all()
    if "repetitions" in kwargs:  # PyMatching's rows x rounds form is the detectors in time order
        z = dets[1].reshape(kwargs["repetitions"], -1).T
        assert (theirs.decode(z) == expected[1]).all()


@pytest.mark.parametrize("h, kwargs, message", [
    ([[1, 1, 0], [1, 1, 1], [0, 1, 1]], {}, "at most two ones per column, but column 1 has 3"),
    (PARALLEL, dict(merge_strategy="disallow"), "merge_strategy='disallow'"),
    (PARALLEL, dict(merge_strategy="largest"), "merge_strategy must be one of"),
    (REP7, dict(weights=[1.0, 2.0]), "weights must be one number or 7"),
    (REP7, dict(repetitions=3, timelike_weights=[1.0] * 7), "timelike_weights must be one number or 6"),
    (REP7, dict(repetitions=0), "repetitions must be 1 or more"),
    (REP7, dict(faults_matrix=np.eye(6)), "faults_matrix has 6 columns, but check_matrix has 7"),
    (repetition(300), {}, "300 fault ids, but a graph predicts at most 256"),
    ([1, 1, 0], {}, "2-D matrix"),
])
def test_refusals(h, kwargs, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        kelvane.SpacetimeGraph.from_check_matrix(h, **kwargs)
