"""Expected against observed detector firing rates: exact rates on hand-made models, Stim's
sampler against its own model, a noisier device found by `kelvane info --dem`, and ancillas
ranked with their rounds pooled so that a second bad ancilla is not hidden by a worse one."""

import numpy as np
import pytest
import stim

import kelvane
from kelvane.cli import main
from kelvane.detector_rates import expected_detector_rates, pooled_standard_errors_apart, standard_errors_apart


def odd(*ps):
    """P(an odd number of independent events of probabilities ps occur)."""
    return (1 - np.prod([1 - 2 * p for p in ps])) / 2


@pytest.mark.parametrize("text, expected", [
    # Two mechanisms on D0; a decomposed mechanism naming D1 in both components leaves it alone.
    ("error(0.1) D0 D1\nerror(0.2) D0\nerror(0.3) D1 D2 ^ D1 L0\ndetector D3",
     [odd(0.1, 0.2), 0.1, 0.3, 0.0]),
    # p above one half and exactly one half, and a mechanism that flips only an observable.
    ("error(0.7) D0\nerror(0.1) D0\nerror(0.5) D1\nerror(0.2) D1\nerror(0.4) L0", [odd(0.7, 0.1), 0.5]),
    # repeat blocks and shift_detectors are expanded (the last two name D3 and D4); p = 1, p = 0.
    ("repeat 3 {\n error(0.1) D0 D1\n shift_detectors 1\n}\nerror(1) D0\nerror(0) D1",
     [odd(0.1), odd(0.1, 0.1), odd(0.1, 0.1), odd(0.1, 1.0), 0.0]),
])
def test_expected_rates_of_hand_made_models(text, expected):
    for form in (text, stim.DetectorErrorModel(text), kelvane.DetectorErrorModel.parse(text)):
        np.testing.assert_allclose(expected_detector_rates(form), expected, atol=1e-15)


def test_standard_errors_at_the_edges():
    z = standard_errors_apart(np.array([0.0, 0.0, 1.0, 0.25, 0.25]), np.array([0, 3, 3, 25, 50]), 100)
    assert z[0] == 0 and z[1] == np.inf and z[2] == -np.inf and z[3] == 0
    assert z[4] == pytest.approx(0.25 / np.sqrt(0.25 * 0.75 / 100))
    assert (standard_errors_apart(np.array([0.1]), np.array([0]), 0) == 0).all()


def test_stim_samples_sit_within_their_statistical_error():
    circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=3,
                                     after_clifford_depolarization=0.02, before_measure_flip_probability=0.02)
    dem = circuit.detector_error_model(decompose_errors=True)
    dets = circuit.compile_detector_sampler(seed=7).sample(20_000)
    report = kelvane.detector_report(dets, dem)
    assert len(report) == dem.num_detectors and report.shots == 20_000
    np.testing.assert_allclose(report.observed, dets.mean(axis=0))
    assert np.abs(report.sigma).max() < 4.5
    assert 0.5 < np.mean(report.sigma ** 2) < 1.6  # sigma is in standard errors: unit variance
    assert tuple(report.coordinates[0]) == tuple(dem.get_detector_coordinates()[0])
    order = report.worst()
    assert (np.diff(np.abs(report.sigma[order])) <= 0).all()


def test_info_dem_names_the_detectors_of_the_noisy_measurements(tmp_path, capsys):
    # The device measures the ancilla at x = 3 wrongly 20% of the time; the model says 1%.
    def circuit(bad):
        c = stim.Circuit.generated("repetition_code:memory", distance=4, rounds=6,
                                   before_measure_flip_probability=0.01, after_clifford_depolarization=0.01)
        return stim.Circuit(str(c).replace("MR 1 3 5", f"X_ERROR({bad}) 3\nMR 1 3 5"))

    model = circuit(0.0).detector_error_model(decompose_errors=True)
    (tmp_path / "m.dem").write_text(str(model))
    exp = kelvane.write_stim_experiment(circuit(0.2), 2000, tmp_path / "run.kvlx", seed=4)
    assert main(["-q", "info", str(tmp_path / "run.kvlx"), "--dem", str(tmp_path / "m.dem"), "--worst", "3",
                 "--per-round"]) == 0
    rows = capsys.readouterr().out.splitlines()[-3:]
    coords = model.get_detector_coordinates()
    for row in rows:
        detector, sigma = int(row.split()[0]), float(row.split()[-1])
        assert coords[detector][0] == 3 and sigma > 10, row  # the detectors of ancilla 3
    report = kelvane.detector_report(exp.detection_events, model)
    assert set(report.worst(3)) == {int(r.split()[0]) for r in rows}


@pytest.mark.parametrize("expected, fired, trials, want", [
    # Two rounds pooled: counts and binomial variances add.
    ([[0.1], [0.3]], [[20], [30]], [[100], [100]], [(50 - 40) / np.sqrt(100 * 0.09 + 100 * 0.21)]),
    # A round without trials (an absent detector) adds nothing.
    ([[0.1], [0.3]], [[20], [0]], [[100], [0]], [(20 - 10) / np.sqrt(9)]),
    # No variance in the model: agreeing is 0 apart, disagreeing infinitely far, signed.
    ([[0.0, 1.0, 0.0]], [[0, 90, 3]], [[100, 100, 100]], [0.0, -np.inf, np.inf]),
    # No trials at all: no distance.
    ([[0.1]], [[0]], [[0]], [np.nan]),
])
def test_pooled_standard_errors(expected, fired, trials, want):
    _, _, sigma = pooled_standard_errors_apart(np.array(expected), np.array(fired), np.array(trials))
    np.testing.assert_allclose(sigma, want)


def test_ancillas_rank_a_second_bad_ancilla_behind_a_worse_one(tmp_path, capsys):
    # 15 rounds; the ancilla at (2, 2) misreads 20% of the time, the one at (6, 2) 3%; the model
    # says 1%. Each round of the first is a detector far from the model: they fill any top ten.
    line = "X_ERROR(0.01) 2 9 11 13 14 16 18 25"
    clean = stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=15,
                                   after_clifford_depolarization=0.01, before_measure_flip_probability=0.01)
    assert line in str(clean)
    device = stim.Circuit(str(clean).replace(line, line + "\nX_ERROR(0.2) 9\nX_ERROR(0.03) 13"))
    dem = clean.detector_error_model(decompose_errors=True)
    (tmp_path / "m.dem").write_text(str(dem))
    exp = kelvane.write_stim_experiment(device, 2000, tmp_path / "run.kvlx", seed=3)
    coords = dem.get_detector_coordinates()
    report = kelvane.detector_report(exp.detection_events, dem)
    assert {tuple(coords[d][:2]) for d in report.worst(10)} == {(2, 2)}  # the second is not listed

    ancillas = report.by_ancilla(exp.layout)
    first, second, third = ancillas.worst(3)
    assert tuple(ancillas.coordinates[first]) == (2, 2) and tuple(ancillas.coordinates[second]) == (6, 2)
    assert ancillas.sigma[second] > 10 and abs(ancillas.sigma[third]) < 5
    # The pooled rates are the means over the ancilla's detectors, and its worst round is the
    # one of its detectors furthest from the model.
    column = exp.layout[:, second][exp.layout[:, second] >= 0]
    assert ancillas.rounds[second] == len(column) == 16
    assert ancillas.observed[second] == pytest.approx(report.observed[column].mean())
    assert ancillas.expected[second] == pytest.approx(report.expected[column].mean())
    worst = column[np.argmax(np.abs(report.sigma[column]))]
    assert ancillas.worst_detector[second] == worst and exp.layout[ancillas.worst_round[second], second] == worst
    # A one-round layout pools nothing: each ancilla is its detector.
    single = report.by_ancilla(np.arange(len(report))[None, :])
    np.testing.assert_allclose(single.sigma, report.sigma)

    # info --dem ranks ancillas; --per-round ranks detectors (the second ancilla missing again).
    run = ["-q", "info", str(tmp_path / "run.kvlx"), "--dem", str(tmp_path / "m.dem")]
    assert main(run) == 0
    rows = capsys.readouterr().out.split("rounds pooled")[1].splitlines()[2:]
    assert [r.split()[1:3] for r in rows[:2]] == [["(2,", "2)"], ["(6,", "2)"]] and len(rows) == 8
    assert main(run + ["--per-round"]) == 0
    rows = capsys.readouterr().out.splitlines()[-10:]
    assert {tuple(coords[int(r.split()[0])][:2]) for r in rows} == {(2, 2)}
