#!/usr/bin/env bash
# Builds the frame-source tests (file and TCP sources, the shared I/O runtime, stopped waits,
# closing with reads in flight, open/close cycles) with ThreadSanitizer and runs them.
# Not part of scripts/test.sh: it adds a third build of the core libraries.
#     bash scripts/tsan.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
PY=${PYTHON:-python3}
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_TSAN=ON -DKELVANE_PYTHON=OFF \
  -DPython3_EXECUTABLE="$(command -v "$PY")" "${launcher[@]}" >/dev/null
cmake --build build/tsan -j "$(nproc)" --target kelvane_source_tests
# ThreadSanitizer does not support starting threads in a child forked from a threaded
# process, which the fork test does on purpose.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  build/tsan/kelvane_source_tests --gtest_filter='-Runtime.ForkedChild*'
