"""method= everywhere a decoder is used: every entry point decodes a Stim experiment's shots as
decode_batch does on one thread, for Union-Find, exact matching and correlated matching."""

import pickle

import numpy as np
import pytest

stim = pytest.importorskip("stim")

import kelvane
from kelvane import cli

METHODS = [("union-find", False), ("matching", False), ("matching", True), ("union-find", True)]


@pytest.fixture(scope="module")
def exp(tmp_path_factory):
    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_x", distance=5, rounds=5, after_clifford_depolarization=0.012,
        before_round_data_depolarization=0.012, before_measure_flip_probability=0.012)
    return kelvane.write_stim_experiment(circuit, 400, tmp_path_factory.mktemp("methods") / "run.kvlx", seed=7)


def graph_of(exp, correlated):
    return kelvane.SpacetimeGraph.from_detector_error_model(exp.dem, enable_correlations=correlated)


def last_frames(frames, rounds):
    return np.array([[f.observable_flips & 1] for f in frames if f.round == rounds - 1], dtype=np.uint8)


def per_shot_stream(exp, method, correlated, swap=False):
    with kelvane.open(exp.path, decoder=graph_of(exp, correlated), per_shot=True, method=method,
                      enable_correlations=correlated) as stream:
        frames = []
        for frame in stream:
            frames.append(frame)
            if swap and len(frames) == 3 * exp.layout.shape[0]:
                stream.swap_model(exp.dem)  # a swap keeps the method
        assert stream.incomplete_shots == 0 and stream.model_swaps == int(swap)
    return last_frames(frames, exp.layout.shape[0])


def sliding_stream(exp, method, correlated):
    # The sliding schedule decodes each frame with the rounds before it: the last round's frame
    # sees its whole shot.
    with kelvane.open(exp.path, decoder=exp.dem, layout=exp.layout, per_shot=False, method=method,
                      enable_correlations=correlated) as stream:
        return last_frames(list(stream), exp.layout.shape[0])


def windowed_stream(exp, method, correlated, threads=1):
    # Windows of commit rounds as deep as the shot: each shot is one window, decoded whole.
    rounds = exp.layout.shape[0]
    with kelvane.open(exp.path, decoder=graph_of(exp, correlated), per_shot=True, commit=rounds, buffer=rounds,
                      num_threads=threads, method=method, enable_correlations=correlated) as stream:
        return last_frames(list(stream), rounds)


def decisions(exp, data):
    from kelvane.decisions import read_decisions

    _, records = read_decisions(bytes(data))
    last = records[records["round"] == exp.layout.shape[0] - 1]
    return (last["committed_flips"][:, None] & 1).astype(np.uint8)


def drained_stream(exp, method, correlated):
    from kelvane.decisions import encode_header

    rounds = exp.layout.shape[0]
    data = bytearray(encode_header(exp.dem.num_observables))
    with kelvane.open(exp.path, decoder=graph_of(exp, correlated), per_shot=True, commit=rounds, buffer=rounds,
                      method=method, enable_correlations=correlated) as stream:
        while (records := stream.drain(1.0)) is not None:
            data += records
            stream.decisions_written()
    return decisions(exp, data)


def cli_decode_windows(exp, method, tmp_path):
    rounds = str(exp.layout.shape[0])
    out = tmp_path / "decisions.kvld"
    assert cli.main(["decode", str(exp.path), "--commit", rounds, "--buffer", rounds, "--out", str(out),
                     "--method", method, "-q"]) == 0
    return decisions(exp, out.read_bytes())


def sinter_decoder(exp, method, correlated):
    name = {"union-find": "kelvane-uf", "matching": "kelvane-matching"}[method] + ("-correlated" if correlated else "")
    compiled = kelvane.sinter_decoders()[name].compile_decoder_for_dem(dem=exp.dem)
    packed = np.packbits(exp.detection_events, axis=1, bitorder="little")
    return np.unpackbits(compiled.decode_shots_bit_packed(bit_packed_detection_event_data=packed), axis=1,
                         bitorder="little", count=exp.dem.num_observables)


def fixed_model_sinter(exp, method, correlated):
    compiled = kelvane.sinter_decoder_for_model(exp.dem, correlated=correlated, method=method).compile_decoder_for_dem(
        dem=exp.dem)
    packed = np.packbits(exp.detection_events, axis=1, bitorder="little")
    return np.unpackbits(compiled.decode_shots_bit_packed(bit_packed_detection_event_data=packed), axis=1,
                         bitorder="little", count=exp.dem.num_observables)


def cli_decode(exp, method, correlated, tmp_path):
    out = tmp_path / "predictions.01"
    assert cli.main(["decode", str(exp.path), "--out", str(out), "--method", method, "-q"]) == 0
    return np.array([[int(c) for c in line] for line in out.read_text().split()], dtype=np.uint8)


ENTRY_POINTS = {
    "decode": lambda exp, m, c, _: np.array([np.asarray(graph_of(exp, c).decode(e, method=m, enable_correlations=c))
                                             for e in exp.detection_events]),
    "decode_batch, 2 threads": lambda exp, m, c, _: graph_of(exp, c).decode_batch(
        exp.detection_events, num_threads=2, method=m, enable_correlations=c),
    "pickled graph, bit-packed": lambda exp, m, c, _: pickle.loads(pickle.dumps(graph_of(exp, c))).decode_batch(
        np.packbits(exp.detection_events, axis=1, bitorder="little"), bit_packed_shots=True, method=m,
        enable_correlations=c),
    "per-shot stream": lambda exp, m, c, _: per_shot_stream(exp, m, c),
    "per-shot stream, model swapped": lambda exp, m, c, _: per_shot_stream(exp, m, c, swap=True),
    "sliding stream": lambda exp, m, c, _: sliding_stream(exp, m, c),
    "decode_sliding, covering buffer": lambda exp, m, c, _: graph_of(exp, c).decode_sliding(
        exp.detection_events, commit=2, buffer=exp.layout.shape[0] + 1, method=m, enable_correlations=c),
    "parallel windows, 2 threads": lambda exp, m, c, _: np.concatenate([graph_of(exp, c).decode_sliding(
        exp.detection_events[k:k + 16], commit=exp.layout.shape[0], buffer=2, num_threads=2, method=m,
        enable_correlations=c) for k in range(0, len(exp.detection_events), 16)]),
    "windowed stream": lambda exp, m, c, _: windowed_stream(exp, m, c),
    "windowed stream, 2 threads": lambda exp, m, c, _: windowed_stream(exp, m, c, threads=2),
    "drain (live)": lambda exp, m, c, _: drained_stream(exp, m, c),
    "kelvane decode --commit": lambda exp, m, c, tmp: None if c else cli_decode_windows(exp, m, tmp),
    "sinter": lambda exp, m, c, _: sinter_decoder(exp, m, c),
    "sinter, fixed model": lambda exp, m, c, _: fixed_model_sinter(exp, m, c),
    "kelvane decode": lambda exp, m, c, tmp: None if c else cli_decode(exp, m, c, tmp),
}


@pytest.mark.parametrize("method, correlated", METHODS)
@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_every_entry_point_decodes_as_decode_batch(exp, tmp_path, entry, method, correlated):
    expected = graph_of(exp, correlated).decode_batch(exp.detection_events, method=method,
                                                      enable_correlations=correlated)
    got = ENTRY_POINTS[entry](exp, method, correlated, tmp_path)
    if got is None:
        pytest.skip(f"{entry} has no correlated mode")
    assert np.array_equal(np.asarray(got, dtype=np.uint8), expected)


def test_the_methods_differ_on_these_shots(exp):
    # Otherwise the table above could not tell a method that was dropped on the way.
    predictions = {(m, c): graph_of(exp, c).decode_batch(exp.detection_events, method=m, enable_correlations=c)
                   for m, c in METHODS}
    assert not np.array_equal(predictions["union-find", False], predictions["matching", False])
    assert not np.array_equal(predictions["matching", False], predictions["matching", True])


def test_method_names_are_checked_where_the_decoder_is_set(exp):
    with pytest.raises(ValueError, match='method must be "union-find" or "matching"'):
        kelvane.open(exp.path, decoder=exp.dem, per_shot=True, method="blossom")
    with pytest.raises(ValueError, match="method"):
        kelvane.sinter_decoder_for_model(exp.dem, method="blossom")


@pytest.mark.parametrize("method, correlated", METHODS[:2])
def test_the_monitor_scores_the_shots_its_method_decodes(exp, method, correlated):
    from kelvane.monitor import StreamMonitor

    expected = graph_of(exp, correlated).decode_batch(exp.detection_events, method=method)
    monitor = StreamMonitor(str(exp.path), method=method)
    monitor.run(follow=False)
    assert monitor.logical_errors == np.count_nonzero((expected != exp.observables).any(axis=1))


def test_one_graph_keeps_each_methods_decoders_apart(exp):
    # The graph lends out the window decoders it keeps by commit, buffer, mode and method: a
    # method asked after another must not get the other's decoders.
    graph = graph_of(exp, False)
    options = dict(commit=2, buffer=exp.layout.shape[0] + 1)
    for method in ("union-find", "matching", "union-find", "matching"):
        got = graph.decode_sliding(exp.detection_events, method=method, **options)
        assert np.array_equal(got, graph.decode_batch(exp.detection_events, method=method)), method
