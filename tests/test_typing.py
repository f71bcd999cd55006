"""A user's script type-checks under mypy --strict against the stubs and the package."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

SCRIPT = '''
import numpy as np
import stim

import kelvane

circuit = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=3)
exp = kelvane.write_stim_experiment(circuit, 10, "run.kvlx", seed=1)
layout: np.ndarray = kelvane.layout_from_stim(circuit)
shots: int = kelvane.convert("run.kvlx", "run.b8", layout=layout)
with kelvane.open("run.kvlx", decoder=exp.dem) as stream:
    flips = [frame.observable_flips for frame in stream]
with kelvane.open("run.kvlx", errors="skip") as skipping:
    damaged: int = skipping.skipped_frames + len(list(skipping))
graph = kelvane.SpacetimeGraph.from_stim_circuit(circuit)
counts: tuple[int, int] = (graph.num_edges, graph.num_nodes)
predictions = graph.decode_batch([[0] * graph.num_detectors])
result = graph.decode([0] * graph.num_detectors)
row: np.ndarray = np.asarray(result)
width: int = len(result) + result[0]
counter: kelvane.CorrelationCounter = kelvane.CorrelationCounter(2, np.array([[0, 1]]))
counter.add(np.zeros((1, 2), np.uint8))
'''


def test_user_script_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "user.py").write_text(SCRIPT)
    env = dict(os.environ, MYPYPATH=str(ROOT / "python"), MYPY_CACHE_DIR=str(tmp_path / "cache"))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", str(ROOT / "pyproject.toml"), "user.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
