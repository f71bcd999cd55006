"""kelvane's decoder under sinter.collect, beside PyMatching on the same tasks."""

import pickle

import numpy as np
import pytest

sinter = pytest.importorskip("sinter")
stim = pytest.importorskip("stim")

import kelvane


def task(code, distance, p):
    circuit = stim.Circuit.generated(
        code, distance=distance, rounds=distance,
        after_clifford_depolarization=p, before_measure_flip_probability=p,
    )
    return sinter.Task(circuit=circuit, json_metadata={"code": code, "d": distance})


def test_collect_with_kelvane_and_pymatching():
    decoders = kelvane.sinter_decoders()
    assert list(decoders) == ["kelvane-uf", "kelvane-uf-correlated", "kelvane-uf-matched", "kelvane-matching",
                              "kelvane-matching-correlated"]
    assert all(isinstance(d, sinter.Decoder) for d in decoders.values())
    assert len(set(decoders.values())) == 5
    assert pickle.loads(pickle.dumps(decoders["kelvane-uf"])) == decoders["kelvane-uf"]  # workers get copies
    tasks = [task("repetition_code:memory", 5, 0.03), task("surface_code:rotated_memory_x", 3, 0.01)]
    stats = sinter.collect(
        num_workers=2, tasks=tasks, decoders=["kelvane-uf", "kelvane-uf-matched", "kelvane-matching", "pymatching"],
        custom_decoders=decoders, max_shots=3000, max_batch_size=1000,
    )
    rates = {(s.json_metadata["code"], s.decoder): (s.errors, s.shots) for s in stats}
    assert len(rates) == 8
    for (code, decoder), (errors, shots) in rates.items():
        assert shots == 3000, (code, decoder)
        theirs = rates[(code, "pymatching")][0]
        # Weighted Union-Find stays near matching; both see some logical errors at these rates.
        # sinter samples unseeded, so the bound leaves room for chance (about 20 and 100 errors
        # expected) while a broken decoder (errors near half the shots) still fails it.
        assert 0 < errors < 0.2 * shots and errors <= 2 * theirs + 25, (code, decoder, errors, theirs)


@pytest.mark.parametrize("name, method, correlated", [
    ("kelvane-uf", "union-find", False),
    ("kelvane-matching", "matching", False),
    ("kelvane-matching-correlated", "matching", True),
])
def test_compiled_decoder_reads_bit_packed_shots(name, method, correlated):
    circuit = task("surface_code:rotated_memory_z", 3, 0.01).circuit
    dem = circuit.detector_error_model(decompose_errors=True)
    compiled = kelvane.sinter_decoders()[name].compile_decoder_for_dem(dem=dem)
    dets = circuit.compile_detector_sampler(seed=2).sample(500, bit_packed=True)
    out = compiled.decode_shots_bit_packed(bit_packed_detection_event_data=dets)
    graph = kelvane.SpacetimeGraph.from_detector_error_model(dem, enable_correlations=correlated)
    unpacked = np.unpackbits(dets, axis=1, bitorder="little")[:, :dem.num_detectors]
    expected = np.packbits(graph.decode_batch(unpacked, method=method, enable_correlations=correlated),
                           axis=1, bitorder="little")
    assert out.dtype == np.uint8 and np.array_equal(out, expected)


def test_readme_sinter_command_line_runs(tmp_path):
    """The README's `sinter collect --custom_decoders_module_function kelvane:sinter_decoders` line,
    run as written on two small circuits (fewer shots and processes)."""
    import csv
    import glob
    import json
    import os
    import pathlib
    import re
    import subprocess
    import sys

    readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text()
    command = re.search(r"\n +(sinter collect .*?)\n\n", readme, re.S).group(1)
    args = re.sub(r"\\\n\s*", "", command).split()
    for flag, value in (("--max_shots", "500"), ("--processes", "1")):
        args[args.index(flag) + 1] = value
    for d in (3, 5):
        task("surface_code:rotated_memory_x", d, 0.005).circuit.to_file(str(tmp_path / f"d={d},p=0.005.stim"))
    args = [x for a in args for x in (sorted(glob.glob(a, root_dir=tmp_path)) if "*" in a else [a])]  # as a shell
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    script = "import sys, sinter._command._main as m; sys.exit(m.main(command_line_args=sys.argv[1:]))"
    done = subprocess.run([sys.executable, "-c", script, *args[1:]], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    with open(tmp_path / "stats.csv") as f:
        rows = list(csv.DictReader(f, skipinitialspace=True))
    shots: dict = {}
    for r in rows:  # sinter saves a task's shots in one line per batch
        key = (r["decoder"], json.loads(r["json_metadata"])["d"])
        shots[key] = shots.get(key, 0) + int(r["shots"])
    assert shots == {(dec, d): 500 for dec in ("kelvane-uf", "pymatching") for d in (3, 5)}
