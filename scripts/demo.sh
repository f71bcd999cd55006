#!/usr/bin/env bash
# The main job: installs kelvane, writes a KVLX file of simulated frames and streams it back.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
echo "demo: installing the build tools and Python packages it needs (apt-get, pip)..."
bash scripts/install-deps.sh
PY=${PYTHON:-python3}
echo "demo: building and installing kelvane with pip (compiles the C++ extension: a few minutes on"
echo "      2 cores the first time, much less when ccache has the objects)..."
# ccache, where installed, shares objects with earlier builds of the same sources.
command -v ccache >/dev/null 2>&1 && export CMAKE_CXX_COMPILER_LAUNCHER=ccache
start=$(date +%s)
"$PY" -m pip install -q --disable-pip-version-check --root-user-action=ignore "$root"
echo "demo: installed in $(( $(date +%s) - start )) s; running the experiment"
cd /tmp && "$PY" "$root/examples/demo.py"
