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
# ccache, where installed, shares objects with earlier builds of the same sources (as in
# scripts/build-wheel.sh: paths relative to the checkout, the compiler named as CMake names it).
args=()
if command -v ccache >/dev/null 2>&1; then
  args+=(-C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache -C "cmake.define.CMAKE_CXX_COMPILER=${CXX:-c++}")
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
fi
start=$(date +%s)
"$PY" -m pip install -q --disable-pip-version-check --root-user-action=ignore "${args[@]}" "$root"
echo "demo: installed in $(( $(date +%s) - start )) s; running the experiment"
cd /tmp && "$PY" "$root/examples/demo.py"
