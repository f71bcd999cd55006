#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh DIR [extra cmake arguments...]
set -euo pipefail
dir=$1; shift
root=$(cd "$(dirname "$0")/.." && pwd)
PY=${PYTHON:-python3}
launcher=()
# ccache, where installed, lets several build trees share compiled objects.
# Paths are hashed relative to the checkout, so that clones and worktrees share them too.
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
fi
# --no-warn-unused-cli: a tree configured with -DKELVANE_PYTHON=OFF does not use Python3_EXECUTABLE.
cmake --no-warn-unused-cli -S "$root" -B "$dir" -DPython3_EXECUTABLE="$(command -v "$PY")" "${launcher[@]}" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
