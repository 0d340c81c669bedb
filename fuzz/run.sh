#!/usr/bin/env bash
# Runs every fuzz target (or those named) for longer than the test suite
# does, in parallel on all cores, keeping what they find in build/fuzz-corpus.
# Usage: fuzz/run.sh SECONDS [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}; shift || true
IMG3D_FUZZ_SECONDS=1 scripts/test.sh fuzz >/dev/null || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=($(cd fuzz && ls *_fuzz.cpp | sed 's/\.cpp$//'))
for t in "${targets[@]}"; do
  mkdir -p build/fuzz-corpus/$t
  build/fuzz/fuzz/$t -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -jobs="$(nproc)" -workers="$(nproc)" build/fuzz-corpus/$t fuzz/corpus/$t 2>&1 |
    grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec|ERROR|SUMMARY' || true
done
