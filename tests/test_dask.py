"""kelvane.dask.decode_batch on a 2-worker LocalCluster of processes equals decoding in-process."""

import numpy as np
import pytest
import stim

import kelvane

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
import kelvane.dask  # noqa: E402


def test_cluster_predictions_equal_single_process():
    circuit = stim.Circuit.generated("surface_code:rotated_memory_x", distance=3, rounds=3,
                                     after_clifford_depolarization=0.01)
    dets = circuit.compile_detector_sampler(seed=11).sample(3000)
    graph = kelvane.SpacetimeGraph.from_detector_error_model(circuit.detector_error_model(decompose_errors=True))
    shots = da.from_array(dets, chunks=(700, 5))  # ragged row blocks, split columns
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        predictions = client.compute(kelvane.dask.decode_batch(graph, shots)).result()
        masks = client.compute(kelvane.dask.decode_batch(graph, shots, return_masks=True)).result()
    assert predictions.dtype == np.uint8 and (predictions == graph.decode_batch(dets)).all()
    assert (masks == graph.decode_batch(dets, return_masks=True)).all()
    assert predictions.any()
