"""DetectorErrorModel.to_graph, SpacetimeGraph.decode and SpacetimeGraph.decode_batch."""

import _thread
import gc
import threading
import time

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
    assert graph.decode.__text_signature__ == (
        "($self, detection_events, *, bit_packed_shots=False, enable_correlations=False, match_clusters=False, "
        "method=\"union-find\", return_weight=False)"
    )
    assert graph.decode_batch.__text_signature__ == (
        "($self, shots, *, bit_packed_shots=False, bit_packed_predictions=False, return_masks=False, "
        "num_threads=1, return_valid=False, enable_correlations=False, match_clusters=False, "
        "method=\"union-find\", return_weights=False)"
    )
    assert graph.decode_to_edges_array.__text_signature__ == (
        "($self, detection_events, *, bit_packed_shots=False, enable_correlations=False, method=\"union-find\")"
    )
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
    batch = graph.decode_batch(np.array([events], dtype=np.uint8), return_masks=True)
    assert batch.dtype == np.uint64 and batch.tolist() == [flips]
    assert graph.decode_batch(np.array([events])).tolist() == [[flips & 1, flips >> 1]]


def test_quiet_shot_has_full_confidence():
    result = graph_of(CHAIN).decode(np.zeros(3, dtype=bool))
    assert (result.observable_flips, result.confidence) == (0, 1.0)
    assert repr(result) == "DecoderResult(corrections=0, confidence=1.0000, observable_flips=0b0)"


@pytest.mark.parametrize(
    "events, flips, valid, confidence",
    [([1, 0], 0, False, 0.0), ([0, 1], 0, False, 0.0), ([1, 1], 1, True, 0.9), ([0, 0], 0, True, 1.0)],
)
def test_unsatisfiable_syndromes_are_flagged(events, flips, valid, confidence):
    graph = graph_of("error(0.1) D0 D1 L0")
    result = graph.decode(events)
    assert (result.observable_flips, result.valid, result.confidence) == (flips, valid, confidence)
    predictions, valid_flags = graph.decode_batch(np.array([events] * 3, dtype=bool), return_valid=True)
    assert predictions[:, 0].tolist() == [flips] * 3
    assert valid_flags.dtype == bool and valid_flags.tolist() == [valid] * 3


def test_nonzero_entries_count_as_fired():
    graph = graph_of(CHAIN)
    assert graph.decode([7, 0, 0]).observable_flips == 1
    shots = np.array([[0, 0, 200], [3, 0, 0]], dtype=np.uint8)
    assert graph.decode_batch(shots, return_masks=True).tolist() == [2, 1]


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


PARALLEL = "error(0.1) D0 D1\nerror(0.2) D1 D0\nerror(0.1) D3 L2\nerror(0.3) D3\ndetector D7\n"


@pytest.mark.parametrize("text", [CHAIN, PARALLEL, "surface"])
def test_pymatching_counts(text, tmp_path):
    """The num_* properties mean what PyMatching's do, on the same model; edge_count is unfolded."""
    stim = pytest.importorskip("stim")
    pymatching = pytest.importorskip("pymatching")
    if text == "surface":
        circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=3,
                                         after_clifford_depolarization=0.01)
        graph = _kelvane.SpacetimeGraph.from_stim_circuit(circuit)
        matching = pymatching.Matching.from_stim_circuit(circuit)
        dem = circuit.detector_error_model(decompose_errors=True)
    else:
        dem = stim.DetectorErrorModel(text)
        graph = _kelvane.SpacetimeGraph.from_detector_error_model(dem)
        matching = pymatching.Matching.from_detector_error_model(dem)
    counts = (graph.num_detectors, graph.num_nodes, graph.num_edges, graph.num_fault_ids)
    assert counts == (matching.num_detectors, matching.num_nodes, matching.num_edges, matching.num_fault_ids)
    assert graph.node_count == graph.num_nodes + 1 and graph.edge_count >= graph.num_edges
    dem.to_file(tmp_path / "model.dem")
    assert _kelvane.SpacetimeGraph.from_detector_error_model_file(tmp_path / "model.dem") == graph
    assert _kelvane.SpacetimeGraph.from_detector_error_model_file(str(tmp_path / "model.dem")) == graph


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: _kelvane.SpacetimeGraph.from_detector_error_model_file("/nonexistent/model.dem"), OSError),
        (lambda: _kelvane.SpacetimeGraph.from_detector_error_model_file(CHAIN), OSError),  # text, not a path
        (lambda: _kelvane.SpacetimeGraph.from_stim_circuit(CHAIN), TypeError),
    ],
)
def test_graph_constructors_reject(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("kwargs", [{}, {"bit_packed_shots": True}, {"return_masks": True}])
def test_decode_batch_takes_lists(kwargs):
    rows = np.array([[1, 0, 0], [0, 0, 1], [1, 0, 1], [0, 1, 1]], dtype=np.uint8)
    if kwargs.get("bit_packed_shots"):
        rows = np.packbits(rows, axis=1, bitorder="little")
    graph = graph_of(CHAIN)
    assert graph.decode_batch(rows.tolist(), **kwargs).tolist() == graph.decode_batch(rows, **kwargs).tolist()


@pytest.mark.parametrize(
    "arg, error, text",
    [
        ([["1", "0", "0"]], TypeError, "argument 'shots': expected an array of integer, bool or float dtype, got <U1"),
        (np.zeros((2, 3), dtype=complex), TypeError,
         "argument 'shots': expected an array of integer, bool or float dtype, got complex128"),
        (np.zeros(3, dtype=bool), ValueError, "shots must be a 2-D array (shots x detectors), got a 1-D array"),
        (np.zeros((2, 4), dtype=bool), ValueError, "shots has 4 columns, expected 3 (one per detector)"),
    ],
)
def test_decode_batch_rejects(arg, error, text):
    with pytest.raises(error) as info:
        graph_of(CHAIN).decode_batch(arg)
    assert str(info.value) == text


@pytest.mark.parametrize(
    "shots, kwargs, error, text",
    [
        (np.zeros((2, 2), dtype=np.uint8), {"bit_packed_shots": True}, ValueError,
         "shots has 2 columns, expected 1 (one per eight detectors, bit-packed)"),
        (np.zeros((2, 1), dtype=np.int64), {"bit_packed_shots": True}, TypeError,
         "argument 'shots': bit-packed shots must have dtype uint8, got int64"),
        (np.zeros((2, 3), dtype=bool), {"num_threads": -1}, TypeError,
         "argument 'num_threads': expected 0 (every core) or a positive thread count, got -1"),
    ],
)
def test_decode_batch_rejects_bit_packed(shots, kwargs, error, text):
    with pytest.raises(error) as info:
        graph_of(CHAIN).decode_batch(shots, **kwargs)
    assert str(info.value) == text


def test_observables_beyond_255_are_refused_by_the_parser():
    # Observable ids are one byte.
    with pytest.raises(ValueError, match="^malformed target 'L256'$"):
        graph_of("error(0.1) D0 L256")


def test_missing_arguments():
    graph = graph_of(CHAIN)
    with pytest.raises(TypeError, match="detection_events"):
        graph.decode()
    with pytest.raises(TypeError, match="shots"):
        graph.decode_batch()


def test_empty_batch_and_graph_without_detectors():
    graph = graph_of(CHAIN)
    out = graph.decode_batch(np.zeros((0, 3), dtype=bool), return_masks=True)
    assert out.dtype == np.uint64 and out.shape == (0,)
    assert graph.decode_batch(np.zeros((0, 3), dtype=bool)).shape == (0, 2)
    empty = graph_of("")
    assert empty.decode([]).observable_flips == 0
    assert empty.decode_batch(np.zeros((4, 0), dtype=bool), return_masks=True).tolist() == [0, 0, 0, 0]
    assert empty.decode_batch(np.zeros((4, 0), dtype=bool)).shape == (4, 0)


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

    def masks(array, **kwargs):
        return graph.decode_batch(array, return_masks=True, **kwargs).tolist()

    for dtype in (bool, np.uint8, np.int8, np.int64, np.float32):
        assert masks(dense.astype(dtype)) == expected
    assert masks(np.asfortranarray(dense)) == expected
    assert masks(dense[::-1]) == expected[::-1]
    wide = np.zeros((dense.shape[0], 10), dtype=bool)
    wide[:, ::2] = dense
    assert masks(wide[:, ::2]) == expected
    assert masks(dense[::2]) == expected[::2]
    mirrored = np.ascontiguousarray(dense[:, ::-1])
    assert masks(mirrored[:, ::-1]) == expected  # negative column stride
    # Bit-packed shots (padding bits set must not count) and both prediction layouts.
    packed = np.packbits(dense, axis=1, bitorder="little") | np.uint8(0xE0)
    assert masks(packed, bit_packed_shots=True) == expected
    assert [graph.decode(row, bit_packed_shots=True).observable_flips for row in packed] == expected
    bits = (np.array(expected, dtype=np.uint64)[:, None] >> np.arange(5, dtype=np.uint64)) & 1
    assert graph.decode_batch(dense).tolist() == bits.tolist()
    assert graph.decode_batch(packed, bit_packed_shots=True, bit_packed_predictions=True).tolist() == (
        np.packbits(bits.astype(np.uint8), axis=1, bitorder="little").tolist()
    )


def test_decoders_are_not_mixed_up_between_graphs():
    # Alternating between graphs, and graphs freed and rebuilt (possibly at the same
    # address), must always decode with the graph at hand.
    chain_row = np.array([[1, 0, 0]], dtype=bool)
    for _ in range(5):
        a = graph_of(CHAIN)
        b = graph_of("error(0.1) D0 ^ L5\nerror(0.1) D1\nerror(0.1) D2")
        for _ in range(3):
            assert a.decode_batch(chain_row, return_masks=True).tolist() == [1]
            assert b.decode_batch(chain_row, return_masks=True).tolist() == [32]
        del a, b
        gc.collect()


def test_graph_outlives_its_model():
    model = _kelvane.DetectorErrorModel.parse(CHAIN)
    graph = model.to_graph()
    del model
    gc.collect()
    assert graph.decode([0, 0, 1]).observable_flips == 2


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_long_batch(threads):
    stim = pytest.importorskip("stim")
    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_x", distance=11, rounds=11, after_clifford_depolarization=0.02
    )
    graph = _kelvane.SpacetimeGraph.from_detector_error_model(circuit.detector_error_model(decompose_errors=True))
    sample = circuit.compile_detector_sampler(seed=1).sample(100, bit_packed=True)
    shots = np.tile(sample, (2000, 1))  # about 20 s of decoding on one core
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        graph.decode_batch(shots, bit_packed_shots=True, num_threads=threads)
    elapsed = time.monotonic() - start
    timer.join()
    assert elapsed < 5
    expected = graph.decode_batch(sample, bit_packed_shots=True)
    assert np.array_equal(graph.decode_batch(sample, bit_packed_shots=True, num_threads=threads), expected)


def test_decode_trace_matches_decode_and_reproduces_the_syndrome():
    stim = pytest.importorskip("stim")
    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_z", distance=5, rounds=5, after_clifford_depolarization=0.01
    )
    graph = _kelvane.SpacetimeGraph.from_detector_error_model(circuit.detector_error_model(decompose_errors=True))
    for shot in circuit.compile_detector_sampler(seed=3).sample(50):
        fired = [int(i) for i in np.flatnonzero(shot)]
        mask, edges, clusters = graph._decode_trace(fired)
        assert mask == graph.decode(shot).observable_flips
        parity = np.zeros(graph.node_count, dtype=bool)
        for a, b, _ in edges:
            parity[a] ^= True
            parity[b] ^= True
        assert list(np.flatnonzero(parity[: graph.num_detectors])) == fired
        root = dict(clusters)
        assert set(fired) <= set(root)
        # a correction edge between two detectors stays inside one cluster, unless the
        # shortcut settled the pair (then both ends are their own roots)
        for a, b, _ in edges:
            if b != graph.boundary_node:
                assert root[a] == root[b] or (root[a], root[b]) == (a, b)


def test_cluster_matching_reaches_every_decoding_path():
    stim = pytest.importorskip("stim")
    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_z", distance=7, rounds=7, after_clifford_depolarization=0.012
    )
    graph = _kelvane.SpacetimeGraph.from_detector_error_model(circuit.detector_error_model(decompose_errors=True))
    shots = circuit.compile_detector_sampler(seed=4).sample(300)
    matched = graph.decode_batch(shots, return_masks=True, match_clusters=True)
    assert matched.tolist() == [graph.decode(shot, match_clusters=True).observable_flips for shot in shots]
    assert np.array_equal(graph.decode_batch(shots, return_masks=True, match_clusters=True, num_threads=2), matched)
    # pooled decoders do not keep the switch from one call to the next
    plain = graph.decode_batch(shots, return_masks=True)
    assert plain.tolist() == [graph.decode(shot).observable_flips for shot in shots]
    assert np.count_nonzero(plain != matched) > 0
    touching = graph.decode_batch(shots, return_masks=True, match_clusters="touching")
    assert touching.tolist() == [graph.decode(shot, match_clusters="touching").observable_flips for shot in shots]
    with pytest.raises(ValueError, match="touching"):
        graph.decode(shots[0], match_clusters="nearby")


# D0 L0 at p = 0.9: with D1 fired, the most likely explanation (0.081 against 0.009) flips L0.
LIKELY = "detector(0, 0) D0\ndetector(0, 1) D1\nerror(0.9) D0 L0\nerror(0.1) D0 D1\nerror(0.1) D1\n"
LIKELY_SHOTS = np.array([[0, 1], [0, 0], [1, 0], [1, 1]], dtype=np.uint8)


def test_likely_edge_predicts_as_pymatching_in_every_decoding_path(tmp_path):
    stim = pytest.importorskip("stim")
    pymatching = pytest.importorskip("pymatching")
    import kelvane
    from kelvane.kvlx import KvlxWriter

    dem = stim.DetectorErrorModel(LIKELY)
    expected = pymatching.Matching.from_detector_error_model(dem).decode_batch(LIKELY_SHOTS).ravel()
    assert expected.tolist() == [1, 0, 1, 1]
    graph = _kelvane.SpacetimeGraph.from_detector_error_model(dem)
    assert graph.decode_batch(LIKELY_SHOTS).ravel().tolist() == expected.tolist()
    assert graph.decode_batch(LIKELY_SHOTS, num_threads=2).ravel().tolist() == expected.tolist()
    assert graph.decode_sliding(LIKELY_SHOTS, commit=1, buffer=1).ravel().tolist() == expected.tolist()
    assert [graph.decode(s).observable_flips for s in LIKELY_SHOTS] == expected.tolist()
    # p = 1: the mechanism is certain, so even a quiet shot flips L0, in every path.
    certain = _kelvane.DetectorErrorModel.parse(LIKELY.replace("0.9", "1")).to_graph()
    quiet = np.zeros((1, 2), dtype=np.uint8)
    assert certain.decode(quiet[0]).observable_flips == 1
    assert certain.decode_batch(quiet).ravel().tolist() == [1]
    assert certain.decode_sliding(quiet, commit=1, buffer=1).ravel().tolist() == [1]
    layout = np.arange(2).reshape(-1, 1)
    path = tmp_path / "likely.kvlx"
    with KvlxWriter(str(path)) as writer:
        writer.write_shots(LIKELY_SHOTS, np.zeros((4, 1), dtype=np.uint8), layout=layout)
    with kelvane.open(str(path), decoder=LIKELY, layout=layout, per_shot=True) as stream:
        assert [f.observable_flips for f in stream if f.round == 1] == expected.tolist()
