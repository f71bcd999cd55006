"""Models of more than 64 observables (up to 256): decode_batch's prediction arrays hold every
observable; the 64-bit mask forms refuse such models, naming the array form."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kelvane

stim = pytest.importorskip("stim")
pymatching = pytest.importorskip("pymatching")


def graph_of(text):
    return _kelvane.SpacetimeGraph.from_detector_error_model(text)


def single_fault_shots(errors, groups, shots, rng):
    """Shots of at most one error mechanism per group: errors[k] = (group, detectors,
    observables); returns (detection events, observable flips) as bool arrays."""
    num_detectors = 1 + max(d for _, dets, _ in errors for d in dets)
    num_observables = 1 + max((o for _, _, obs in errors for o in obs), default=-1)
    by_group = [[e for e in errors if e[0] == g] for g in range(groups)]
    dets = np.zeros((shots, num_detectors), dtype=bool)
    obs = np.zeros((shots, num_observables), dtype=bool)
    for s in range(shots):
        for members in by_group:
            if members and rng.random() < 0.6:
                _, d, o = members[rng.integers(len(members))]
                for x in d:  # a target listed twice (in two components) cancels
                    dets[s, x] ^= True
                for x in o:
                    obs[s, x] ^= True
    return dets, obs


def assert_equals_pymatching(dem_text, dets, truth):
    ours_graph = graph_of(dem_text)
    theirs = pymatching.Matching.from_detector_error_model(stim.DetectorErrorModel(dem_text)).decode_batch(dets)
    assert theirs.shape == truth.shape and truth.shape[1] > 64
    ours = ours_graph.decode_batch(dets, num_threads=2)
    np.testing.assert_array_equal(ours, theirs)
    np.testing.assert_array_equal(ours, truth)
    packed = ours_graph.decode_batch(np.packbits(dets, axis=1, bitorder="little"), bit_packed_shots=True,
                                     bit_packed_predictions=True)
    np.testing.assert_array_equal(packed, np.packbits(theirs, axis=1, bitorder="little"))
    assert truth[:, 64:].sum() > truth.shape[0]  # the high observables are exercised


def test_patches_side_by_side_equal_pymatching():
    # 60 repetition-code and 40 surface-code patches, each with its own observable; every shot
    # holds at most one fault per patch, which both decoders correct.
    circuit, starts = stim.Circuit(), [0]
    for i in range(100):
        kind = "repetition_code:memory" if i % 5 < 3 else "surface_code:rotated_memory_z"
        patch = stim.Circuit.generated(kind, distance=3, rounds=2, after_clifford_depolarization=0.01,
                                       before_measure_flip_probability=0.01)
        circuit += stim.Circuit(str(patch).replace("OBSERVABLE_INCLUDE(0)", f"OBSERVABLE_INCLUDE({i})"))
        starts.append(starts[-1] + patch.num_detectors)
    dem = circuit.detector_error_model(decompose_errors=True)
    assert dem.num_observables == 100
    errors = []
    for instruction in dem.flattened():
        if instruction.type != "error":
            continue
        targets = instruction.targets_copy()
        d = [t.val for t in targets if t.is_relative_detector_id()]
        o = [t.val for t in targets if t.is_logical_observable_id()]
        errors.append((int(np.searchsorted(starts, d[0], side="right")) - 1, d, o))
    dets, obs = single_fault_shots(errors, 100, 300, np.random.default_rng(3))
    assert_equals_pymatching(str(dem), dets, obs)


@pytest.mark.parametrize("seed", [1, 2])
def test_random_small_models_equal_pymatching(seed):
    # Lines of 2 to 5 detectors between two boundaries, edges flipping random observables of 100
    # (repeats cancel); inner edges (0.5 to 1.9) lighter than half of any boundary edge (4 to 4.4), so that one fault per
    # line is the lightest explanation of its syndrome for both decoders.
    rng = np.random.default_rng(seed)
    lines, errors, text, base = 80, [], [], 0
    for g in range(lines):
        n = int(rng.integers(2, 6))
        ends = [(None, base)] + [(base + k, base + k + 1) for k in range(n - 1)] + [(base + n - 1, None)]
        for a, b in ends:
            inner = a is not None and b is not None
            weight = rng.uniform(0.5, 1.9) if inner else rng.uniform(4.0, 4.4)
            d = [x for x in (a, b) if x is not None]
            o = sorted(set(int(x) for x in rng.integers(0, 100, size=int(rng.integers(0, 4)))))
            errors.append((g, d, o))
            text.append(f"error({1 / (1 + np.exp(weight)):.6f}) " + " ".join(f"D{x}" for x in d) + "".join(f" L{x}" for x in o))
        base += n
    text.append("logical_observable L99")
    dets, obs = single_fault_shots(errors, lines, 200, rng)
    assert_equals_pymatching("\n".join(text), dets, obs)


@st.composite
def wide_models(draw):
    """Models of up to 256 observables without parallel edges: weights with ties (whole
    numbers), p > 0.5 and p = 0.5 edges; shots from empty to full."""
    n = draw(st.integers(1, 12))
    pairs = draw(st.lists(st.tuples(st.integers(0, n - 1), st.integers(0, n)), min_size=1, max_size=3 * n,
                          unique_by=lambda ab: (min(ab), max(ab))))
    lines = []
    for a, b in pairs:
        if a == b:
            continue
        p = draw(st.sampled_from([0.05, 0.1, 0.5, 0.7, 0.9, 1 / (1 + np.e), 1 / (1 + np.e ** 2)]))
        obs = draw(st.lists(st.integers(0, 255), max_size=4))
        target = f"D{a}" + ("" if b == n else f" D{b}")
        lines.append(f"error({p}) {target}" + "".join(f" L{o}" for o in obs))
    lines.append(f"detector D{n - 1}\nlogical_observable L{draw(st.integers(64, 255))}")
    shots = draw(st.lists(st.lists(st.booleans(), min_size=n, max_size=n), min_size=1, max_size=6))
    return "\n".join(lines), np.array(shots + [[False] * n, [True] * n], dtype=bool)


@settings(max_examples=60, deadline=None)
@given(wide_models())
def test_wide_predictions_equal_the_narrow_models_of_each_quarter(model):
    # Observables do not steer the decoder (no parallel edges to fold), so observable k of the
    # wide model is observable k % 64 of the model keeping observables 64 * (k // 64) and up.
    text, shots = model
    graph = graph_of(text)
    wide = graph.decode_batch(shots)
    assert wide.shape == (len(shots), graph.num_fault_ids)
    for quarter in range(4):
        lines = []
        for line in text.splitlines():
            words = [w for w in line.split() if not w.startswith("L") or 0 <= int(w[1:]) - 64 * quarter < 64]
            lines.append(" ".join(f"L{int(w[1:]) - 64 * quarter}" if w.startswith("L") else w for w in words))
        narrow_text = "\n".join(l for l in lines if l != "logical_observable")
        narrow = graph_of(narrow_text).decode_batch(shots)
        cols = wide[:, 64 * quarter:64 * quarter + narrow.shape[1]]
        np.testing.assert_array_equal(cols, narrow)
    packed = graph.decode_batch(shots, bit_packed_predictions=True)
    np.testing.assert_array_equal(packed, np.packbits(wide, axis=1, bitorder="little"))


def test_mask_forms_refuse_wide_models_naming_the_array_form():
    graph = graph_of("error(0.1) D0 L70\nerror(0.2) D0 D1 L3")
    assert graph.num_fault_ids == 71
    np.testing.assert_array_equal(graph.decode_batch(np.array([[1, 0]]))[0], np.eye(71, dtype=np.uint8)[70])
    with pytest.raises(ValueError, match=r"return_masks=True holds observables L0 to L63 .* has 71: leave it off"):
        graph.decode_batch(np.array([[1, 0]]), return_masks=True)
    with pytest.raises(ValueError, match=r"DecoderResult holds .* decode_batch"):
        graph.decode([1, 0])
    # The byte image of a wide graph reads back and decodes alike.
    back = _kelvane.SpacetimeGraph.from_bytes(graph.to_bytes())
    assert back == graph and back.to_bytes()[:8] == b"KVGRAPH4"
    assert graph_of("error(0.1) D0 L63").to_bytes()[:8] == b"KVGRAPH2"


def patches_circuit(count, p=0.01):
    """`count` d=3 repetition-code patches one after another, patch i with observable i and its
    detectors 10 * i further along the first coordinate."""
    circuit = stim.Circuit()
    for i in range(count):
        circuit.append("SHIFT_COORDS", [], [10 * (i > 0), 0])
        patch = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=2,
                                       after_clifford_depolarization=p, before_measure_flip_probability=p)
        circuit += stim.Circuit(str(patch).replace("OBSERVABLE_INCLUDE(0)", f"OBSERVABLE_INCLUDE({i})"))
    return circuit


@pytest.mark.parametrize("count", [64, 100])
def test_streamed_shots_carry_every_observable(tmp_path, count):
    import kelvane
    from kelvane.kvlx import KvlxWriter

    circuit = patches_circuit(count)
    dem = circuit.detector_error_model(decompose_errors=True)
    dets, obs = circuit.compile_detector_sampler(seed=5).sample(200, separate_observables=True)
    layout = np.arange(dem.num_detectors).reshape(-1, 2 * count)  # frames of one round of every patch
    path = tmp_path / "wide.kvlx"
    with KvlxWriter(path) as writer:
        writer.write_shots(dets, obs, layout=layout, dem=dem)
    expected = graph_of(str(dem)).decode_batch(dets)
    predictions, truth = [], []
    with kelvane.open(path, decoder=dem) as stream:
        for frame in stream:
            if frame.round == layout.shape[0] - 1:
                # to_dict keeps the 64-bit mask of observables 0 to 63 beside the whole prediction.
                predictions.append(frame.observable_flips_array)
                d = frame.to_dict()
                assert d["observable_flips"] == int(np.dot(predictions[-1][:64], 1 << np.arange(64, dtype=object)))
                truth.append(frame.source_observable_flips_array)
                if count > 64:
                    with pytest.raises(ValueError, match="read frame.observable_flips_array"):
                        frame.observable_flips
                else:
                    assert frame.observable_flips == int(np.dot(expected[len(truth) - 1], 1 << np.arange(count, dtype=object)))
    np.testing.assert_array_equal(np.array(predictions), expected)
    np.testing.assert_array_equal(np.array(truth)[:, :count], obs)
    with kelvane.open(path) as stream:  # without a decoder: the flips the frames arrived with
        arrived = [f.observable_flips_array for f in stream if f.round == layout.shape[0] - 1]
    np.testing.assert_array_equal(np.array(arrived)[:, :count], obs)


def test_decode_sliding_covering_the_shot_predicts_every_observable_as_decode_batch():
    # The patches follow one another in time; a buffer past the shot's end makes one window,
    # which decodes as the whole model does (windows of a few rounds: sliding_window.test.cc).
    circuit = patches_circuit(100)
    dem = circuit.detector_error_model(decompose_errors=True)
    dets = circuit.compile_detector_sampler(seed=4).sample(100)
    graph = graph_of(str(dem))
    expected = graph.decode_batch(dets)
    np.testing.assert_array_equal(graph.decode_sliding(dets, commit=1, buffer=1000), expected)
    # Too few shots to split: each shot is decoded in core and seam windows on both threads.
    np.testing.assert_array_equal(graph.decode_sliding(dets[:3], commit=1, buffer=1000, num_threads=2), expected[:3])


def test_experiment_and_convert_write_every_observable(tmp_path):
    import kelvane
    from kelvane.kvlx import KvlxWriter

    circuit = patches_circuit(70)
    exp = kelvane.write_stim_experiment(circuit, 50, tmp_path / "exp.kvlx", seed=2)
    with kelvane.open(tmp_path / "exp.kvlx") as stream:
        truth = [f.source_observable_flips_array for f in stream if f.round == exp.layout.shape[0] - 1]
    np.testing.assert_array_equal(np.array(truth), exp.observables)
    stim.write_shot_data_file(data=np.concatenate([exp.detection_events, exp.observables], axis=1),
                              path=str(tmp_path / "shots.b8"), format="b8",
                              num_detectors=exp.detection_events.shape[1], num_observables=70)
    kelvane.convert(tmp_path / "shots.b8", tmp_path / "conv.kvlx", num_detectors=exp.detection_events.shape[1],
                    num_observables=70)
    with kelvane.open(tmp_path / "conv.kvlx") as stream:
        carried = [f.source_observable_flips_array for f in stream]
    np.testing.assert_array_equal(np.array(carried), exp.observables)
    # Windowed streams predict every observable too: a shot's last frame holds its committed flips.
    for threads in (1, 2):
        with kelvane.open(tmp_path / "exp.kvlx", decoder=exp.dem, layout=exp.layout, per_shot=True, commit=1,
                          buffer=1000, num_threads=threads) as stream:
            windowed = [f.observable_flips_array for f in stream if f.round == exp.layout.shape[0] - 1]
        np.testing.assert_array_equal(np.array(windowed), graph_of(str(exp.dem)).decode_batch(exp.detection_events))


KEY17_OBS64 = (17, (70).to_bytes(2, "little") + b"\x01")  # 70 observables, observable 64 flipped


@pytest.mark.parametrize("metadata, low, wide", [
    ([(16, (5).to_bytes(8, "little")), KEY17_OBS64], 5, [1, 0, 1] + [0] * 61 + [1] + [0] * 5),
    ([KEY17_OBS64, (16, (5).to_bytes(8, "little"))], 5, [1, 0, 1] + [0] * 61 + [1] + [0] * 5),
    ([(16, (5).to_bytes(8, "little"))], 5, [1, 0, 1] + [0] * 61),
    ([KEY17_OBS64], None, None),  # the wide entry alone: no truth, in every reading path
    ([(2, b"\0\0\0\0")], None, None),
])
def test_a_frame_has_observable_flips_exactly_when_it_carries_key_16(tmp_path, metadata, low, wide):
    from kelvane.kvlx import encode_file_header, encode_frame

    path = tmp_path / "f.kvlx"
    path.write_bytes(encode_file_header() + encode_frame(frame_id=1, detector_events=[0, 1], metadata=metadata))
    with _kelvane.KelvaneStream(str(path)) as s:
        (frame,) = list(s)
    arrived = frame.source_observable_flips_array
    assert frame.source_observable_flips == low == frame.to_dict()["observable_flips"]
    assert (None if arrived is None else arrived.tolist()) == wide
    if wide is None:
        with pytest.raises(_kelvane.KelvaneError):
            frame.observable_flips_array
    else:
        assert frame.observable_flips_array.tolist() == wide
    with _kelvane.KelvaneStream(str(path)) as s:
        batch = s.read_batch(10)
    assert batch.has_observable_flips.tolist() == [low is not None]
    assert batch.observable_flips.tolist() == [low or 0]
