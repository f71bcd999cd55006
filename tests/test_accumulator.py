"""LogicalErrorAccumulator from Python: counting, rates, the repr format, argument errors."""

import inspect
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _kelvane import DecoderResult, LogicalErrorAccumulator


def sci4(x):
    """Four-decimal scientific notation with a bare exponent ("2.5000e-1"), via Python's own formatting."""
    mantissa, exponent = f"{x:.4e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def test_new_accumulator_repr():
    assert repr(LogicalErrorAccumulator(2)) == "LogicalErrorAccumulator(shots=0, mean_p_L=0.0000e0)"


def test_two_shots_one_error():
    acc = LogicalErrorAccumulator(2)
    assert acc.record(DecoderResult(1), 0) is None
    acc.record(DecoderResult(0), 0)
    assert acc.total_shots() == 2
    assert acc.logical_error_rate(0) == 0.5
    assert acc.logical_error_rate(1) == 0.0
    assert acc.mean_logical_error_rate() == 0.25
    assert repr(acc) == "LogicalErrorAccumulator(shots=2, mean_p_L=2.5000e-1)"


def test_disagreeing_bits_counted_per_observable():
    acc = LogicalErrorAccumulator(3)
    acc.record(DecoderResult(0b101), 0b001)
    assert acc.total_shots() == 1
    assert [acc.logical_error_rate(k) for k in range(3)] == [0.0, 0.0, 1.0]
    assert acc.mean_logical_error_rate() == pytest.approx(1 / 3, rel=1e-15)
    assert repr(acc) == "LogicalErrorAccumulator(shots=1, mean_p_L=3.3333e-1)"


@pytest.mark.parametrize(
    "observables, records, rate",
    [
        (3, [(0b1000, 0)], 0.0),  # a bit above the tracked range
        (1, [(1, 0)] + [(0, 0)] * 999, 1e-3),
        (1, [(0, 1)] * 7 + [(1, 1)], 0.875),
        (2, [(0b11, 0)] + [(0, 0)] * 7, 0.125),
        (64, [(2**64 - 1, 0)], 1.0),
        (0, [(0xFF, 0), (0, 0)], 0.0),  # nothing tracked: shots still count, mean is 0.0
    ],
)
def test_mean_rates_and_repr(observables, records, rate):
    acc = LogicalErrorAccumulator(observables)
    for flips, truth in records:
        acc.record(DecoderResult(flips), truth)
    assert acc.total_shots() == len(records)
    assert acc.mean_logical_error_rate() == pytest.approx(rate, rel=1e-12)
    assert repr(acc) == f"LogicalErrorAccumulator(shots={len(records)}, mean_p_L={sci4(rate)})"


def test_more_than_64_observables_are_refused_naming_the_array_form():
    acc = LogicalErrorAccumulator(64)
    acc.record(DecoderResult(1), 0)
    assert acc.mean_logical_error_rate() == 1 / 64
    with pytest.raises(ValueError, match="has 65: compare decode_batch's prediction array"):
        LogicalErrorAccumulator(65)


def test_untracked_observable_rate_is_zero():
    acc = LogicalErrorAccumulator(3)
    acc.record(DecoderResult(0b1111), 0)
    assert acc.logical_error_rate(3) == 0.0
    assert acc.logical_error_rate(99) == 0.0
    assert acc.logical_error_rate(2**64 - 1) == 0.0


def test_reset():
    acc = LogicalErrorAccumulator(2)
    for _ in range(5):
        acc.record(DecoderResult(0b11), 0)
    assert acc.reset() is None
    assert acc.total_shots() == 0
    assert acc.mean_logical_error_rate() == 0.0
    assert repr(acc) == "LogicalErrorAccumulator(shots=0, mean_p_L=0.0000e0)"
    acc.record(DecoderResult(0b10), 0)
    assert acc.logical_error_rate(1) == 1.0  # still tracks two observables


@settings(max_examples=60, deadline=None)
@given(
    observables=st.integers(0, 64),
    records=st.lists(st.tuples(st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1)), max_size=40),
)
def test_matches_naive_tally(observables, records):
    acc = LogicalErrorAccumulator(observables)
    for flips, truth in records:
        acc.record(DecoderResult(flips), truth)
    tracked = observables
    shots = len(records)
    rates = [sum(((f ^ t) >> k) & 1 for f, t in records) / shots if shots else 0.0 for k in range(tracked)]
    for k in range(tracked + 2):
        assert acc.logical_error_rate(k) == (rates[k] if k < tracked else 0.0)
    mean = sum(rates) / tracked if tracked else 0.0
    assert acc.mean_logical_error_rate() == pytest.approx(mean, rel=1e-12, abs=0)
    assert acc.total_shots() == shots
    assert repr(acc) == f"LogicalErrorAccumulator(shots={shots}, mean_p_L={sci4(acc.mean_logical_error_rate())})"


def test_concurrent_records_lose_no_count():
    acc = LogicalErrorAccumulator(2)
    wrong, right = DecoderResult(0b01), DecoderResult(0)
    per_thread = 5000

    def work():
        for i in range(per_thread):
            acc.record(wrong if i % 5 == 0 else right, 0)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert acc.total_shots() == 4 * per_thread
    assert acc.logical_error_rate(0) == 0.2
    assert acc.logical_error_rate(1) == 0.0


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda a: a.record(5, 0), TypeError, "argument 'result': 'int' object is not an instance of 'DecoderResult'"),
        (lambda a: a.record(DecoderResult(0), -1), OverflowError, None),
        (lambda a: a.record(DecoderResult(0), 2**64), OverflowError, None),
        (lambda a: a.record(DecoderResult(0), "0"), TypeError, "argument 'ground_truth'"),
        (lambda a: a.record(DecoderResult(0)), TypeError, "missing required argument 'ground_truth'"),
        (lambda a: a.logical_error_rate("0"), TypeError, "argument 'observable'"),
        (lambda a: a.logical_error_rate(-1), OverflowError, None),
        (lambda a: a.logical_error_rate(), TypeError, "missing required argument 'observable'"),
        (lambda a: a.total_shots(1), TypeError, None),
    ],
)
def test_argument_errors(call, exc, text):
    acc = LogicalErrorAccumulator(2)
    with pytest.raises(exc) as info:
        call(acc)
    if text is not None:
        assert text in str(info.value)
    assert acc.total_shots() == 0


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((), TypeError, "missing required argument 'observable_count'"),
        (("2",), TypeError, "argument 'observable_count'"),
        ((-1,), OverflowError, None),
        ((2**64,), OverflowError, None),
    ],
)
def test_constructor_errors(args, exc, text):
    with pytest.raises(exc) as info:
        LogicalErrorAccumulator(*args)
    if text is not None:
        assert text in str(info.value)


def test_keyword_arguments():
    acc = LogicalErrorAccumulator(observable_count=1)
    acc.record(ground_truth=1, result=DecoderResult(0))
    assert acc.logical_error_rate(observable=0) == 1.0


def test_signatures_and_docstrings():
    assert str(inspect.signature(LogicalErrorAccumulator)) == "(observable_count)"
    acc = LogicalErrorAccumulator(1)
    sigs = {
        "record": "(result, ground_truth)",
        "logical_error_rate": "(observable)",
        "mean_logical_error_rate": "()",
        "total_shots": "()",
        "reset": "()",
    }
    for name, sig in sigs.items():
        method = getattr(acc, name)
        assert str(inspect.signature(method)) == sig, name
        assert method.__doc__ is None, name
    assert LogicalErrorAccumulator.__module__ == "builtins"


def test_record_takes_numpy_truth_values():
    np = pytest.importorskip("numpy")
    acc = LogicalErrorAccumulator(3)
    for truth in (np.int64(0b101), np.uint8(0b101), np.array([True, False, True])):
        acc.record(DecoderResult(0), truth)
    acc.record(DecoderResult(1), np.bool_(True))
    acc.record(DecoderResult(1), np.bool_(False))
    assert [acc.logical_error_rate(k) for k in range(3)] == [0.8, 0.0, 0.6]


@settings(max_examples=30, deadline=None)
@given(st.integers(1, 12), st.lists(st.tuples(st.integers(0, 2**12 - 1), st.integers(0, 2**12 - 1)), max_size=30))
def test_record_batch_matches_record_in_every_layout(observables, records):
    np = pytest.importorskip("numpy")
    one = LogicalErrorAccumulator(observables)
    for flips, truth in records:
        one.record(DecoderResult(flips), truth)
    masks = np.array([r for r in records], dtype=np.uint64).reshape(-1, 2).T
    bits = ((masks[:, :, None] >> np.arange(observables, dtype=np.uint64)) & 1).astype(bool)
    packed = np.packbits(bits, axis=2, bitorder="little")
    forms = [masks, bits, bits.astype(np.uint8), packed]
    for predictions in forms:
        for truth in forms:
            acc = LogicalErrorAccumulator(observables)
            acc.record_batch(predictions[0], truth[1])
            assert acc.total_shots() == one.total_shots()
            assert [acc.logical_error_rate(k) for k in range(observables)] == [
                one.logical_error_rate(k) for k in range(observables)
            ]


@pytest.mark.parametrize(
    "predictions, truth, exc, text",
    [
        ([0], [0], TypeError, "argument 'predictions': 'list' object is not an instance of 'numpy.ndarray'"),
        ("u64:2", "u8:3x3", ValueError,
         "ground_truth must be 1-D masks or a 2-D array with 10 columns (one per observable) or 2 (bit-packed), "
         "got shape (3, 3)"),
        ("u64:2", "u64:3", ValueError, "predictions has 2 shots, ground_truth has 3"),
        ("f:2", "u64:2", TypeError, "argument 'predictions': expected an integer or bool array, got dtype float64"),
    ],
)
def test_record_batch_rejects(predictions, truth, exc, text):
    np = pytest.importorskip("numpy")

    def make(described):
        if not isinstance(described, str):
            return described
        kind, shape = described.split(":")
        dtype = {"u64": np.uint64, "u8": np.uint8, "f": np.float64}[kind]
        return np.zeros(tuple(int(n) for n in shape.split("x")), dtype=dtype)

    acc = LogicalErrorAccumulator(10)
    with pytest.raises(exc) as info:
        acc.record_batch(make(predictions), make(truth))
    assert str(info.value) == text
    assert acc.total_shots() == 0
