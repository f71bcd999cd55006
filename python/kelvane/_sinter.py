"""The sinter adapter: kelvane's Union-Find and exact matching decoders as `sinter.Decoder`s.

sinter hands a compiled decoder bit-packed detection events (little bit order, one row per
shot); they go straight to `SpacetimeGraph.decode_batch`, which reads the packed bytes in C++
and writes packed predictions, so nothing is unpacked in Python.
"""

from __future__ import annotations

import numpy as np
import sinter
import stim

from _kelvane import SpacetimeGraph


class CompiledUnionFindDecoder(sinter.CompiledDecoder):
    """A Union-Find decoder built once for one detector error model."""

    def __init__(
        self,
        graph: SpacetimeGraph,
        num_detectors: int,
        num_observables: int,
        correlated: bool = False,
        match_clusters: bool = False,
        method: str = "union-find",
    ) -> None:
        self.graph = graph
        self.correlated = correlated
        self.match_clusters = match_clusters
        self.method = method
        # The packed widths sinter uses: from Stim's counts, which may name trailing detectors
        # or observables that no error touches.
        self._detector_bytes = -(-graph.boundary_node // 8)
        self._observable_bytes = -(-num_observables // 8)
        self._stim_detector_bytes = -(-num_detectors // 8)

    def decode_shots_bit_packed(self, *, bit_packed_detection_event_data: np.ndarray) -> np.ndarray:
        shots = bit_packed_detection_event_data
        if self._stim_detector_bytes != self._detector_bytes:
            shots = shots[:, : self._detector_bytes]
        predictions = self.graph.decode_batch(
            shots,
            bit_packed_shots=True,
            bit_packed_predictions=True,
            enable_correlations=self.correlated,
            match_clusters=self.match_clusters,
            method=self.method,
        )
        if predictions.shape[1] != self._observable_bytes:
            padded = np.zeros((predictions.shape[0], self._observable_bytes), dtype=np.uint8)
            width = min(predictions.shape[1], self._observable_bytes)
            padded[:, :width] = predictions[:, :width]
            predictions = padded
        return predictions


class UnionFindDecoder(sinter.Decoder):
    """kelvane's weighted Union-Find decoder for `sinter.collect(custom_decoders=...)`; with
    `correlated`, the two-pass correlated decoder (the DEM must be decomposed); with
    `match_clusters`, clusters corrected by exact matching inside them instead of peeling."""

    def __init__(self, correlated: bool = False, match_clusters: bool = False) -> None:
        self.correlated = correlated
        self.match_clusters = match_clusters

    def compile_decoder_for_dem(self, *, dem: stim.DetectorErrorModel) -> CompiledUnionFindDecoder:
        graph = SpacetimeGraph.from_detector_error_model(dem, enable_correlations=self.correlated)
        return CompiledUnionFindDecoder(
            graph, dem.num_detectors, dem.num_observables, self.correlated, self.match_clusters
        )

    def __eq__(self, other: object) -> bool:
        return (
            type(other) is UnionFindDecoder
            and other.correlated == self.correlated
            and other.match_clusters == self.match_clusters
        )

    def __hash__(self) -> int:
        return hash((UnionFindDecoder, self.correlated, self.match_clusters))


class MatchingDecoder(sinter.Decoder):
    """kelvane's exact minimum-weight matching decoder for `sinter.collect(custom_decoders=...)`;
    with `correlated`, the two-pass correlated decoder (the DEM must be decomposed)."""

    def __init__(self, correlated: bool = False) -> None:
        self.correlated = correlated

    def compile_decoder_for_dem(self, *, dem: stim.DetectorErrorModel) -> CompiledUnionFindDecoder:
        graph = SpacetimeGraph.from_detector_error_model(dem, enable_correlations=self.correlated)
        return CompiledUnionFindDecoder(
            graph, dem.num_detectors, dem.num_observables, self.correlated, method="matching"
        )

    def __eq__(self, other: object) -> bool:
        return type(other) is MatchingDecoder and other.correlated == self.correlated

    def __hash__(self) -> int:
        return hash((MatchingDecoder, self.correlated))


class FixedModelDecoder(sinter.Decoder):
    """Decodes every task with one given model (a learned one, say) instead of the task's."""

    def __init__(self, dem: stim.DetectorErrorModel | str, correlated: bool = False,
                 method: str = "union-find") -> None:
        self.dem = dem if isinstance(dem, stim.DetectorErrorModel) else stim.DetectorErrorModel(str(dem))
        self.correlated = correlated
        self.method = method

    def compile_decoder_for_dem(self, *, dem: stim.DetectorErrorModel) -> CompiledUnionFindDecoder:
        if (dem.num_detectors, dem.num_observables) != (self.dem.num_detectors, self.dem.num_observables):
            raise ValueError(f"the task's model has {dem.num_detectors} detectors and {dem.num_observables} "
                             f"observables, the decoder's {self.dem.num_detectors} and {self.dem.num_observables}")
        graph = SpacetimeGraph.from_detector_error_model(self.dem, enable_correlations=self.correlated)
        return CompiledUnionFindDecoder(graph, dem.num_detectors, dem.num_observables, self.correlated,
                                        method=self.method)

    def __eq__(self, other: object) -> bool:
        return (type(other) is FixedModelDecoder and other.dem == self.dem and other.correlated == self.correlated
                and other.method == self.method)

    def __hash__(self) -> int:
        return hash((FixedModelDecoder, str(self.dem), self.correlated, self.method))


def sinter_decoders() -> dict[str, sinter.Decoder]:
    return {
        "kelvane-uf": UnionFindDecoder(),
        "kelvane-uf-correlated": UnionFindDecoder(correlated=True),
        "kelvane-uf-matched": UnionFindDecoder(match_clusters=True),
        "kelvane-matching": MatchingDecoder(),
        "kelvane-matching-correlated": MatchingDecoder(correlated=True),
    }
