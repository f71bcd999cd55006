"""DetectorErrorModel.to_graph, SpacetimeGraph.decode and SpacetimeGraph.decode_batch."""

import gc

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kelvane

# Chain B - D0 - D1 - D2 - B: L0 on the left boundary edge, L1 on the right one; the middle
# edges are heavier than the boundary ones.
CHAIN = """
error(0.1) D0 ^ L0
error(0.05) D0 D1
error(0.05) D1 D2
error(0.1) D2 ^ L1
"""


def graph_of(text):
    return _kelvane.DetectorErrorModel.parse(text).to_graph()


def test_to_graph_counts():
    graph = graph_of(CHAIN)
    assert type(graph).__name__ == "SpacetimeGraph"
    assert (graph.node_count, graph.edge_count, graph.boundary_node) == (4, 4, 3)


def test_method_signatures():
    graph = graph_of(CHAIN)
    assert graph.decode.__text_signature__ == "($self, detection_events)"
    assert graph.decode_batch.__text_signature__ == "($self, shots)"
    assert _kelvane.DetectorErrorModel.to_graph.__text_signature__ == "($self)"
    assert "corrections list is" in graph.decode.__doc__


@pytest.mark.parametrize(
    "events, flips",
    [
        ([1, 0, 0], 0b01),
        ([0, 0, 1], 0b10),
        ([1, 1, 0], 0b00),
        ([0, 1, 1], 0b00),
        ([1, 0, 1], 0b11),
        ([0, 1, 0], 0b01),  # the left boundary wins the tie by edge order
        ([1, 1, 1], 0b01),
    ],
)
def test_decode_chain(events, flips):
    graph = graph_of(CHAIN)
    result = graph.decode(events)
    assert result.observable_flips == flips
    assert result.confidence == 0.9
    assert result.corrections == []
    assert graph.decode(np.array(events, dtype=bool)).observable_flips == flips
    assert graph.decode(detection_events=tuple(events)).observable_flips == flips
    batch = graph.decode_batch(np.array([events], dtype=np.uint8))
    assert batch.dtype == np.uint64 and batch.tolist() == [flips]


def test_quiet_shot_has_full_confidence():
    result = graph_of(CHAIN).decode(np.zeros(3, dtype=bool))
    assert (result.observable_flips, result.confidence) == (0, 1.0)
    assert repr(result) == "DecoderResult(corrections=0, confidence=1.0000, observable_flips=0b0)"


def test_nonzero_entries_count_as_fired():
    graph = graph_of(CHAIN)
    assert graph.decode([7, 0, 0]).observable_flips == 1
    shots = np.array([[0, 0, 200], [3, 0, 0]], dtype=np.uint8)
    assert graph.decode_batch(shots).tolist() == [2, 1]


@pytest.mark.parametrize(
    "arg, error, text",
    [
        (None, TypeError, "argument 'detection_events': expected a sequence of 0/1 values, got 'NoneType'"),
        ("101", TypeError, "argument 'detection_events': expected a sequence of 0/1 values, got 'str'"),
        (5, TypeError, "argument 'detection_events': expected a sequence of 0/1 values, got 'int'"),
        ([[1, 0, 0]], ValueError, "detection_events must be 1-D, got a 2-D array"),
        ([1, 0], ValueError, "detection_events has 2 entries, expected 3 (one per detector)"),
    ],
)
def test_decode_rejects(arg, error, text):
    with pytest.raises(error) as info:
        graph_of(CHAIN).decode(arg)
    assert str(info.value) == text


@pytest.mark.parametrize(
    "arg, error, text",
    [
        ([[1, 0, 0]], TypeError, "argument 'shots': 'list' object is not an instance of 'numpy.ndarray'"),
        (np.zeros((2, 3), dtype=np.int64), TypeError,
         "argument 'shots': expected an array of dtype bool or uint8, got int64"),
        (np.zeros(3, dtype=bool), ValueError, "shots must be a 2-D array (shots x detectors), got a 1-D array"),
        (np.zeros((2, 4), dtype=bool), ValueError, "shots has 4 columns, expected 3 (one per detector)"),
    ],
)
def test_decode_batch_rejects(arg, error, text):
    with pytest.raises(error) as info:
        graph_of(CHAIN).decode_batch(arg)
    assert str(info.value) == text


def test_missing_arguments():
    graph = graph_of(CHAIN)
    with pytest.raises(TypeError, match="detection_events"):
        graph.decode()
    with pytest.raises(TypeError, match="shots"):
        graph.decode_batch()


def test_empty_batch_and_graph_without_detectors():
    graph = graph_of(CHAIN)
    out = graph.decode_batch(np.zeros((0, 3), dtype=bool))
    assert out.dtype == np.uint64 and out.shape == (0,)
    empty = graph_of("")
    assert empty.decode([]).observable_flips == 0
    assert empty.decode_batch(np.zeros((4, 0), dtype=bool)).tolist() == [0, 0, 0, 0]


# A DEM with parallel edges, a self-loop, several observables and a long-range edge.
MIXED = """
error(0.02) D0 D1 ^ L0
error(0.01) D0 D1 ^ L1
error(0.03) D1 D2
error(0.02) D2 D3 ^ L2
error(0.01) D3 ^ L3
error(0.04) D0 ^ L1 L2
error(0.01) D1 D1 ^ L4
error(0.005) D4 D0 ^ L0
error(0.02) D4
error(0.03) D2 D4 ^ L3
"""

rows = st.lists(st.lists(st.booleans(), min_size=5, max_size=5), min_size=1, max_size=30)


@settings(max_examples=60, deadline=None)
@given(rows)
def test_batch_agrees_with_single_decodes_in_any_layout(shots):
    graph = graph_of(MIXED)
    dense = np.array(shots, dtype=bool)
    expected = [graph.decode(row).observable_flips for row in shots]
    assert graph.decode_batch(dense).tolist() == expected
    assert graph.decode_batch(dense.astype(np.uint8)).tolist() == expected
    assert graph.decode_batch(np.asfortranarray(dense)).tolist() == expected
    assert graph.decode_batch(dense[::-1]).tolist() == expected[::-1]
    wide = np.zeros((dense.shape[0], 10), dtype=bool)
    wide[:, ::2] = dense
    assert graph.decode_batch(wide[:, ::2]).tolist() == expected
    assert graph.decode_batch(dense[::2]).tolist() == expected[::2]
    mirrored = np.ascontiguousarray(dense[:, ::-1])
    assert graph.decode_batch(mirrored[:, ::-1]).tolist() == expected  # negative column stride


def test_decoders_are_not_mixed_up_between_graphs():
    # Alternating between graphs, and graphs freed and rebuilt (possibly at the same
    # address), must always decode with the graph at hand.
    chain_row = np.array([[1, 0, 0]], dtype=bool)
    for _ in range(5):
        a = graph_of(CHAIN)
        b = graph_of("error(0.1) D0 ^ L5\nerror(0.1) D1\nerror(0.1) D2")
        for _ in range(3):
            assert a.decode_batch(chain_row).tolist() == [1]
            assert b.decode_batch(chain_row).tolist() == [32]
        del a, b
        gc.collect()


def test_graph_outlives_its_model():
    model = _kelvane.DetectorErrorModel.parse(CHAIN)
    graph = model.to_graph()
    del model
    gc.collect()
    assert graph.decode([0, 0, 1]).observable_flips == 2
