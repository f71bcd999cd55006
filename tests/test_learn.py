"""The error model learned from detection events: recovery, mechanism preservation, stream swaps."""

from __future__ import annotations

import numpy as np
import pytest
import stim

import kelvane
from kelvane.learn import count, estimate_error_model, estimate_from_counts, model_terms


def _with_probabilities(dem: stim.DetectorErrorModel, probs: list[float]) -> stim.DetectorErrorModel:
    out = stim.DetectorErrorModel()
    it = iter(probs)
    for inst in dem.flattened():
        if inst.type == "error":
            out.append(stim.DemInstruction("error", [next(it)], inst.targets_copy()))
        else:
            out.append(inst)
    return out


def _errors(dem: stim.DetectorErrorModel) -> list[stim.DemInstruction]:
    return [i for i in dem.flattened() if i.type == "error"]


@pytest.mark.parametrize("seed", [1, 2])
def test_graphlike_estimates_agree_with_truth_within_statistical_error(seed: int) -> None:
    circuit = stim.Circuit.generated("repetition_code:memory", distance=5, rounds=4,
                                     after_clifford_depolarization=0.01, before_measure_flip_probability=0.01)
    given = circuit.detector_error_model(decompose_errors=True)
    assert all(len([t for t in i.targets_copy() if t.is_relative_detector_id()]) <= 2 for i in _errors(given))
    rng = np.random.default_rng(seed)
    # The device: every term (pair or boundary detector) off by a factor between 1/3 and 3.
    # Mechanisms with the same detectors (D3 D7, D3 D7 L0, D7 ^ D3) cannot be told apart: the
    # plain ones share the factor and a decomposed one beside them keeps its probability, as the
    # estimator's rule splits them.
    factor: dict[tuple[int, ...], float] = {}
    keys = [tuple(sorted(t.val for t in i.targets_copy() if t.is_relative_detector_id())) for i in _errors(given)]
    split = [any(t.is_separator() for t in i.targets_copy()) for i in _errors(given)]
    has_plain = {k for k, s in zip(keys, split) if not s}
    truth = []
    for inst, key, s in zip(_errors(given), keys, split):
        factor.setdefault(key, float(np.exp(rng.uniform(-1.1, 1.1))))
        truth.append(float(inst.args_copy()[0]) * (1.0 if s and key in has_plain else factor[key]))
    true_dem = _with_probabilities(given, truth)
    shots = 100_000
    dets, _, _ = true_dem.compile_sampler(seed=seed).sample(shots)
    rates = kelvane.detector_rates.expected_detector_rates(true_dem)
    learned = _errors(estimate_error_model(dets, given))
    for inst, p_true in zip(learned, truth):
        ids = [t.val for t in inst.targets_copy() if t.is_relative_detector_id()]
        # Standard error ~ sqrt(p / N) for a pair; a boundary term is a difference of rates, so
        # its error is about that of its detector's rate.
        scale = p_true if len(ids) == 2 else rates[ids[0]]
        assert abs(inst.args_copy()[0] - p_true) < 5 * np.sqrt(scale / shots), (str(inst), p_true)
    # The given model is far off: the check above is not passed by returning it.
    off = [abs(float(g.args_copy()[0]) - t) > 5 * np.sqrt(t / shots) for g, t in zip(_errors(given), truth)]
    assert sum(off) > len(off) // 2


@pytest.mark.parametrize("events", ["sampled", "none", "all"])
def test_output_keeps_mechanisms_and_decomposition(events: str) -> None:
    circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=3,
                                     after_clifford_depolarization=0.003, before_measure_flip_probability=0.01)
    given = circuit.detector_error_model(decompose_errors=True)
    assert any(t.is_separator() for i in _errors(given) for t in i.targets_copy())
    shots = 4000
    if events == "sampled":
        dets = circuit.compile_detector_sampler(seed=3).sample(shots)
    else:
        dets = np.full((shots, given.num_detectors), events == "all")
    learned = estimate_error_model(dets, given)
    packed = estimate_error_model(np.packbits(dets, axis=1, bitorder="little"), given, bit_packed=True)
    assert packed == learned
    assert [i.targets_copy() for i in _errors(learned)] == [i.targets_copy() for i in _errors(given)]
    assert learned.get_detector_coordinates() == given.get_detector_coordinates()
    probs = np.array([i.args_copy()[0] for i in _errors(learned)])
    assert np.all((probs >= 0.5 / shots) & (probs <= 0.5))
    if events == "none":  # nothing fires: every mechanism falls to the floor
        assert np.all(probs == 0.5 / shots)
    # The learned model decodes.
    kelvane.SpacetimeGraph.from_detector_error_model(learned, enable_correlations=True)


@pytest.mark.parametrize("schedule", [
    dict(),                                      # shot by shot (the file stores its layout)
    dict(per_shot=True, commit=1, buffer=1),     # shots decoded in windows
    dict(per_shot=True, commit=1, buffer=1, enable_correlations=True),
    dict(per_shot=False, window_depth=4),        # every frame with the rounds before it
])
def test_stream_swaps_in_the_learned_model_while_running(tmp_path, schedule: dict) -> None:
    circuit = stim.Circuit.generated("surface_code:rotated_memory_x", distance=3, rounds=3,
                                     after_clifford_depolarization=0.01, before_measure_flip_probability=0.03)
    exp = kelvane.write_stim_experiment(circuit, 350, tmp_path / "run.kvlx", seed=5)
    rounds = exp.layout.shape[0]
    assert rounds == 4
    with kelvane.open(exp.path, decoder=exp.dem, learn_every=100, **schedule) as stream:
        assert stream.model_swaps == 0 and stream.model == exp.dem
        predictions = [f.observable_flips for f in stream if f.round == rounds - 1]
        assert stream.model_swaps == 3 and stream.incomplete_shots == 0
        final = stream.model
    # Shots [100 b, 100 (b + 1)) decode with the model learned from the block before them: the
    # counts gathered by the stream are the shots' own.
    models = [exp.dem] + [estimate_error_model(exp.detection_events[100 * b: 100 * (b + 1)], exp.dem)
                          for b in range(3)]
    assert final == models[3] and models[1] != models[0]
    expected = []
    for b, model in enumerate(models):
        graph = kelvane.SpacetimeGraph.from_detector_error_model(model)
        block = exp.detection_events[100 * b: 100 * (b + 1)]
        if "commit" in schedule:
            # Windows take the learned weights onto the given model's rounds, each repeating round
            # the mean over the rounds it stands for; this model repeats no round, so they are
            # the learned model's own and decode_sliding with it is the reference.
            windows = kelvane.SpacetimeGraph.from_detector_error_model(exp.dem).sliding_decoder(commit=1, buffer=1)
            assert rounds - windows.head_rounds - windows.tail_rounds <= windows.period
            correlated = schedule.get("enable_correlations", False)
            graph = kelvane.SpacetimeGraph.from_detector_error_model(model, enable_correlations=correlated)
            found = graph.decode_sliding(block, commit=1, buffer=1, enable_correlations=correlated)
        else:  # a shot's last frame decodes the whole shot, in the sliding schedule too
            found = graph.decode_batch(block)
        expected += [int(row @ (1 << np.arange(len(row)))) for row in found.astype(np.int64)]
    assert predictions == expected


def test_endless_windowed_stream_learns_from_runs_of_rounds(tmp_path) -> None:
    from kelvane.kvlx import KvlxWriter

    circuit = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=12, after_clifford_depolarization=0.02)
    dem = circuit.detector_error_model(decompose_errors=True)
    layout = kelvane.layout_from_stim(circuit)
    rows, ancillas = layout.shape
    events = np.random.default_rng(3).random((rows * 20, ancillas)) < 0.2
    with KvlxWriter(str(tmp_path / "endless.kvlx")) as writer:
        for r, row in enumerate(events):
            writer.write_frame(r, r, detector_events=row)
    with kelvane.open(str(tmp_path / "endless.kvlx"), decoder=dem, layout=layout, commit=2, buffer=3,
                      learn_every=5) as stream:
        windows = {stream.model_swaps: stream.decoder_stats()["windows"] for _ in stream}
        assert stream.model_swaps == 4 and stream.missing_rounds == 0
        final = stream.model
        with pytest.raises(ValueError, match="iterate the stream"):
            stream.drain()
    assert windows[4] > windows[3] > windows[0] > 0  # windows go on closing across the swaps
    # Each run of `rows` rounds is laid onto the layout's rows as one shot.
    shots = np.zeros((20, dem.num_detectors), dtype=np.uint8)
    for s in range(20):
        for k in range(rows):
            used = layout[k] >= 0
            shots[s, layout[k][used]] = events[s * rows + k][used]
    assert final == estimate_error_model(shots[15:], dem)


def test_learn_memory_weighs_earlier_blocks_less(tmp_path) -> None:
    circuit = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=3, after_clifford_depolarization=0.05)
    exp = kelvane.write_stim_experiment(circuit, 300, tmp_path / "run.kvlx", seed=2)
    with kelvane.open(exp.path, decoder=exp.dem, learn_every=100, learn_memory=400) as stream:
        models = []
        for f in stream:
            if f.round == exp.layout.shape[0] - 1 and stream.model_swaps > len(models):
                models.append(stream.model)
    terms = model_terms(exp.dem)
    counts = [count(terms, exp.detection_events[100 * b: 100 * (b + 1)]) for b in range(3)]
    # Block k back weighs 0.75 ** k: the third model from 100 + 75 + 56.25 shots.
    weights = [0.75 ** 2, 0.75, 1.0]
    want = estimate_from_counts(terms, 100 * sum(weights), sum(w * c.fired for w, c in zip(weights, counts)),
                                sum(w * c.both_fired for w, c in zip(weights, counts)))
    assert len(models) == 3 and models[2] == want and models[2] != estimate_error_model(exp.detection_events[200:], exp.dem)
    with pytest.raises(ValueError, match="learn_memory"):
        kelvane.open(exp.path, decoder=exp.dem, learn_every=100, learn_memory=50)


@pytest.mark.parametrize("plain_p, split_p", [
    (0.05, 0.01),   # the plain edge takes the whole rise; the decomposed one keeps its probability
    (0.01, 0.01),   # nothing changed (plain and decomposed tie)
    (0.0, 0.005),   # the pair fires less than the decomposed one alone did: both scaled down together
])
def test_pair_change_goes_to_the_plain_mechanism(plain_p: float, split_p: float) -> None:
    given = stim.DetectorErrorModel("error(0.01) D0 D1\nerror(0.01) D0 ^ D1\nerror(0.01) D0\nerror(0.01) D1 L0")
    truth = stim.DetectorErrorModel(f"error({plain_p}) D0 D1\nerror({split_p}) D0 ^ D1\n"
                                    "error(0.01) D0\nerror(0.01) D1 L0")
    shots = 400_000
    dets, _, _ = truth.compile_sampler(seed=4).sample(shots)
    plain, split, *_ = (i.args_copy()[0] for i in _errors(estimate_error_model(dets, given)))
    pair = 0.5 - 0.5 * (1 - 2 * plain_p) * (1 - 2 * split_p)  # what the pair's correlation measures
    tolerance = 5 * np.sqrt(pair / shots)
    assert 0.5 - 0.5 * (1 - 2 * plain) * (1 - 2 * split) == pytest.approx(pair, abs=tolerance)
    if pair > 0.01:
        assert split == 0.01
    else:
        assert split < 0.01 and plain == pytest.approx(split, rel=1e-9)  # one ratio for both


def test_stream_swap_model_refuses_other_mechanisms(tmp_path) -> None:
    circuit = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=5, after_clifford_depolarization=0.05)
    exp = kelvane.write_stim_experiment(circuit, 20, tmp_path / "run.kvlx", seed=1)
    other = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=5, after_clifford_depolarization=0.05,
                                   before_measure_flip_probability=0.01).detector_error_model()
    with kelvane.open(exp.path, decoder=exp.dem, per_shot=True, commit=2, buffer=2) as stream:
        next(stream)
        with pytest.raises(ValueError, match="only its probabilities may change"):
            stream.swap_model(other)
        with pytest.raises(ValueError, match="detectors"):
            stream.swap_model("error(0.1) D0 D1\n")
        assert stream.model_swaps == 0
        assert len([f for f in stream if f.round == exp.layout.shape[0] - 1]) == 20


def test_sinter_decoder_for_model_decodes_with_the_model_given() -> None:
    sinter = pytest.importorskip("sinter")
    circuit = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=3, after_clifford_depolarization=0.05)
    dem = circuit.detector_error_model(decompose_errors=True)
    learned = estimate_error_model(circuit.compile_detector_sampler(seed=1).sample(2000), dem)
    compiled = kelvane.sinter_decoder_for_model(learned).compile_decoder_for_dem(dem=dem)
    dets = circuit.compile_detector_sampler(seed=2).sample(500, bit_packed=True)
    want = kelvane.SpacetimeGraph.from_detector_error_model(learned).decode_batch(
        dets, bit_packed_shots=True, bit_packed_predictions=True)
    assert np.array_equal(compiled.decode_shots_bit_packed(bit_packed_detection_event_data=dets), want)
    with pytest.raises(ValueError, match="detectors"):
        kelvane.sinter_decoder_for_model(learned).compile_decoder_for_dem(
            dem=stim.Circuit.generated("repetition_code:memory", distance=5, rounds=3,
                                       after_clifford_depolarization=0.05).detector_error_model())
    assert isinstance(kelvane.sinter_decoder_for_model(learned), sinter.Decoder)


@pytest.mark.parametrize("seed", range(1, 9))
def test_boundary_beside_a_coin_pair_keeps_its_given_value(seed: int) -> None:
    # Beside a pair at p = 1/2 (learned as 0.5, or after sampling noise a little below) a
    # detector is a fair coin whatever its boundary term: the shots cannot tell the term, so it
    # keeps the given 0.1, while a detector away from the pair still learns its own.
    true = stim.DetectorErrorModel("error(0.5) D0 D1\nerror(0.03) D0\nerror(0.03) D1\nerror(0.02) D2")
    dets = true.compile_sampler(seed=seed).sample(100_000)[0]
    given = stim.DetectorErrorModel("error(0.1) D0 D1\nerror(0.1) D0\nerror(0.1) D1\nerror(0.1) D2")
    learned = [e.args_copy()[0] for e in _errors(estimate_error_model(dets, given))]
    assert learned[0] == pytest.approx(0.5, abs=5e-3)
    assert learned[1:3] == pytest.approx([0.1, 0.1])
    assert learned[3] == pytest.approx(0.02, rel=0.1)


@pytest.mark.parametrize("events", [
    np.array([["0", "1"]]), [["0", "1"]], np.array([[b"0", b"1"]]), np.array([[None, 1]], dtype=object),
])
@pytest.mark.parametrize("bit_packed", [False, True])
def test_learning_and_decoding_refuse_the_same_shot_arrays(events, bit_packed: bool) -> None:
    # One check for every entry point taking shots: a "0" string is not a quiet detector.
    dem = "error(0.1) D0 D1\nerror(0.1) D0\nerror(0.1) D1"
    graph = kelvane.SpacetimeGraph.from_detector_error_model(dem)
    calls = {
        "detection_events": lambda: estimate_error_model(events, dem, bit_packed=bit_packed),
        "shots": lambda: graph.decode_batch(events, bit_packed_shots=bit_packed),
    }
    texts = []
    for name, call in calls.items():
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value).startswith(f"argument '{name}': ")
        texts.append(str(info.value).split(": ", 1)[1])
    assert texts[0] == texts[1]
