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
    assert [repr(c) for c in back.corrections] == [repr(c) for c in result.corrections]
