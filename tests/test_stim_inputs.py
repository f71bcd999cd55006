"""Stim models, paths and PyMatching's array conventions accepted wherever a model or shots go."""

import numpy as np
import pymatching
import pytest
import stim

import _kelvane

CIRCUIT = stim.Circuit.generated(
    "surface_code:rotated_memory_z", distance=3, rounds=3, after_clifford_depolarization=0.01
)
DEM = CIRCUIT.detector_error_model(decompose_errors=True)


@pytest.fixture(params=["stim", "kelvane", "text", "str path", "pathlib path"])
def dem_source(request, tmp_path):
    path = tmp_path / "model.dem"
    path.write_text(str(DEM))
    return {
        "stim": DEM,
        "kelvane": _kelvane.DetectorErrorModel.parse(str(DEM)),
        "text": str(DEM),
        "str path": str(path),
        "pathlib path": path,
    }[request.param]


def test_every_model_source_builds_the_same_graph(dem_source):
    graph = _kelvane.SpacetimeGraph.from_detector_error_model(dem_source)
    reference = _kelvane.DetectorErrorModel.parse(str(DEM)).to_graph()
    shots = CIRCUIT.compile_detector_sampler(seed=5).sample(200)
    assert repr(graph) == repr(reference)
    assert np.array_equal(graph.decode_batch(shots), reference.decode_batch(shots))


def test_parse_and_from_file_take_stim_models_and_paths(tmp_path):
    path = tmp_path / "model.dem"
    path.write_text(str(DEM))
    expected = repr(_kelvane.DetectorErrorModel.parse(str(DEM)))
    assert repr(_kelvane.DetectorErrorModel.parse(DEM)) == expected
    assert repr(_kelvane.DetectorErrorModel.from_file(path)) == expected
    with pytest.raises(TypeError, match="argument 'path': 'bytes' object is not an instance of 'str'"):
        _kelvane.DetectorErrorModel.from_file(b"model.dem")
    with pytest.raises(TypeError, match="argument 'text': 'Circuit' object is not an instance of 'str'"):
        _kelvane.DetectorErrorModel.parse(CIRCUIT)


@pytest.mark.parametrize("packed_in", [False, True])
@pytest.mark.parametrize("packed_out", [False, True])
def test_drop_in_for_pymatching_decode_batch(packed_in, packed_out):
    # Same call, same shapes and dtypes as PyMatching; predictions agree on nearly every shot.
    circuit = stim.Circuit.generated("repetition_code:memory", distance=5, rounds=5, before_round_data_depolarization=0.05)
    dem = circuit.detector_error_model(decompose_errors=True)
    shots = circuit.compile_detector_sampler(seed=3).sample(2000, bit_packed=packed_in)
    ours = _kelvane.SpacetimeGraph.from_detector_error_model(dem).decode_batch(
        shots, bit_packed_shots=packed_in, bit_packed_predictions=packed_out
    )
    theirs = pymatching.Matching.from_detector_error_model(dem).decode_batch(
        shots, bit_packed_shots=packed_in, bit_packed_predictions=packed_out
    )
    assert (ours.shape, ours.dtype) == (theirs.shape, theirs.dtype)
    assert np.count_nonzero(np.any(ours != theirs, axis=1)) <= 20
