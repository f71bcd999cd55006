#!/usr/bin/env bash
# The main job: installs kelvane, writes a KVLX file of simulated frames and streams it back.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
PY=${PYTHON:-python3}
"$PY" -m pip install -q --disable-pip-version-check --root-user-action=ignore "$root"
cd /tmp && "$PY" "$root/examples/demo.py"
