"""Expected against observed detector firing rates: exact rates on hand-made models, Stim's
sampler against its own model, a noisier device found by `kelvane info --dem`."""

import numpy as np
import pytest
import stim

import kelvane
from kelvane.cli import main
from kelvane.detector_rates import expected_detector_rates, standard_errors_apart


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
    assert main(["-q", "info", str(tmp_path / "run.kvlx"), "--dem", str(tmp_path / "m.dem"), "--worst", "3"]) == 0
    rows = capsys.readouterr().out.splitlines()[-3:]
    coords = model.get_detector_coordinates()
    for row in rows:
        detector, sigma = int(row.split()[0]), float(row.split()[-1])
        assert coords[detector][0] == 3 and sigma > 10, row  # the detectors of ancilla 3
    report = kelvane.detector_report(exp.detection_events, model)
    assert set(report.worst(3)) == {int(r.split()[0]) for r in rows}
