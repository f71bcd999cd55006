"""Correlated decoding: the same predictions from every entry point, the error it raises on a
graph built without mechanisms, and low-weight faults against PyMatching."""

import numpy as np
import pytest
import stim

import kelvane

pymatching = pytest.importorskip("pymatching")


def circuit(d, p):
    return stim.Circuit.generated("surface_code:rotated_memory_x", distance=d, rounds=d,
                                  after_clifford_depolarization=p, before_measure_flip_probability=p,
                                  after_reset_flip_probability=p, before_round_data_depolarization=p)


def test_predictions_agree_across_entry_points(tmp_path):
    exp = kelvane.write_stim_experiment(circuit(5, 0.008), 400, tmp_path / "run.kvlx", seed=7)
    graph = kelvane.SpacetimeGraph.from_detector_error_model(exp.dem, enable_correlations=True)
    events = exp.detection_events
    batch = graph.decode_batch(events, return_masks=True, enable_correlations=True)
    plain = graph.decode_batch(events, return_masks=True)
    assert (batch != plain).sum() > 0  # the second pass changes some answers at this rate
    assert np.array_equal(graph.decode_batch(events, return_masks=True, enable_correlations=True, num_threads=2), batch)
    assert [graph.decode(row, enable_correlations=True).observable_flips for row in events] == batch.tolist()
    # Per-shot streams: the last frame of each shot carries the prediction.
    with kelvane.open(exp.path, decoder=exp.dem, layout=exp.layout, per_shot=True, enable_correlations=True) as s:
        last = [f.observable_flips for f in s if f.round == exp.layout.shape[0] - 1]
    assert last == batch.tolist()
    # Windows: a buffer covering the shot is the whole shot; shorter windows commit the second
    # pass's correction, in decode_sliding and in windowed streams alike.
    covering = graph.decode_sliding(events, commit=2, buffer=10**6, enable_correlations=True, num_threads=2)
    assert covering[:, 0].tolist() == batch.tolist()
    windows = graph.decode_sliding(events, commit=2, buffer=2, enable_correlations=True)
    assert (windows != graph.decode_sliding(events, commit=2, buffer=2)).sum() > 0
    with kelvane.open(exp.path, decoder=exp.dem, layout=exp.layout, per_shot=True, commit=2, buffer=2,
                      enable_correlations=True) as s:
        last = [f.observable_flips for f in s if f.round == exp.layout.shape[0] - 1]
    assert last == windows[:, 0].tolist()
    # sinter's decoder reads bit-packed shots.
    sinter = pytest.importorskip("sinter")
    decoder = kelvane.sinter_decoders()["kelvane-uf-correlated"]
    assert isinstance(decoder, sinter.Decoder)
    compiled = decoder.compile_decoder_for_dem(dem=exp.dem)
    packed = compiled.decode_shots_bit_packed(
        bit_packed_detection_event_data=np.packbits(events, axis=1, bitorder="little"))
    assert packed[:, 0].tolist() == batch.tolist()  # one observable: the mask is the packed byte
    assert kelvane.SpacetimeGraph.from_stim_circuit(circuit(5, 0.008), enable_correlations=True) == graph
    # An image keeps the mechanisms.
    again = kelvane.SpacetimeGraph.from_bytes(graph.to_bytes())
    assert again == graph
    assert np.array_equal(again.decode_batch(events, return_masks=True, enable_correlations=True), batch)


def test_correlations_need_a_graph_built_with_them(tmp_path):
    dem = circuit(3, 0.01).detector_error_model(decompose_errors=True)
    graph = kelvane.SpacetimeGraph.from_detector_error_model(dem)
    shots = np.zeros((2, dem.num_detectors), dtype=np.uint8)
    for call in (lambda: graph.decode(shots[0], enable_correlations=True),
                 lambda: graph.decode_batch(shots, enable_correlations=True),
                 lambda: graph.decode_sliding(shots, commit=1, buffer=1, enable_correlations=True),
                 lambda: graph.sliding_decoder(commit=1, buffer=1, enable_correlations=True),
                 lambda: kelvane.SpacetimeGraph.from_detector_error_model(graph, enable_correlations=True)):
        with pytest.raises(ValueError, match="enable_correlations=True"):
            call()
    assert graph.decode_batch(shots).sum() == 0


# Distance 3 corrects any single fault; the benchmark suite runs the weight-2 check at d = 5.
def test_single_faults_pymatching_corrects_are_corrected():
    from kelvane._bench import low_weight_check

    check = low_weight_check(3)
    assert check["sets"] == check["mechanisms"] * (check["mechanisms"] + 1) // 2
    for mode in ("plain", "correlated"):
        assert [s for s in check[mode]["kelvane_only_fails"] if len(s) == 1] == [], mode
