"""The kelvane command: info, convert, decode, serve, demo and threshold on small inputs."""

import subprocess
import sys

import numpy as np
import pytest
import stim

import kelvane
from kelvane.cli import main
from kelvane.kvlx import KvlxWriter


@pytest.fixture(scope="module")
def experiment(tmp_path_factory):
    """A d=3 repetition-code memory written as KVLX, one frame of 2 ancillas per round."""
    tmp = tmp_path_factory.mktemp("cli")
    circuit = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=3,
                                     after_clifford_depolarization=0.05)
    dem = circuit.detector_error_model(decompose_errors=True)
    dets, obs = circuit.compile_detector_sampler(seed=3).sample(400, separate_observables=True)
    (tmp / "model.dem").write_text(str(dem))
    circuit.to_file(str(tmp / "c.stim"))
    layout = np.arange(dem.num_detectors).reshape(-1, 2)
    np.save(tmp / "layout.npy", layout)
    with KvlxWriter(tmp / "run.kvlx") as w:
        w.write_shots(dets, obs, layout=layout)
    return tmp, dem, dets, obs


def test_info_convert_and_decode(experiment, capsys, tmp_path):
    tmp, dem, dets, obs = experiment
    assert main(["-q", "info", str(tmp / "run.kvlx")]) == 0
    out = capsys.readouterr().out
    assert "frames:           1600" in out and "shots:            400" in out and "first error:      none" in out

    assert main(["-q", "convert", str(tmp / "run.kvlx"), str(tmp_path / "s.b8"), "--layout", str(tmp / "layout.npy")]) == 0
    assert (stim.read_shot_data_file(path=str(tmp_path / "s.b8"), format="b8", num_detectors=8) == dets).all()

    assert main(["-q", "decode", str(tmp / "run.kvlx"), "--dem", str(tmp / "model.dem"), "--out", str(tmp_path / "p.01")]) == 0
    predictions = stim.read_shot_data_file(path=str(tmp_path / "p.01"), format="01", num_observables=1)
    expected = kelvane.SpacetimeGraph.from_detector_error_model(dem).decode_batch(dets)
    assert (predictions == expected.astype(bool)).all()
    errors = int((predictions != obs).any(axis=1).sum())
    assert f"logical errors against the frames' observable flips: {errors} / 400" in capsys.readouterr().out
    # The layout and the model from the circuit give the same predictions.
    assert main(["-q", "decode", str(tmp / "run.kvlx"), "--circuit", str(tmp / "c.stim"), "--out", str(tmp_path / "q.01")]) == 0
    assert (tmp_path / "q.01").read_bytes() == (tmp_path / "p.01").read_bytes()


def test_info_reports_the_first_error(tmp_path, capsys):
    path = tmp_path / "bad.kvlx"
    with KvlxWriter(path) as w:
        w.write_frame(5, 0, [1, 0], [0, 0])
        w.write_frame(4, 0, [1, 0], [0, 0])
    assert main(["-q", "info", str(path)]) == 1
    assert "first error:      after 1 good frames: frame ID went backwards" in capsys.readouterr().out


def test_serve_replays_the_file_over_tcp(experiment):
    tmp = experiment[0]
    proc = subprocess.Popen([sys.executable, "-m", "kelvane", "-q", "serve", str(tmp / "run.kvlx"), "--port", "0",
                             "--rate", "20000"], stdout=subprocess.PIPE, text=True)
    try:
        address = proc.stdout.readline().split(" on ")[1].split()[0]
        with kelvane.KelvaneStream(address) as remote:
            got = remote.read_batch(10_000)
        local = kelvane.KelvaneStream(str(tmp / "run.kvlx")).read_batch(10_000)
        assert len(got) == 1600
        for name in ("detector_events", "frame_ids", "rounds", "observable_flips"):
            assert (getattr(got, name) == getattr(local, name)).all(), name
        assert proc.wait(timeout=30) == 0
    finally:
        proc.kill()


def test_demo_and_threshold_run(tmp_path, capsys):
    assert main(["-q", "demo", "--shots", "300"]) == 0
    assert "PyMatching" in capsys.readouterr().out
    out = tmp_path / "t.png"
    assert main(["-q", "threshold", "--quick", "--workers", "1", "--out", str(out)]) == 0
    table = [line for line in capsys.readouterr().out.splitlines() if line.startswith("| kelvane-uf")]
    assert len(table) == 6 and out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_bench_smoke_writes_markdown_and_json(tmp_path, capsys):
    import json

    plot = tmp_path / "b.png"
    assert main(["-q", "bench", "--smoke", "--json", str(tmp_path / "b.json"), "--plot", str(plot)]) == 0
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    results = json.loads((tmp_path / "b.json").read_text())
    assert {"decoder", "stream", "writer", "dem", "memory"} <= set(results)
    assert all(r["kelvane_errors"] <= r["shots"] for r in results["decoder"])
    assert "| read_batch frames/s |" in capsys.readouterr().out
