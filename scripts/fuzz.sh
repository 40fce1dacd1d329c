#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds
# (default 60), every input bounded in time and memory. Seeds come from fuzz/corpus/<target>/;
# what the fuzzer finds on top of them stays in the build folder.
# usage: scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}; shift || true
build=${BUILD_DIR:-build/fuzz}
per_input=${FUZZ_TIMEOUT:-10}       # seconds one input may take before it counts as a hang
memory=${FUZZ_RSS_MB:-2048}         # megabytes the process may hold before it counts as a fault
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQVR_TESTS=OFF -DQVR_FUZZ=ON
if [ $# -gt 0 ]; then names=("$@"); else names=(); for f in fuzz/*_fuzz.cpp; do names+=("$(basename "${f%.cpp}")"); done; fi
cmake --build "$build" -j "$(nproc)" --target "${names[@]}"
for n in "${names[@]}"; do
  corpus="$build/corpus/$n"; mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/corpus/$n" ] && seeds=("fuzz/corpus/$n")
  echo "== $n ($seconds s)"
  "$build/$n" -max_total_time="$seconds" -timeout="$per_input" -rss_limit_mb="$memory" \
      -malloc_limit_mb="$memory" -print_final_stats=1 "$corpus" "${seeds[@]}"
done
