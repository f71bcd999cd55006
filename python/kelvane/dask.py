"""Decoding shots sharded over Dask workers.

``decode_batch(graph, shots)`` maps ``SpacetimeGraph.decode_batch`` over the row blocks of a
Dask array: each task receives the graph (pickled once into the task graph, rebuilt on the
worker) and one block of shots, and returns that block's predictions. Any Dask scheduler runs
it; with ``dask.distributed`` the blocks are spread over a cluster's workers::

    from dask.distributed import Client
    import dask.array as da
    import kelvane, kelvane.dask

    client = Client("tcp://scheduler:8786")             # or LocalCluster() on one machine
    graph = kelvane.SpacetimeGraph.from_detector_error_model(dem)
    shots = da.from_array(detection_events, chunks=(100_000, -1))
    predictions = kelvane.dask.decode_batch(graph, shots).compute()
"""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["decode_batch"]


def _decode_block(block: np.ndarray, graph: Any, options: dict) -> np.ndarray:
    return graph.decode_batch(block, **options)


def decode_batch(graph: Any, shots: Any, **options: Any) -> Any:
    """Predictions for a (shots x detectors) Dask array, as a lazy Dask array.

    ``options`` go to ``graph.decode_batch`` (for example ``bit_packed_shots=True`` with
    bit-packed rows). The rows may be chunked freely; the columns are joined into one chunk so
    that every task decodes whole shots. The result has ``decode_batch``'s columns and dtype
    (``(shots, num_observables)`` uint8 by default) with the shots' row chunks.
    """
    import dask
    import dask.array as da

    arr = da.asarray(shots)
    if arr.ndim != 2:
        raise ValueError(f"shots must be a 2-D (shots x detectors) array, got {arr.ndim} dimensions")
    arr = arr.rechunk({1: -1})
    # The output columns and dtype, from decoding no shots.
    empty = graph.decode_batch(np.zeros((0, arr.shape[1]), dtype=arr.dtype), **options)
    graph_ref = dask.delayed(graph, pure=True)  # one copy of the graph in the task graph
    if empty.ndim == 2:
        layout = dict(chunks=(arr.chunks[0], empty.shape[1:]))
    else:  # uint64 masks: one value per shot
        layout = dict(chunks=(arr.chunks[0],), drop_axis=1)
    return arr.map_blocks(_decode_block, graph_ref, options, dtype=empty.dtype, meta=empty, **layout)
