"""A stream of shots decodes to the same decisions from a file, from TCP and from memory, however
the stream says it is made of shots; a stream decoded as endless counts its restarts."""

import re
import subprocess
import sys

import numpy as np
import pytest
import stim

import kelvane
from kelvane.decisions import encode_header, read_decisions
from kelvane.kvlx import KvlxWriter
from tcp_once import serve_once

D, ROUNDS, SHOTS, COMMIT, BUFFER = 3, 6, 80, 2, 2


@pytest.fixture(scope="module")
def shots(tmp_path_factory):
    """The same shots written three ways: describing themselves, with only their truth on each
    shot's last frame, and with neither (nothing says shots)."""
    tmp = tmp_path_factory.mktemp("shots")
    circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=D, rounds=ROUNDS,
                                     after_clifford_depolarization=0.02, before_measure_flip_probability=0.02)
    exp = kelvane.write_stim_experiment(circuit, SHOTS, tmp / "described.kvlx", seed=3)
    for name, obs in (("truth", exp.observables), ("bare", None)):
        with KvlxWriter(str(tmp / f"{name}.kvlx")) as writer:
            writer.write_shots(exp.detection_events, obs, layout=exp.layout, describe=False)
    graph = kelvane.SpacetimeGraph.from_detector_error_model(exp.dem)
    memory = graph.decode_sliding(exp.detection_events, commit=COMMIT, buffer=BUFFER)
    return tmp, exp, np.asarray(memory, dtype=np.uint8)


def decide(source, dem, layout, **options):
    """Each shot's prediction (the decision of its last round) and the stream's _live_counts."""
    with kelvane.open(source, decoder=dem, layout=layout, commit=COMMIT, buffer=BUFFER, timeout=30,
                      **options) as stream:
        data = bytearray(encode_header(1))
        while (records := stream.drain(1.0)) is not None:
            data += records
        counts = stream._live_counts()
    _, records = read_decisions(bytes(data))
    last = records[records["round"] == ROUNDS]  # a shot's last frame: the round of its final measurements
    return (last["committed_flips"] & 1).astype(np.uint8), counts


@pytest.mark.parametrize("over_tcp", [False, True])
@pytest.mark.parametrize("name, layout_given", [("described", True), ("described", False), ("truth", True)])
def test_shots_decode_the_same_from_a_file_tcp_and_memory(shots, over_tcp, name, layout_given):
    tmp, exp, memory = shots
    if over_tcp and name == "truth":
        pytest.skip("only a local file is read ahead for its truth: over TCP a stream says shots by its description")
    path = tmp / f"{name}.kvlx"
    source = serve_once(path.read_bytes()) if over_tcp else str(path)
    got, counts = decide(source, exp.dem if layout_given else "stored", exp.layout if layout_given else None)
    assert counts["per_shot"] and counts["restarts"] == 0
    assert len(got) == SHOTS and (got == memory[:, 0]).all()
    errors = int((memory[:, 0] != exp.observables[:, 0]).sum())
    assert counts["shots_with_truth"] == SHOTS and counts["shot_errors"] == errors > 0


@pytest.mark.parametrize("name, options", [("bare", {}), ("described", {"per_shot": False})])
def test_a_stream_nothing_says_is_shots_is_endless_and_counts_its_restarts(shots, name, options):
    tmp, exp, _ = shots
    _, counts = decide(str(tmp / f"{name}.kvlx"), exp.dem, exp.layout, **options)
    assert not counts["per_shot"] and counts["restarts"] == SHOTS - 1 and counts["shots_with_truth"] == 0


def test_decode_commit_prints_the_logical_error_rate_without_out(shots):
    tmp, exp, memory = shots
    exp.dem.to_file(tmp / "model.dem")
    np.save(tmp / "layout.npy", exp.layout)
    args = [sys.executable, "-m", "kelvane", "-q", "decode", str(tmp / "described.kvlx"), "--dem",
            str(tmp / "model.dem"), "--layout", str(tmp / "layout.npy"), "--commit", str(COMMIT), "--buffer",
            str(BUFFER)]
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    errors = int((memory[:, 0] != exp.observables[:, 0]).sum())
    assert f"({errors} of {SHOTS} shots; 95% interval" in out
    assert re.search(r"decoded \d+ frames in windows .* -> nowhere \([\d.]+ rounds/s; largest backlog", out)
    assert "decision written" not in out and "commit latency from the closing frame's arrival" in out
    endless = subprocess.run(args + ["--endless"], capture_output=True, text=True, check=True).stdout
    assert f"endless stream: {SHOTS - 1} restarts" in endless
