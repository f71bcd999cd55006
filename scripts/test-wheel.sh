#!/usr/bin/env bash
# Builds the repaired wheel, installs it into a fresh virtualenv whose PATH holds no compiler, and
# decodes a small model with it: scripts/test-wheel.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
PY=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bash "$root/scripts/build-wheel.sh" "$work/dist"
wheel=$(ls "$work"/dist/kelvane-*manylinux*.whl)
# The wheel's dependencies (no extras) for the virtualenv, fetched while the ordinary PATH is still in place.
"$PY" -m pip download -q --disable-pip-version-check --only-binary=:all: -d "$work/wheels" "$wheel"
"$PY" -m venv "$work/venv"
env -i HOME="$work" PATH="$work/venv/bin" "$work/venv/bin/python" -m pip install -q \
  --disable-pip-version-check --no-index --find-links "$work/wheels" "$wheel"
cd "$work"
env -i HOME="$work" PATH="$work/venv/bin" "$work/venv/bin/python" - <<'PY'
import shutil
for tool in ("cc", "gcc", "g++", "c++", "clang", "cmake"):
    assert shutil.which(tool) is None, f"{tool} is on PATH"
import numpy as np
import kelvane
graph = kelvane.SpacetimeGraph.from_detector_error_model("error(0.1) D0 L0\nerror(0.1) D0 D1\nerror(0.1) D1\n")
assert graph.decode_batch(np.array([[1, 0], [0, 1], [1, 1]], dtype=np.uint8)).tolist() == [[1], [0], [0]]
# The command's core verbs work without extras; a verb that needs one names it.
import subprocess
from kelvane.kvlx import KvlxWriter
with KvlxWriter("run.kvlx") as w:
    w.write_shots(np.eye(4, dtype=bool))
run = lambda *args: subprocess.run(["kelvane", *args], capture_output=True, text=True)
assert run("--version").stdout.startswith("kelvane ")
info = run("-q", "info", "run.kvlx")
assert info.returncode == 0 and "frames:           4" in info.stdout, info
threshold = run("threshold", "--quick")
assert threshold.returncode == 2 and threshold.stderr.endswith("pip install 'kelvane[cli]'\n"), threshold
monitor = run("monitor", "run.kvlx", "--report", "run.html")
assert monitor.returncode == 2 and monitor.stderr.endswith("pip install 'kelvane[monitor]'\n"), monitor
import importlib.resources
assert importlib.resources.files("kelvane.monitor").joinpath("page.html").is_file()  # the page ships
print("wheel OK:", kelvane.__file__)
PY
echo "tested $(basename "$wheel")"
