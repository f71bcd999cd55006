"""Faults that must reach Python as exceptions: nothing a caller passes may abort, crash or
exhaust the interpreter. Each case runs in a child interpreter, so a crash fails one test
instead of ending the run."""

import subprocess
import sys
import textwrap

import pytest


def run_child(body, timeout=60):
    """Runs `body` in a fresh interpreter; returns (exit code, stdout, stderr)."""
    code = "import _kelvane\nDEM = _kelvane.DetectorErrorModel\n" + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def test_allocation_failure_becomes_a_memory_error_naming_what_was_built():
    # An address-space limit makes the graph's node list fail to allocate inside C++.
    code, out, err = run_child(
        """
        import resource
        m = DEM.parse('error(0.1) D4000000')
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open('/proc/self/statm') as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (48 << 20), hard))
        try:
            m.to_graph()
        except MemoryError as e:
            print('MemoryError:', e)
        """
    )
    assert code == 0, err
    assert out.strip() == "MemoryError: out of memory while building the decoding graph (DetectorErrorModel.to_graph)"


DEVICE = "refusing to read a DEM from a character device: it is not a regular file and may never end"


def test_dem_files_are_read_with_bounds(tmp_path):
    # Endless devices are refused before reading; a directory keeps the OS's error. Both
    # entry points that read a path share the reader.
    cases = [("/dev/zero", DEVICE), ("/dev/urandom", DEVICE), (str(tmp_path), "Is a directory (os error 21)")]
    code, out, err = run_child(
        f"""
        import pathlib
        for path, _ in {cases!r}:
            for read in (DEM.from_file, _kelvane.SpacetimeGraph.from_detector_error_model):
                try:
                    read(pathlib.Path(path))
                    print('no error')
                except OSError as e:
                    print(e)
        """,
        timeout=20,
    )
    assert code == 0, err
    assert out.splitlines() == [message for _, message in cases for _ in range(2)]


BOMB = "repeat 33554432 {\n    error(0.1) " + " ".join(f"D{k}" for k in range(90)) + " L0 L1 L2 L3 L4 L5 L6 L7 L8 L9\n}\n"


def test_hostile_models_are_refused_within_bounded_memory():
    # Each line: the outcome of one call. The child's peak memory shows nothing large was
    # allocated on the way to a refusal.
    code, out, err = run_child(
        f"""
        import threading
        def outcome(fn):
            try:
                fn()
                return 'ok'
            except Exception as e:
                return type(e).__name__ + ': ' + str(e)
        for text in ['error(0.1) D4294967295', 'error(0.1) D67108863']:
            print(outcome(lambda: DEM.parse(text).to_graph()))
            print(outcome(lambda: DEM.parse(text).to_pymatching()))
            print(outcome(lambda: _kelvane.SpacetimeGraph.from_detector_error_model(text)))
        print(len({BOMB!r}.encode()), outcome(lambda: DEM.parse({BOMB!r})))
        # Deep nesting parses on a thread with a 256 KiB stack.
        threading.stack_size(256 * 1024)
        result = []
        deep = "repeat 1 {{\\n" * 40000 + "error(0.1) D0\\n" + "}}\\n" * 40000
        t = threading.Thread(target=lambda: result.append(outcome(lambda: DEM.parse(deep).to_graph())))
        t.start()
        t.join()
        print(result[0])
        # VmHWM is this program's own peak: ru_maxrss would also count the pytest process
        # that forked it, whose size Linux carries over through exec.
        hwm_kb = next(int(line.split()[1]) for line in open('/proc/self/status') if line.startswith('VmHWM:'))
        print(hwm_kb < 400_000)
        """
    )
    assert code == 0, err
    too_many = "ValueError: the model has {} detectors, more than the 4194304 a decoding graph may have"
    assert out.splitlines() == [too_many.format(4294967296)] * 3 + [too_many.format(67108864)] * 3 + [
        f"{len(BOMB)} ValueError: repeat blocks expand to more than 33554432 errors, targets and detector declarations",
        "ok",
        "True",
    ]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda k: k.DecoderResult("1"), "argument 'observable_flips': 'str' object is not an instance of 'int'"),
        (lambda k: k.SyndromeWindow(2.5, 1), "argument 'ancilla_count': 'float' object is not an instance of 'int'"),
        (
            lambda k: k.DetectorErrorModel.parse("error(0.1) D0 D1").to_graph().decode(["0", "0"]),
            "argument 'detection_events': expected a sequence of 0/1 values, got 'list' with entries of dtype <U1",
        ),
        (
            lambda k: k.DetectorErrorModel.parse("error(0.1) D0 D1").to_graph().decode([None, 1]),
            "argument 'detection_events': expected a sequence of 0/1 values, got 'list' with entries of dtype object",
        ),
    ],
)
def test_wrong_argument_types_are_type_errors(call, message):
    import _kelvane

    with pytest.raises(TypeError) as info:
        call(_kelvane)
    assert str(info.value) == message


# Every entry point whose arguments go through the module's binder, with a call leaving its
# optional arguments out: the result must be the one of passing them at the defaults its
# signature shows. (A default the binder dropped crashed CorrelationCounter.add.)
DEFAULTS_PRELUDE = """
import inspect, os, tempfile
import numpy as np
import _kelvane, kelvane
from kelvane import kvlx

# Two rounds of a 3-detector chain, and frames of those rounds (three shots).
CHAIN = ''.join(f'detector({a}, {t}) D{3 * t + a}\\n' for t in range(2) for a in range(3)) + ''.join(
    f'error(0.1) D{3 * t}\\nerror(0.1) D{3 * t} D{3 * t + 1}\\nerror(0.1) D{3 * t + 1} D{3 * t + 2} L0\\n'
    f'error(0.1) D{3 * t + 2}\\n' for t in range(2)) + 'error(0.1) D0 D3\\nerror(0.1) D1 D4\\nerror(0.1) D2 D5\\n'
LAYOUT = np.arange(6).reshape(2, 3)
PATH, LONG = (os.path.join(tempfile.mkdtemp(), name) for name in ('shots.kvlx', 'long.kvlx'))
for path, rounds in ((PATH, 2), (LONG, 6)):  # three shots; one stream of six rounds
    with kvlx.KvlxWriter(path) as w:
        for i in range(6):
            w.write_frame(frame_id=i, round=i % rounds, detector_events=[i % 2, 1, (i // 2) % 2])

def same_with_defaults(make, args, observe):
    # make() -> a fresh callable; the defaults from its text signature.
    defaults = {p.name: p.default for p in inspect.signature(make()).parameters.values()
                if p.default is not inspect.Parameter.empty}
    assert defaults
    omitted, given = make(), make()
    a = observe(omitted, omitted(*args))
    b = observe(given, given(*args, **defaults))
    assert repr(a) == repr(b), (a, b)
    print('same', sorted(defaults), repr(a)[:300])
"""


@pytest.mark.parametrize(
    "make, args, observe",
    [
        ("lambda: COUNTER(3, np.array([[0, 1], [1, 2]])).add", "(np.array([[1, 1, 0], [0, 1, 1]], np.uint8),)",
         "lambda f, r: (f.__self__.fired.tolist(), f.__self__.both_fired.tolist())"),
        ("lambda: _kelvane.DecoderResult", "(5,)", "lambda f, r: (r.observable_flips, r.confidence)"),
        ("lambda: _kelvane._check_layout", "(np.array([[0, 1], [2, -1]]),)", "lambda f, r: r.tolist()"),
        ("lambda: _kelvane.KelvaneStream", "(PATH,)", "lambda f, r: [x.frame_id for x in r]"),
        ("lambda: _kelvane.SpacetimeGraph.from_detector_error_model(CHAIN).sliding_decoder(commit=1, buffer=1).start",
         "()", "lambda f, r: (f.__self__.push_rounds(np.array([[0, 1, 1], [1, 0, 0]])), f.__self__.finish())"),
        ("lambda: _kelvane.KelvaneStream(PATH).set_decoder", "(_kelvane.DetectorErrorModel.parse(CHAIN),)",
         "lambda f, r: [(x.frame_id, x.observable_flips) for x in f.__self__]"),
        ("lambda: _learning(_kelvane.KelvaneStream(PATH))._gather_for_learning", "(np.array([[0, 1]]), 2)",
         "lambda f, r: [f.__self__._learning_block() for x in f.__self__]"),
        ("lambda: _live(_kelvane.KelvaneStream(LONG)).drain", "()",
         "lambda f, r: (r, f.__self__.drain(), f.__self__.drain())"),
    ],
    ids=["CorrelationCounter.add", "DecoderResult", "_check_layout", "KelvaneStream", "SlidingWindowDecoder.start",
         "KelvaneStream.set_decoder", "KelvaneStream._gather_for_learning", "KelvaneStream.drain"],
)
def test_optional_arguments_left_out_take_their_defaults(make, args, observe):
    code, out, err = run_child(
        DEFAULTS_PRELUDE
        + """
COUNTER = getattr(kelvane, 'CorrelationCounter', None) or _kelvane.CorrelationCounter
def _learning(s):
    s.set_decoder(_kelvane.DetectorErrorModel.parse(CHAIN), layout=LAYOUT, per_shot=True)
    return s
def _live(s):
    s.set_decoder(_kelvane.DetectorErrorModel.parse(CHAIN), layout=LAYOUT, commit=1, buffer=1)
    return s
"""
        + f"same_with_defaults({make}, {args}, {observe})\n"
    )
    assert code == 0, err
    assert out.startswith("same"), out
