#!/usr/bin/env bash
# Runs every test: the C++ tests in an optimised build and again under AddressSanitizer and
# UBSan, a short run of each fuzz target, the Python tests against the extension of the
# optimised build, the type stubs and the installed wheel. Each suite's full output goes to
# build/logs/SUITE.log; the terminal gets failures only, then one summary table. Exits non-zero
# when any suite fails (or cannot be built).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh || exit 1
PY=${PYTHON:-python3}
logs="$root/build/logs"
mkdir -p "$logs"

names=() passed=() failed=() seconds=()
record() {  # suite passed failed start-time
  names+=("$1") passed+=("$2") failed+=("$3") seconds+=($(( $(date +%s) - $4 )))
}

# ctest's counts from its closing line ("100% tests passed out of 60", "97% tests passed, 2 tests
# failed out of 60"); of its output only what is not a passing test's line reaches the terminal.
ctest_suite() {  # suite build-dir [environment...]
  local suite=$1 dir=$2 start total bad
  shift 2
  start=$(date +%s)
  echo "== $suite: ctest in $dir (log: build/logs/$suite.log)"
  (cd "$dir" && env "$@" ctest --output-on-failure --timeout 300) > "$logs/$suite.log" 2>&1
  grep -Ev '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$|^ +Start +[0-9]+: |^Test project |^$' \
    "$logs/$suite.log" | grep -Ev '^100% tests passed|^Total Test time' || true
  total=$(sed -nE 's/.*tests passed.* out of ([0-9]+).*/\1/p' "$logs/$suite.log" | tail -1)
  bad=$(sed -nE 's/.* ([0-9]+) tests failed out of.*/\1/p' "$logs/$suite.log" | tail -1)
  [ -n "$bad" ] || bad=0
  if [ -z "$total" ]; then total=0; bad=1; fi  # no closing line: ctest itself failed
  record "$suite" $((total - bad)) "$bad" "$start"
}

build_suite() {  # suite build-dir cmake-args...: the build is a suite of one
  local suite=$1 dir=$2 start
  shift 2
  start=$(date +%s)
  echo "== $suite: building $dir (log: build/logs/$suite.log)"
  if bash scripts/build.sh "$dir" "$@" > "$logs/$suite.log" 2>&1; then
    record "$suite" 1 0 "$start"
    return 0
  fi
  grep -E 'error|Error' "$logs/$suite.log" | head -40
  record "$suite" 0 1 "$start"
  return 1
}

command_suite() {  # suite command...: one check, passed when the command exits 0
  local suite=$1 start
  shift
  start=$(date +%s)
  echo "== $suite (log: build/logs/$suite.log)"
  if "$@" > "$logs/$suite.log" 2>&1; then
    record "$suite" 1 0 "$start"
  else
    tail -40 "$logs/$suite.log"
    record "$suite" 0 1 "$start"
  fi
}

if build_suite build-release build/release -DCMAKE_BUILD_TYPE=Release; then
  ctest_suite ctest-release build/release
fi
if build_suite build-asan build/asan -DCMAKE_BUILD_TYPE=Debug -DKELVANE_SANITIZE=ON -DKELVANE_PYTHON=OFF; then
  ctest_suite ctest-asan build/asan ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
fi

# The libFuzzer targets (clang-19, ASan/UBSan): a short fixed run of each over its corpus.
command_suite fuzz bash scripts/fuzz.sh -runs=2000

# pytest's closing line gives its counts; a hung test fails the run instead of holding it until
# the CI limit.
start=$(date +%s)
echo "== pytest (log: build/logs/pytest.log)"
KELVANE_BUILD_DIR="$root/build/release" PYTHONPATH="$root/build/release/python:$root/python" timeout 1800 \
  "$PY" -m pytest -q -p no:cacheprovider tests 2>&1 | tee "$logs/pytest.log" | grep -Ev '^[.sx]+ *(\[ *[0-9]+%\])?$'
rc=${PIPESTATUS[0]}
closing=$(grep -E '[0-9]+ (passed|failed|errors?)' "$logs/pytest.log" | tail -1)
count() { grep -oE "[0-9]+ $1" <<< "$closing" | head -1 | grep -oE '^[0-9]+' || echo 0; }
ok=$(count passed)
bad=$(( $(count failed) + $(count 'errors?') ))
if [ "$rc" -ne 0 ] && [ "$bad" -eq 0 ]; then bad=1; fi  # no tests ran, or pytest itself failed
record pytest "$ok" "$bad" "$start"

# The type stubs match the built module and the package: every name, method and signature.
command_suite stubtest env MYPY_CACHE_DIR="$root/build/mypy_cache" PYTHONPATH="$root/build/release/python:$root/python" \
  MYPYPATH="$root/python" timeout 600 "$PY" -m mypy.stubtest --mypy-config-file pyproject.toml \
  --allowlist scripts/stubtest-allowlist.txt _kelvane kelvane

# The manylinux wheel, repaired by auditwheel, installs and works where no compiler is on PATH.
command_suite wheel bash scripts/test-wheel.sh

all_ok=0 all_bad=0
echo
printf '| %-14s | %7s | %6s | %7s |\n' suite passed failed seconds
printf '|%s|%s|%s|%s|\n' ---------------- --------- -------- ---------
for i in "${!names[@]}"; do
  printf '| %-14s | %7d | %6d | %7d |\n' "${names[$i]}" "${passed[$i]}" "${failed[$i]}" "${seconds[$i]}"
  all_ok=$((all_ok + passed[i])) all_bad=$((all_bad + failed[i]))
done
echo
echo "total: $all_ok passed, $all_bad failed"
[ "$all_bad" -eq 0 ]
