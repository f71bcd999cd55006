"""Pickling for the extension's model classes.

The compiled classes report the module "builtins", where pickle cannot find them by name, so
their reducers are registered here with copyreg: a DetectorErrorModel travels as its DEM text,
a SpacetimeGraph as its byte image and a DecoderResult as its fields, and all come back equal. Importing `kelvane`
registers them (sinter workers and distributed schedulers import it to unpickle).
"""

import copyreg

from typing import Any

from _kelvane import DecoderResult, DetectorErrorModel, SpacetimeGraph


def model_from_text(text: str) -> DetectorErrorModel:
    return DetectorErrorModel.parse(text)


def graph_from_bytes(data: bytes) -> SpacetimeGraph:
    return SpacetimeGraph.from_bytes(data)


def _reduce_model(model: DetectorErrorModel):
    return model_from_text, (model.to_text(),)


def _reduce_graph(graph: SpacetimeGraph):
    return graph_from_bytes, (graph.to_bytes(),)


def result_from_fields(flips: int, confidence: float, corrections: tuple[tuple[int, str], ...], valid: bool,
                       num_observables: int = 64) -> DecoderResult:
    result = DecoderResult(flips, confidence)
    result.__setstate__((corrections, valid, num_observables))
    return result


def _reduce_result(result: DecoderResult) -> tuple[Any, ...]:
    corrections = tuple((c.logical_id, c.pauli) for c in result.corrections)
    return result_from_fields, (result.observable_flips, result.confidence, corrections, result.valid, len(result))


copyreg.pickle(DecoderResult, _reduce_result)
copyreg.pickle(DetectorErrorModel, _reduce_model)
copyreg.pickle(SpacetimeGraph, _reduce_graph)
