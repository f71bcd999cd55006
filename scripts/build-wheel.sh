#!/usr/bin/env bash
# Builds a binary wheel of kelvane and repairs it with auditwheel into a manylinux wheel for this
# platform (the shared libraries it needs beyond the manylinux set, such as zlib, are copied
# into it): scripts/build-wheel.sh [OUT_DIR]   (default: dist/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/dist}
PY=${PYTHON:-python3}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

args=()
# ccache, where installed, lets the wheel build share objects with the other build trees: with
# paths hashed relative to the checkout, as scripts/build.sh does, and the compiler named as
# CMake names it there (scikit-build-core would take Python's "g++", which ccache hashes as
# another compiler), the wheel's objects are the optimised build's (the flags are the same).
if command -v ccache >/dev/null 2>&1; then
  args+=(-C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache -C "cmake.define.CMAKE_CXX_COMPILER=${CXX:-c++}")
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
fi
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)} \
  "$PY" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
  "${args[@]}" -w "$tmp" "$root"
mkdir -p "$out"
"$PY" -m auditwheel repair -w "$out" "$tmp"/kelvane-*.whl
