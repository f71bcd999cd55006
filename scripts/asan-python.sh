#!/usr/bin/env bash
# Runs the Python tests against an extension built with AddressSanitizer and UBSan: the
# sanitizer runtimes are preloaded into the (uninstrumented) interpreter. Not part of
# scripts/test.sh: it adds a build of every library and the extension.
#     bash scripts/asan-python.sh [pytest arguments...]
# Leak detection is off (the interpreter keeps objects alive until exit). The two tests that
# cap the address space (RLIMIT_AS) are left out: the sanitizer's shadow memory cannot live
# under such a cap. No allocator option is needed: allocation and release pair up throughout.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
PY=${PYTHON:-python3}
bash scripts/build.sh build/asan-py -DCMAKE_BUILD_TYPE=Debug -DKELVANE_SANITIZE=ON -DKELVANE_TESTS=OFF
preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  KELVANE_BUILD_DIR="$root/build/asan-py" PYTHONPATH="$root/build/asan-py/python:$root/python" \
  "$PY" -m pytest -q -p no:cacheprovider tests \
  --deselect tests/test_robustness.py::test_allocation_failure_becomes_a_memory_error_naming_what_was_built \
  --deselect tests/test_robustness.py::test_hostile_models_are_refused_within_bounded_memory "$@"
