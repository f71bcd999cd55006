#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang-19 (ASan and UBSan) and runs each over its
# checked-in corpus with the libFuzzer options given, e.g.
#   bash scripts/fuzz.sh -runs=2000               (what scripts/test.sh runs)
#   bash scripts/fuzz.sh -max_total_time=300      (a longer search)
# New inputs found go to build/fuzz/found/<target>, never into the corpus in the repository;
# a crash leaves its input in the current directory (crash-*, timeout-*, oom-*).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CC=clang-19 CXX=clang++-19 cmake -S "$root" -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_FUZZ=ON \
  -DKELVANE_TESTS=OFF -DKELVANE_PYTHON=OFF "${launcher[@]}" >/dev/null
targets=(kvlx_reader dem_graph decoder stored_pieces)
cmake --build build/fuzz -j "$(nproc)" --target "${targets[@]/%/_fuzz}"
failed=0
for t in "${targets[@]}"; do
  mkdir -p "build/fuzz/found/$t"
  echo "== $t"
  if ! "build/fuzz/${t}_fuzz" -seed=1 -rss_limit_mb=2048 -timeout=60 -print_final_stats=1 "$@" \
      "build/fuzz/found/$t" "fuzz/corpus/$t" > "build/fuzz/$t.log" 2>&1; then
    tail -40 "build/fuzz/$t.log"
    failed=1
  fi
  grep -E "^(Done|stat::number_of_executed_units|stat::peak_rss_mb)" "build/fuzz/$t.log" || true
done
exit "$failed"
