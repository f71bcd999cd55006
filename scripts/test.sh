#!/usr/bin/env bash
# Runs every test: the C++ tests in an optimised build and again under AddressSanitizer and
# UBSan, then the Python tests against the extension of the optimised build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
PY=${PYTHON:-python3}

bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release
(cd build/release && ctest --output-on-failure --timeout 300)

bash scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DKELVANE_SANITIZE=ON -DKELVANE_PYTHON=OFF
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
   ctest --output-on-failure --timeout 300)

# The libFuzzer targets (clang-19, ASan/UBSan): a short fixed run of each over its corpus.
bash scripts/fuzz.sh -runs=2000

# A hung test fails the run instead of holding it until the CI limit.
KELVANE_BUILD_DIR="$root/build/release" PYTHONPATH="$root/build/release/python:$root/python" timeout 1800 "$PY" -m pytest -q tests

# The type stubs match the built module and the package: every name, method and signature.
MYPY_CACHE_DIR="$root/build/mypy_cache" PYTHONPATH="$root/build/release/python:$root/python" MYPYPATH="$root/python" \
  timeout 600 "$PY" -m mypy.stubtest --mypy-config-file pyproject.toml --allowlist scripts/stubtest-allowlist.txt \
  _kelvane kelvane

# The manylinux wheel, repaired by auditwheel, installs and works where no compiler is on PATH.
bash scripts/test-wheel.sh
