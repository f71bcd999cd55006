"""DecoderResult and LogicalCorrection."""

from __future__ import annotations

import inspect
import math

import pytest

from _kelvane import DecoderResult, LogicalCorrection


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((5,), {}, "DecoderResult(corrections=0, confidence=1.0000, observable_flips=0b101)"),
        ((0, 0.25), {}, "DecoderResult(corrections=0, confidence=0.2500, observable_flips=0b0)"),
        ((), {"observable_flips": 1, "confidence": 0.9}, "DecoderResult(corrections=0, confidence=0.9000, observable_flips=0b1)"),
        ((2**64 - 1,), {"confidence": 1}, "DecoderResult(corrections=0, confidence=1.0000, observable_flips=0b" + "1" * 64 + ")"),
        ((8, math.nan), {}, "DecoderResult(corrections=0, confidence=NaN, observable_flips=0b1000)"),
        ((8, math.inf), {}, "DecoderResult(corrections=0, confidence=inf, observable_flips=0b1000)"),
        ((8, -math.inf), {}, "DecoderResult(corrections=0, confidence=-inf, observable_flips=0b1000)"),
        ((True, 0.123456), {}, "DecoderResult(corrections=0, confidence=0.1235, observable_flips=0b1)"),
    ],
)
def test_construction_and_repr(args, kwargs, text):
    r = DecoderResult(*args, **kwargs)
    assert repr(r) == text
    assert r.corrections == []
    assert isinstance(r.observable_flips, int) and isinstance(r.confidence, float)


def test_values():
    r = DecoderResult(5)
    assert (r.observable_flips, r.confidence, r.corrections) == (5, 1.0, [])
    assert r.corrections is not r.corrections  # a new list on every read
    for name in ("observable_flips", "confidence", "corrections"):
        with pytest.raises(AttributeError):
            setattr(r, name, 1)


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((-1,), OverflowError, None),
        ((2**64,), OverflowError, None),
        (("1",), TypeError, "argument 'observable_flips': "),
        ((1.5,), TypeError, "argument 'observable_flips': "),
        ((1, "x"), TypeError, "argument 'confidence': "),
        ((), TypeError, None),
        ((1, 2, 3), TypeError, None),
    ],
)
def test_argument_errors(args, exc, text):
    with pytest.raises(exc) as info:
        DecoderResult(*args)
    if text:
        assert str(info.value).startswith(text)
    else:
        assert not str(info.value).startswith("argument")


def test_classes():
    assert str(inspect.signature(DecoderResult)) == "(observable_flips, confidence=1.0)"
    assert DecoderResult.__module__ == LogicalCorrection.__module__ == "builtins"
    with pytest.raises(TypeError):
        LogicalCorrection()
    with pytest.raises(TypeError):
        LogicalCorrection(0, "X")


def _decoded(events, model="error(0.1) D0 L0\nerror(0.1) D0 D1 L1\nerror(0.1) D1\n"):
    from _kelvane import DetectorErrorModel

    return DetectorErrorModel.parse(model).to_graph().decode(events)


@pytest.mark.parametrize(
    "make",
    [
        lambda: DecoderResult(1),
        lambda: DecoderResult(2**64 - 1, 0.25),
        lambda: _decoded([1, 0]),  # with corrections
        lambda: _decoded([0, 0]),
        lambda: _decoded([1, 0], "error(0.1) D0 D1 L0"),  # unsatisfiable: not valid
    ],
)
def test_results_pickle(make):
    import pickle

    result = make()
    back = pickle.loads(pickle.dumps(result))
    assert back == result and back.valid == result.valid and repr(back) == repr(result)
    assert len(back) == len(result)
    assert [repr(c) for c in back.corrections] == [repr(c) for c in result.corrections]


@pytest.mark.parametrize(
    "make, bits",
    [
        (lambda: DecoderResult(5), [1, 0, 1] + [0] * 61),  # made by hand: the mask's 64 bits
        (lambda: DecoderResult(2**64 - 1), [1] * 64),
        (lambda: _decoded([1, 0]), [1, 0]),  # the model's two observables
        (lambda: _decoded([0, 0]), [0, 0]),
        (lambda: _decoded([1], "error(0.1) D0\n"), []),  # a model without observables
    ],
)
def test_result_is_the_prediction_array(make, bits):
    import numpy as np

    result = make()
    array = np.asarray(result)
    assert array.dtype == np.uint8 and array.tolist() == bits
    assert len(result) == len(bits) and list(result) == bits
    assert np.asarray(result, dtype=bool).tolist() == [bool(b) for b in bits]
    truth = np.zeros(len(bits), dtype=bool)
    assert (result != truth).tolist() == [bool(b) for b in bits]  # element-wise, as a NumPy row
    if bits:
        assert result[-1] == bits[-1]
    with pytest.raises(IndexError):
        result[len(bits)]


def test_per_shot_loop_counts_as_pymatching_does():
    np = pytest.importorskip("numpy")
    stim = pytest.importorskip("stim")
    pymatching = pytest.importorskip("pymatching")
    from _kelvane import SpacetimeGraph

    circuit = stim.Circuit.generated("surface_code:rotated_memory_x", distance=3, rounds=3,
                                     after_clifford_depolarization=0.02)
    dem = circuit.detector_error_model(decompose_errors=True)
    dets, obs = circuit.compile_detector_sampler(seed=3).sample(300, separate_observables=True)
    graph, matching = SpacetimeGraph.from_detector_error_model(dem), pymatching.Matching(dem)
    ours = sum(bool(np.any(graph.decode(d) != o)) for d, o in zip(dets, obs))
    theirs = sum(bool(np.any(matching.decode(d) != o)) for d, o in zip(dets, obs))
    assert ours == int(np.any(graph.decode_batch(dets) != obs, axis=1).sum())
    assert 0 < ours < 3 * theirs + 10  # the loop counts the logical errors, not every shot
    assert np.asarray(graph.decode(dets[0])).shape == matching.decode(dets[0]).shape
