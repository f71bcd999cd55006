"""Model objects pickle and compare by value; DecoderResult compares by value."""

import pickle

import numpy as np
import pytest

import kelvane
from kelvane import DecoderResult, DetectorErrorModel, SpacetimeGraph

MODELS = [
    "",
    "error(0.1) D0 L0\nerror(0.02) D0 D1 ^ D2 L1\nlogical_observable L5",
    "detector(1, 2.5, 3) D0\nrepeat 3 {\n error(0.01) D0 D1\n shift_detectors 1\n}\nerror(0.3) D7 ^ L2",
]


@pytest.mark.parametrize("text", MODELS)
def test_models_and_graphs_round_trip(text):
    model = DetectorErrorModel.parse(text)
    back = pickle.loads(pickle.dumps(model))
    assert back == model and back is not model and repr(back) == repr(model)
    assert DetectorErrorModel.parse(model.to_text()) == model
    graph = model.to_graph()
    again = pickle.loads(pickle.dumps(graph, protocol=pickle.HIGHEST_PROTOCOL))
    assert again == graph and SpacetimeGraph.from_bytes(graph.to_bytes()) == graph
    if graph.boundary_node:
        shots = np.random.default_rng(1).integers(0, 2, (50, graph.boundary_node))
        assert np.array_equal(again.decode_batch(shots), graph.decode_batch(shots))


def test_equality_is_by_value():
    a, b = DetectorErrorModel.parse("error(0.1) D0 L0"), DetectorErrorModel.parse("error(0.2) D0 L0")
    assert a != b and a == DetectorErrorModel.parse("error(0.1) D0  L0 # same")
    assert a.to_graph() != b.to_graph() and a.to_graph() == a.to_graph()
    assert a != "error(0.1) D0 L0"
    assert DecoderResult(3, 0.9) == DecoderResult(3, 0.9)
    assert DecoderResult(3, 0.9) != DecoderResult(3, 1.0) and DecoderResult(3) != DecoderResult(1)
    assert a.to_graph().decode([1]) == DecoderResult(1, 0.9)


def test_damaged_graph_image_is_refused():
    data = DetectorErrorModel.parse("error(0.1) D0 D1").to_graph().to_bytes()
    with pytest.raises(ValueError, match="not a SpacetimeGraph byte image"):
        SpacetimeGraph.from_bytes(data[:-1])
    # Counts and indices are checked against each other: boundary 4 with 3 nodes, 2^62 observables.
    for at, value, reason in [(8, 4, "3 nodes for 4 detectors"), (16, 2**62, "4611686018427387904 observables")]:
        with pytest.raises(ValueError, match=reason):
            SpacetimeGraph.from_bytes(data[:at] + value.to_bytes(8, "little") + data[at + 8:])
    with pytest.raises(TypeError, match="argument 'data': 'str' object is not an instance of 'bytes'"):
        SpacetimeGraph.from_bytes("x")
    assert kelvane.SpacetimeGraph is SpacetimeGraph


# Graphs at the edges of what building keeps: certain mechanisms (p = 1, weight -inf), p = 0.5
# (weight 0), p > 0.5 (negative weights), never-firing ones (p = 0, no edges), observables past 64.
EDGE_MODELS = {
    "p = 1": "error(1) D0 D1 ^ D1 D2\nerror(0.1) D0\nerror(0.1) D2",
    "p = 1, one edge": "error(1) D0 D1\nerror(0.1) D0 ^ D1",
    "p = 0.5": "error(0.5) D0 D1 ^ D1 D2 L0\nerror(0.1) D0\nerror(0.1) D2",
    "p > 0.5": "error(0.7) D0 D1 ^ D1 D2\nerror(0.9) D0 L1\nerror(0.1) D2",
    "p = 0": "error(0) D0 D1 ^ D1 D2\nerror(0.1) D0\nerror(0.1) D2",
    "wide": "error(0.1) D0 D1 L200 ^ D1 D2\nerror(0.1) D0 L100\nerror(0.1) D2 L63 L64",
    "wide, p = 1": "error(1) D0 D1 L200 ^ D1 D2 L3\nerror(0.1) D0 L100\nerror(0.1) D2",
}


@pytest.mark.parametrize("correlations", [False, True])
@pytest.mark.parametrize("name", EDGE_MODELS)
def test_every_graph_that_builds_round_trips(name, correlations):
    model = DetectorErrorModel.parse(EDGE_MODELS[name])
    graph = SpacetimeGraph.from_detector_error_model(model, enable_correlations=correlations)
    back = SpacetimeGraph.from_bytes(graph.to_bytes())
    again = pickle.loads(pickle.dumps(graph))
    assert back == graph and again == graph and again.to_bytes() == graph.to_bytes()
    shots = np.array(list(np.ndindex(*(2,) * graph.boundary_node)), dtype=np.uint8)  # every syndrome
    expected = graph.decode_batch(shots)
    assert np.array_equal(again.decode_batch(shots), expected)
