"""Pickling for the extension's model classes.

The compiled classes report the module "builtins", where pickle cannot find them by name, so
their reducers are registered here with copyreg: a DetectorErrorModel travels as its DEM text
and a SpacetimeGraph as its byte image, and both come back equal. Importing `kelvane`
registers them (sinter workers and distributed schedulers import it to unpickle).
"""

import copyreg

from _kelvane import DetectorErrorModel, SpacetimeGraph


def model_from_text(text: str) -> DetectorErrorModel:
    return DetectorErrorModel.parse(text)


def graph_from_bytes(data: bytes) -> SpacetimeGraph:
    return SpacetimeGraph.from_bytes(data)


def _reduce_model(model: DetectorErrorModel):
    return model_from_text, (model.to_text(),)


def _reduce_graph(graph: SpacetimeGraph):
    return graph_from_bytes, (graph.to_bytes(),)


copyreg.pickle(DetectorErrorModel, _reduce_model)
copyreg.pickle(SpacetimeGraph, _reduce_graph)
