"""What live decoding (KelvaneStream.drain) must do whatever reads the stream behind it: decide
what iterating the same stream decides, past a damaged frame (raised once, or skipped), past
the end of a followed file that grows, and with waits longer than the clock can count."""

import warnings

import numpy as np
import pytest

import _kelvane
import kelvane
from kelvane import kvlx
from kelvane.decisions import encode_header, read_decisions
from tcp_once import serve_once

stim = pytest.importorskip("stim")

FRAMES = 400
DAMAGED = 200  # the frame whose payload byte is flipped
WINDOWS = dict(commit=3, buffer=2)


@pytest.fixture(scope="module")
def endless(tmp_path_factory):
    """A repetition-code model and layout, and an endless stream of FRAMES rounds for them."""
    circuit = stim.Circuit.generated("repetition_code:memory", distance=5, rounds=12, after_clifford_depolarization=0.03)
    layout = kelvane.layout_from_stim(circuit)
    rng = np.random.default_rng(4)
    path = tmp_path_factory.mktemp("live") / "endless.kvlx"
    with kvlx.KvlxWriter(path) as writer:
        for r in range(FRAMES):
            writer.write_frame(r, r, detector_events=rng.random(layout.shape[1]) < 0.15)
    return circuit.detector_error_model(decompose_errors=True), layout, path.read_bytes()


def iterated(source, dem, layout, **options):
    """(decisions, OSErrors raised) of iterating, going on after each error as the stream allows."""
    decisions, raised = [], []
    with kelvane.open(source, decoder=dem, layout=layout, **WINDOWS, **options) as stream:
        while True:
            try:
                f = next(stream)
            except StopIteration:
                break
            except OSError as e:
                raised.append(e)
                continue
            try:
                decisions.append((f.frame_id, f.round, f.window_incomplete, f.observable_flips))
            except _kelvane.KelvaneError:
                pass  # not a commit step
        counts = (stream.missing_rounds, stream.skipped_bytes, getattr(stream, "skipped_frames", None))
    return decisions, raised, counts


def records(data):
    _, rs = read_decisions(bytes(encode_header(1)) + bytes(data))
    return [(int(r["frame_id"]), int(r["round"]), bool(r["flags"] & 1), int(r["committed_flips"])) for r in rs]


def drained(stream, max_wait=1.0, until=None):
    """(decisions, OSErrors raised) of draining until None, going on after each error; or, with
    `until`, until that many decisions have come (a followed stream never returns None)."""
    data, raised = bytearray(), []
    for _ in range(1000):
        try:
            got = stream.drain(max_wait)
        except OSError as e:
            raised.append(e)
            continue
        if got is None:
            break
        data += got
        if until is not None and len(records(data)) >= until:
            break
    return records(data), raised


CASES = ["damaged, raise", "damaged, skip", "follow, appended later", "drain(1e12)", "timeout=1e12",
         "drain(-1)", "drain(nan)", "timeout=nan"]


@pytest.mark.parametrize("case", CASES)
def test_live_decoding_decides_what_iterating_decides(endless, tmp_path, case):
    dem, layout, data = endless
    spans = kvlx.frame_spans(data)
    path = tmp_path / "x.kvlx"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the missing round and the skipped frame are warned about

        if case.startswith("damaged"):
            errors = case.split(", ")[1]
            damaged = bytearray(data)
            damaged[spans[DAMAGED][0] + 40] ^= 0xFF
            path.write_bytes(damaged)
            expected, raised_iterating, counts = iterated(path, dem, layout, errors=errors)
            with kelvane.open(path, decoder=dem, layout=layout, errors=errors, **WINDOWS) as stream:
                got, raised = drained(stream)
                assert (stream.missing_rounds, stream.skipped_bytes,
                        getattr(stream, "skipped_frames", None)) == counts
                assert stream.drain(0) is None  # ended, and the error handed out once
            assert counts[0] == 1 and counts[1] > 0  # the damaged frame's round is missing
            assert counts[2] == (1 if errors == "skip" else None)
            assert [e.offset for e in raised] == [e.offset for e in raised_iterating] == \
                ([spans[DAMAGED][0]] if errors == "raise" else [])
            assert got == expected and len(got) > 120
            assert any(flagged for _, r, flagged, _ in got if r > DAMAGED)  # the commits the gap touched

        elif case == "follow, appended later":
            path.write_bytes(data)
            expected, _, _ = iterated(path, dem, layout, follow=True)
            path.write_bytes(data[:spans[DAMAGED][0]])
            with kelvane.open(path, decoder=dem, layout=layout, follow=True, **WINDOWS) as stream:
                first, _ = drained(stream, 0.5, until=len([d for d in expected if d[0] < DAMAGED]))
                assert stream.drain(0.05) == b""  # the end of the file for now: followed, not ended
                with open(path, "ab") as f:
                    f.write(data[spans[DAMAGED][0]:])
                rest, raised = drained(stream, 0.5, until=len(expected) - len(first))
                assert stream.drain(0.05) == b"" and stream.missing_rounds == 0
            assert first + rest == expected and not raised

        elif case in ("drain(1e12)", "timeout=1e12"):
            # The frames come 0.3 s after the connection: a deadline that overflowed would end the
            # wait at once (an empty drain, a TimeoutError).
            path.write_bytes(data)
            expected, _, _ = iterated(path, dem, layout)
            timeout = 1e12 if case == "timeout=1e12" else None
            with kelvane.open(serve_once(data, 0.3), decoder=dem, layout=layout, timeout=timeout,
                              **WINDOWS) as stream:
                if timeout is None:
                    first = records(stream.drain(1e12))
                    rest, _ = drained(stream)
                    assert first and first + rest == expected
                else:
                    assert next(stream).frame_id == 0
                    got = [f.frame_id for f in stream]
                    assert got == list(range(1, FRAMES))

        else:  # values no wait can take
            path.write_bytes(data)
            if case.startswith("timeout"):
                with pytest.raises(ValueError, match="timeout must be a non-negative number"):
                    kelvane.open(path, timeout=float("nan"))
                return
            with kelvane.open(path, decoder=dem, layout=layout, **WINDOWS) as stream, \
                    pytest.raises(ValueError, match="max_wait must be a non-negative number"):
                stream.drain(-1.0 if case == "drain(-1)" else float("nan"))
