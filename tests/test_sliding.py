"""SpacetimeGraph.decode_sliding against whole-shot decoding on Stim memory experiments."""

import math

import numpy as np
import pytest

import _kelvane
from kelvane.stats import paired_ratio

stim = pytest.importorskip("stim")


def experiment(code, distance, rounds, p):
    circuit = stim.Circuit.generated(
        code,
        distance=distance,
        rounds=rounds,
        after_clifford_depolarization=p,
        before_measure_flip_probability=p,
        after_reset_flip_probability=p,
        before_round_data_depolarization=p,
    )
    graph = _kelvane.SpacetimeGraph.from_detector_error_model(circuit.detector_error_model(decompose_errors=True))
    return circuit, graph


@pytest.mark.parametrize(
    "code, distance, commit",
    [
        ("repetition_code:memory", 5, 1),
        ("surface_code:rotated_memory_z", 3, 2),
        ("surface_code:rotated_memory_x", 3, 3),
        ("surface_code:rotated_memory_z", 5, 4),
    ],
)
def test_a_buffer_covering_the_shot_is_whole_decoding(code, distance, commit):
    circuit, graph = experiment(code, distance, 4 * distance, 0.01)
    dets, _ = circuit.compile_detector_sampler(seed=3).sample(400, separate_observables=True)
    sliding = graph.decode_sliding(dets, commit=commit, buffer=4 * distance + 1)
    assert sliding.dtype == np.uint8
    np.testing.assert_array_equal(sliding, graph.decode_batch(dets))


@pytest.mark.parametrize("code", ["surface_code:rotated_memory_z", "repetition_code:memory"])
def test_windows_of_d_rounds_lose_little_accuracy(code):
    d = 3
    circuit, graph = experiment(code, d, 10 * d, 0.006 if code.startswith("surface") else 0.03)
    dets, obs = circuit.compile_detector_sampler(seed=5).sample(6000, separate_observables=True)
    whole_wrong = (graph.decode_batch(dets) != obs).any(axis=1)
    sliding_wrong = (graph.decode_sliding(dets, commit=d, buffer=d) != obs).any(axis=1)
    assert whole_wrong.sum() >= 50
    # Same shots: the count difference has a spread of about the root of the shots where the
    # two disagree; allow 1.1x plus three of those.
    discordant = (whole_wrong != sliding_wrong).sum()
    assert sliding_wrong.sum() <= 1.1 * whole_wrong.sum() + 3 * math.sqrt(discordant)


def test_threads_and_kept_decoders_do_not_change_predictions():
    circuit, graph = experiment("surface_code:rotated_memory_z", 3, 30, 0.008)
    dets, _ = circuit.compile_detector_sampler(seed=11).sample(300, separate_observables=True)
    fresh = {
        (c, b): _kelvane.SpacetimeGraph.from_detector_error_model(
            circuit.detector_error_model(decompose_errors=True)
        ).decode_sliding(dets, commit=c, buffer=b)
        for c, b in [(3, 3), (2, 1)]
    }
    # The same graph decodes again and again, alternating window shapes, on 1, 2 and every core.
    for threads in (1, 2, 0, 1):
        for (c, b), expected in fresh.items():
            got = graph.decode_sliding(dets, commit=c, buffer=b, num_threads=threads)
            np.testing.assert_array_equal(got, expected)
    with pytest.raises(TypeError, match="num_threads"):
        graph.decode_sliding(dets, commit=1, buffer=1, num_threads=-1)


def test_two_threads_decode_one_shot_in_parallel_windows():
    d = 3
    circuit, graph = experiment("surface_code:rotated_memory_z", d, 10 * d, 0.006)
    dets, obs = circuit.compile_detector_sampler(seed=13).sample(4000, separate_observables=True)
    one = graph.decode_sliding(dets, commit=d, buffer=d)
    # Fewer than 32 shots a thread: each shot goes to parallel windows on the threads.
    two = np.concatenate([graph.decode_sliding(dets[k:k + 40], commit=d, buffer=d, num_threads=2)
                          for k in range(0, len(dets), 40)])
    ratio = paired_ratio(two != obs, one != obs)
    assert ratio.errors_b >= 50
    assert ratio.low <= 1.1, ratio
    # The same windows for a stream of unknown length pushed in one block, on three threads.
    stream = graph.sliding_decoder(commit=d, buffer=d, num_threads=3)
    sizes = stream.round_sizes
    starts = np.cumsum([0] + sizes)
    for shot in range(12):
        rounds = np.zeros((len(sizes), max(sizes)), dtype=np.uint8)
        for r, size in enumerate(sizes):
            rounds[r, :size] = dets[shot, starts[r] : starts[r] + size]
        stream.start(None)
        stream.push_rounds(rounds)
        assert stream.finish() == two[shot, 0]


def test_refusals():
    circuit, graph = experiment("repetition_code:memory", 3, 6, 0.01)
    dets = np.zeros((2, circuit.num_detectors), dtype=np.uint8)
    with pytest.raises(ValueError, match="commit must be at least 1"):
        graph.decode_sliding(dets, commit=0, buffer=3)
    with pytest.raises(ValueError, match=r"shots x %d detectors" % circuit.num_detectors):
        graph.decode_sliding(dets[:, 1:], commit=1, buffer=3)
    with pytest.raises(TypeError):
        graph.decode_sliding(dets, 1, 3)
    bare = _kelvane.DetectorErrorModel.parse("error(0.1) D0 D1\nerror(0.1) D1\n").to_graph()
    with pytest.raises(ValueError, match="D0 has no time coordinate"):
        bare.decode_sliding(np.zeros((1, 2), dtype=bool), commit=1, buffer=1)


def test_rounds_pushed_as_they_arrive_decode_like_decode_sliding():
    d = 3
    circuit, graph = experiment("surface_code:rotated_memory_z", d, 10 * d, 0.006)
    dets, _ = circuit.compile_detector_sampler(seed=9).sample(40, separate_observables=True)
    expected = graph.decode_sliding(dets, commit=2, buffer=d)[:, 0]
    decoder = graph.sliding_decoder(commit=2, buffer=d)
    sizes = decoder.round_sizes
    assert (decoder.head_rounds, decoder.tail_rounds, decoder.period, len(sizes)) == (2, 2, 2, 10 * d + 1)
    assert repr(decoder) == ("SlidingWindowDecoder(commit=2, buffer=3, model_rounds=31, period=2, "
                             "received_rounds=0, committed_rounds=0)")
    starts = np.cumsum([0] + sizes)
    for shot, want in zip(dets, expected):
        rounds = np.zeros((len(sizes), max(sizes)), dtype=np.uint8)
        for r, size in enumerate(sizes):
            rounds[r, :size] = shot[starts[r] : starts[r] + size]
        decoder.start(None)  # unknown length: the stream ends at finish()
        decoder.push_rounds(rounds[:20])
        assert decoder.committed_rounds == 14  # windows wait for the tail's rounds past them
        decoder.push_rounds(rounds[20:])
        assert decoder.finish() == want
    stats = decoder.stats()
    assert stats["rounds"] == 40 * len(sizes) and 0 < stats["median_step_ns"] <= stats["worst_step_ns"]
    with pytest.raises(ValueError, match="does not fit the model"):
        decoder.start(10 * d)


def flips_of(frame):
    try:
        return frame.observable_flips
    except _kelvane.KelvaneError:
        return None


@pytest.mark.parametrize("code", ["surface_code:rotated_memory_x", "repetition_code:memory"])
def test_streams_commit_as_frames_arrive(tmp_path, code):
    import kelvane

    d, commit = 3, 2
    circuit, graph = experiment(code, d, 4 * d, 0.01)
    path = str(tmp_path / "run.kvlx")
    exp = kelvane.write_stim_experiment(circuit, 60, path, seed=4)
    expected = graph.decode_sliding(exp.detection_events, commit=commit, buffer=d)
    depth = exp.layout.shape[0]
    with kelvane.open(path, decoder=exp.dem, layout=exp.layout, per_shot=True,
                      commit=commit, buffer=d) as stream:
        frames = [(f.round, flips_of(f), stream.decoder_stats()) for f in stream]
    finals = [flips for r, flips, _ in frames if r == depth - 1]
    np.testing.assert_array_equal(np.array(finals)[:, None] & 1, expected)
    # Windows [s, s + 5) close commit steps on rounds 4, 6, ... while they end before the model's
    # last rounds; then the shot's last frame; the frames between carry nothing.
    carrying = sorted({r for r, flips, _ in frames if flips is not None})
    assert carrying == list(range(commit + d - 1, depth - 2, commit)) + [depth - 1]
    # The backlog: rounds received and not committed, none once a shot's last frame is decoded.
    for r, flips, stats in frames:
        steps = 0 if r == 0 else steps + (flips is not None)
        assert stats["held_rounds"] == (0 if r == depth - 1 else r + 1 - commit * steps), r
    assert frames[-1][2]["windows"] == 60 * len(carrying) and frames[-1][2]["rounds"] == 60 * depth
    with kelvane.open(path, decoder=exp.dem, layout=exp.layout, per_shot=True) as stream:
        assert stream.decoder_stats() is None

    with kelvane.open(path, decoder=exp.dem, layout=exp.layout, commit=commit, buffer=d) as stream:
        frame = next(iter(stream))
        with pytest.raises(_kelvane.KelvaneError, match="close a commit step"):
            frame.observable_flips
    with pytest.raises(ValueError, match="needs layout="), kelvane.KelvaneStream(str(path)) as bare:
        bare.set_decoder(exp.dem, commit=commit, buffer=d)  # kelvane.open would take the stored layout


def test_streams_on_two_threads_decode_in_parallel_windows(tmp_path):
    import kelvane

    d = 3
    circuit, graph = experiment("surface_code:rotated_memory_z", d, 10 * d, 0.01)
    path = str(tmp_path / "run.kvlx")
    exp = kelvane.write_stim_experiment(circuit, 30, path, seed=6)
    with kelvane.open(path, decoder=exp.dem, layout=exp.layout, per_shot=True, commit=d, buffer=d,
                      num_threads=2) as stream:
        finals = [f.observable_flips & 1 for f in stream if f.round == exp.layout.shape[0] - 1]
    reference = graph.sliding_decoder(commit=d, buffer=d, num_threads=2)
    sizes = reference.round_sizes
    starts = np.cumsum([0] + sizes)
    expected = []
    for shot in exp.detection_events:
        rounds = np.zeros((len(sizes), max(sizes)), dtype=np.uint8)
        for r, size in enumerate(sizes):
            rounds[r, :size] = shot[starts[r]:starts[r] + size]
        reference.start(None)
        reference.push_rounds(rounds)
        expected.append(reference.finish() & 1)
    assert finals == expected

    with kelvane.KelvaneStream(path) as bare, pytest.raises(ValueError, match="needs commit and buffer"):
        bare.set_decoder(exp.dem, layout=exp.layout, num_threads=2)


# Every window feature on one thread (sliding windows) and on two (core and seam windows, shots
# few enough for decode_sliding to give each one both threads): a buffer covering the shot is
# whole-shot decoding, correlated or not; a model whose observable is L200 commits what L0 did
# (committed_flips_array; the 64-bit mask refused only after finish() committed); a stream with
# its model swapped for itself every few frames decides as one never swapped, detector flips
# kept (drain(detector_flips=True)).
@pytest.mark.parametrize("threads", [1, 2])
def test_window_features_on_one_thread_and_two(tmp_path, threads):
    import kelvane

    d, rounds = 3, 12
    circuit, graph = experiment("surface_code:rotated_memory_z", d, rounds, 0.02)
    dem = circuit.detector_error_model(decompose_errors=True)
    dets = circuit.compile_detector_sampler(seed=3).sample(24)
    covering = dict(commit=2, buffer=rounds + 2, num_threads=threads)
    np.testing.assert_array_equal(graph.decode_sliding(dets, **covering), graph.decode_batch(dets))
    correlated = _kelvane.SpacetimeGraph.from_detector_error_model(dem, enable_correlations=True)
    np.testing.assert_array_equal(correlated.decode_sliding(dets, enable_correlations=True, **covering),
                                  correlated.decode_batch(dets, enable_correlations=True))

    wide = _kelvane.SpacetimeGraph.from_detector_error_model(
        stim.DetectorErrorModel(str(dem).replace("L0", "L200")))
    narrow, wider = (g.sliding_decoder(commit=2, buffer=2, num_threads=threads) for g in (graph, wide))
    sizes = narrow.round_sizes
    starts = np.cumsum([0] + sizes)
    for shot in dets[:8]:
        block = np.zeros((len(sizes), max(sizes)), dtype=np.uint8)
        for r, size in enumerate(sizes):
            block[r, :size] = shot[starts[r]:starts[r] + size]
        for decoder in (narrow, wider):
            decoder.start(None)
            decoder.push_rounds(block)
        expected = narrow.finish() & 1
        with pytest.raises(ValueError, match="committed_flips_array"):
            wider.finish()
        assert wider.committed_rounds == rounds + 1
        flips = wider.committed_flips_array
        assert flips.dtype == np.uint8 and flips.shape == (201,)
        assert flips[200] == expected and flips[:200].sum() == 0

    path = str(tmp_path / "run.kvlx")
    exp = kelvane.write_stim_experiment(circuit, 20, path, seed=6)
    decided = []
    for swap in (False, True):
        with kelvane.open(path, decoder=exp.dem, layout=exp.layout, per_shot=True, commit=2, buffer=2, num_threads=threads,
                          enable_correlations=True) as stream:
            out = b""
            while (chunk := stream.drain(0.5, detector_flips=True)) is not None:
                out += chunk
                if swap:
                    stream.swap_model(exp.dem)
            decided.append(out)
    assert decided[0] == decided[1] and len(decided[0]) > 0


def test_endless_streams_place_frames_by_round(tmp_path):
    import warnings

    import kelvane
    from kelvane.kvlx import KvlxWriter

    circuit, graph = experiment("repetition_code:memory", 3, 12, 0.01)
    layout = kelvane.layout_from_stim(circuit)
    rng = np.random.default_rng(2)
    path = tmp_path / "endless.kvlx"
    with KvlxWriter(str(path)) as writer:
        for r in range(30):
            if r != 7:  # lost: every later frame must keep its own round
                writer.write_frame(r, r, detector_events=rng.random(layout.shape[1]) < 0.2)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with kelvane.open(str(path), decoder=circuit.detector_error_model(decompose_errors=True),
                          layout=layout, commit=2, buffer=3) as stream:
            frames = [(f.round, f.window_incomplete) for f in stream]
            assert stream.missing_rounds == 1
    assert [str(w.message) for w in caught if w.category is RuntimeWarning][0].startswith(
        "frame 8 has round 8 after round 6: 1 round missing from the endless stream")
    assert sum(w.category is RuntimeWarning for w in caught) == 1
    # A window [s, s + 5) is decoded on round s + 5 (a round of the model's tail must follow it);
    # those holding round 7 are [4, 9) and [6, 11).
    assert [r for r, flagged in frames if flagged] == [9, 11]


def test_drain_decides_in_cpp_what_iterating_decides(tmp_path):
    import warnings

    import kelvane
    from kelvane.decisions import encode_header, read_decisions
    from kelvane.kvlx import KvlxWriter

    circuit, graph = experiment("repetition_code:memory", 5, 12, 0.03)
    dem = circuit.detector_error_model(decompose_errors=True)
    layout = kelvane.layout_from_stim(circuit)
    rng = np.random.default_rng(4)
    path = tmp_path / "endless.kvlx"
    with KvlxWriter(str(path)) as writer:
        for r in range(400):
            if r not in (7, 8, 150):  # lost rounds: decoded as quiet, their commits flagged
                writer.write_frame(r, r, detector_events=rng.random(layout.shape[1]) < 0.15)
    opened = [kelvane.open(str(path), decoder=dem, layout=layout, commit=3, buffer=2) for _ in range(2)]
    with warnings.catch_warnings(record=True) as caught, opened[0] as iterated, opened[1] as drained:
        warnings.simplefilter("always")
        expected = []
        for f in iterated:
            try:
                expected.append((f.frame_id, f.round, f.window_incomplete, f.observable_flips))
            except _kelvane.KelvaneError:
                pass  # not a commit step
        data = bytearray(encode_header(1))
        while (records := drained.drain(1.0)) is not None:
            data += records
            drained.decisions_written()
        assert drained.missing_rounds == iterated.missing_rounds == 3
        with pytest.raises(ValueError, match="decoded live"):
            next(drained)
        stats = drained.live_stats()
    _, records = read_decisions(bytes(data))
    got = [(int(r["frame_id"]), int(r["round"]), bool(r["flags"] & 1), int(r["committed_flips"])) for r in records]
    assert got == expected and any(flagged for _, _, flagged, _ in got) and any(flips for *_, flips in got)
    assert sum(w.category is RuntimeWarning for w in caught) == 2  # the missing rounds, once per stream
    assert stats["frames_decoded"] == stats["frames_arrived"] == 397 and stats["decisions"] == len(got)
    assert stats["closing_latency_ns"]["count"] == stats["write_latency_ns"]["count"] == len(got)
    assert stats["frame_latency_ns"]["count"] == 397 - stats["backlog"]
    with kelvane.KelvaneStream(str(path)) as plain, pytest.raises(ValueError, match="commit=C, buffer=B"):
        plain.drain()


def test_push_rounds_refuses_what_decode_batch_refuses():
    circuit, graph = experiment("surface_code:rotated_memory_z", 3, 6, 0.01)
    decoder = graph.sliding_decoder(commit=2, buffer=3)
    sizes = decoder.round_sizes
    width = max(sizes)
    assert sizes[0] < width  # the first round has only the Z stabilisers
    decoder.start(len(sizes))
    first = np.zeros((1, width), dtype=np.uint8)
    first[0, sizes[0]] = 1
    for rows, error, match in [
        ([["0"] * width], TypeError, "got <U1"),
        (np.zeros((1, width), dtype=object), TypeError, "got object"),
        (np.zeros((1, width + 1)), ValueError, f"x {width} detector slots .* got {width + 1} columns"),
        (np.zeros((1, width - 1)), ValueError, f"got {width - 1} columns"),
        (np.zeros(width), ValueError, "got a 1-D array"),
        (first, ValueError, f"round 0 has {sizes[0]} detector slots, but slot {sizes[0]} fired"),
        (np.zeros((len(sizes) + 1, width)), ValueError, f"round {len(sizes)} is past the stream's"),
    ]:
        with pytest.raises(error, match=match):
            decoder.push_rounds(rows)
        assert decoder.received_rounds == 0  # a refused call adds nothing


def test_huge_windows_and_thread_counts_cost_only_what_is_used():
    circuit, graph = experiment("surface_code:rotated_memory_z", 3, 6, 0.01)
    dets, _ = circuit.compile_detector_sampler(seed=1).sample(200, separate_observables=True)
    whole = graph.decode_batch(dets)
    np.testing.assert_array_equal(graph.decode_sliding(dets, commit=2**31, buffer=2**31), whole)
    np.testing.assert_array_equal(graph.decode_batch(dets, num_threads=10**6), whole)
    graph.sliding_decoder(commit=2**32 - 1, buffer=2**32 - 1).start(None)
