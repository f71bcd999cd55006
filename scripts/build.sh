#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh DIR [extra cmake arguments...]
set -euo pipefail
dir=$1; shift
root=$(cd "$(dirname "$0")/.." && pwd)
PY=${PYTHON:-python3}
cmake -S "$root" -B "$dir" -DPython3_EXECUTABLE="$(command -v "$PY")" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
