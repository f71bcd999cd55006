"""Stream decoding with layouts and shots: Stim experiments written as KVLX and decoded per shot."""

import warnings

import numpy as np
import pytest
import stim

import kelvane
from kelvane.kvlx import KvlxWriter


def circuit(name, d, p=0.01):
    return stim.Circuit.generated(name, distance=d, rounds=d, after_clifford_depolarization=p,
                                  before_measure_flip_probability=p)


@pytest.mark.parametrize("name, d", [("surface_code:rotated_memory_x", 3), ("surface_code:rotated_memory_z", 3),
                                     ("surface_code:rotated_memory_x", 5), ("surface_code:rotated_memory_z", 5),
                                     ("surface_code:rotated_memory_x", 7), ("surface_code:rotated_memory_z", 7),
                                     ("repetition_code:memory", 5)])
def test_per_shot_predictions_equal_decode_batch(tmp_path, name, d):
    exp = kelvane.write_stim_experiment(circuit(name, d), 300, tmp_path / "run.kvlx", seed=d)
    rounds = exp.layout.shape[0]
    np.save(tmp_path / "layout.npy", exp.layout)  # layouts travel as .npy files
    with kelvane.open(exp.path, decoder=exp.dem, layout=tmp_path / "layout.npy", per_shot=True) as stream:
        frames = list(stream)
        assert stream.incomplete_shots == 0
    last = [f for f in frames if f.round == rounds - 1]
    graph = kelvane.SpacetimeGraph.from_detector_error_model(exp.dem)
    assert [f.observable_flips for f in last] == graph.decode_batch(exp.detection_events, return_masks=True).tolist()
    assert [f.source_observable_flips for f in last] == exp.observables[:, 0].astype(int).tolist()
    early = frames[0]
    assert early.source_observable_flips is None and not early.shot_incomplete
    with pytest.raises(kelvane.KelvaneError, match="only its last frame carries the prediction"):
        early.observable_flips


def test_layout_from_stim_groups_rounds_by_time_and_slots_by_place():
    c = circuit("surface_code:rotated_memory_z", 5)
    layout = kelvane.layout_from_stim(c)
    coords = c.get_detector_coordinates()
    assert layout.shape == (6, 24) and layout.dtype == np.int64
    assert sorted(layout[layout >= 0].tolist()) == list(range(c.num_detectors))
    assert [(row >= 0).sum() for row in layout] == [12, 24, 24, 24, 24, 12]
    for r, row in enumerate(layout):
        assert {coords[d][-1] for d in row if d >= 0} == {float(r)}
    for a in range(24):  # one place per slot, places increasing
        assert len({tuple(coords[d][:-1]) for d in layout[:, a] if d >= 0}) == 1
    with pytest.raises(ValueError, match="detector D1 declares no coordinates"):
        kelvane.layout_from_stim(stim.Circuit("M 0 1\nDETECTOR(0, 0) rec[-1]\nDETECTOR rec[-2]"))


REP = circuit("repetition_code:memory", 3)  # 2 ancillas, 4 rounds, 8 detectors


def write(path, frames, ancillas=2):
    with open(path, "wb") as f:
        w = KvlxWriter(f)
        for frame_id, rnd in frames:
            w.write_frame(frame_id=frame_id, round=rnd, detector_events=[0] * ancillas, meas_results=bytes(ancillas))
    return str(path)


@pytest.mark.parametrize("options, ancillas, text", [
    (dict(layout=[[0, 1], [2, 3], [4, 5], [6, 99]]), 2,
     r"layout entry \[3, 1\] is detector 99, but the model has 8 detectors \(ids 0 to 7, or -1 for none\)"),
    (dict(layout=[[0, 1], [2, 3], [4, 5], [6, 1]]), 2, r"detector 1 appears twice in the layout, at \[0, 1\] and \[3, 1\]"),
    (dict(layout=[[0, 1, -1], [2, 3, -1], [4, 5, -1], [6, 7, -1]]), 2,
     "frame 0 has 2 ancillas, but the layout has 3 per round"),
    (dict(per_shot=True, window_depth=3), 2,
     r"the window covers 3 rounds x 2 ancillas = 6 detectors, but the model has 8 detectors"),
    # Frames of 3 ancillas against a model of 2 detectors per time: kelvane.open sees it first.
    (dict(per_shot=True), 3, r"puts D0 \(time 0\) and D2 \(time 1\) into one frame.*layout_from_stim"),
    (dict(layout=np.zeros((4, 2))), 2, "argument 'layout': expected an integer array"),
])
def test_wrong_layouts_raise_in_the_new_modes(tmp_path, options, ancillas, text):
    path = write(tmp_path / "f.kvlx", [(0, 0), (1, 1)], ancillas)
    with pytest.raises((ValueError, TypeError), match=text):
        with kelvane.open(path, decoder=REP.detector_error_model(), **options) as stream:
            list(stream)


def test_wrong_positional_layout_warns_once_by_default(tmp_path):
    path = write(tmp_path / "f.kvlx", [(i, i % 4) for i in range(8)] + [(8, 0)])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with kelvane.open(path, decoder=REP.detector_error_model(), window_depth=3) as stream:
            assert [f.observable_flips for f in stream] == [0] * 9
    assert [str(w.message) for w in caught] == [
        "the window covers 3 rounds x 2 ancillas = 6 detectors, but the model has 8 detectors; pass window_depth "
        "or layout= to cover them; detectors beyond the window are never decoded"]
    assert all(w.category is RuntimeWarning for w in caught)


def test_cut_short_shots_are_warned_flagged_counted_and_not_decoded(tmp_path):
    # Shot 0 whole; shot 1 loses frame 6 (round 2); shot 2 is reset after round 1; shot 3 ends early.
    frames = [(0, 0), (1, 1), (2, 2), (3, 3), (4, 0), (5, 1), (7, 3), (8, 0), (9, 1), (10, 0), (11, 1)]
    with pytest.warns(RuntimeWarning, match="shot cut short") as caught:
        with kelvane.open(write(tmp_path / "f.kvlx", frames), decoder=REP.detector_error_model(),
                          per_shot=True) as stream:
            got = list(stream)
            assert stream.incomplete_shots == 3
    assert len([w for w in caught if "shot cut short" in str(w.message)]) == 3
    assert [f.shot_incomplete for f in got] == [False] * 6 + [True, False, False, True, False]
    assert got[3].observable_flips == 0
    with pytest.raises(kelvane.KelvaneError, match="its shot was cut short"):
        got[6].observable_flips



@pytest.mark.parametrize("follow", [False, True])
def test_a_growing_file_completes_the_shot_its_end_cut(tmp_path, follow):
    # The file first ends two rounds into its third shot, then grows by the rest: followed, that
    # shot decodes whole once its frames arrive; otherwise the end of the data cut it short, and
    # the rest of it, with no round 0, is a second shot cut short.
    exp = kelvane.write_stim_experiment(REP, 4, tmp_path / "whole.kvlx", seed=5)
    with open(exp.path, "rb") as f:
        data = f.read()
    rounds = exp.layout.shape[0]
    cut = kelvane.kvlx.frame_spans(data)[2 * rounds + 1][1]  # after frame 2 of the third shot
    grow = tmp_path / "grow.kvlx"
    grow.write_bytes(data[:cut])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        with kelvane.open(grow, decoder=exp.dem, layout=exp.layout, per_shot=True, follow=follow) as stream:
            frames = list(stream)
            with open(grow, "ab") as f:
                f.write(data[cut:])
            frames += list(stream)
            incomplete = stream.incomplete_shots
    last = [f for f in frames if f.round == rounds - 1 and not f.shot_incomplete]
    expected = kelvane.SpacetimeGraph.from_detector_error_model(exp.dem).decode_batch(exp.detection_events,
                                                                                      return_masks=True)
    decoded = [0, 1, 2, 3] if follow else [0, 1, 3]
    assert (incomplete, [f.observable_flips for f in last]) == (0 if follow else 2, expected[decoded].tolist())
