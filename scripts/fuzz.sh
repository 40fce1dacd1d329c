#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds
# (default 60), every input bounded in time and memory. Seeds come from fuzz/corpus/<target>/;
# what the fuzzer finds on top of them stays in the build folder. After each run the edges it
# covered are held against the target's floor in fuzz/coverage_floor.txt: a target that stops
# reaching the code it names fails the run, as does one without a floor.
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
floors=fuzz/coverage_floor.txt
short=()
for n in "${names[@]}"; do
  corpus="$build/corpus/$n"; mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/corpus/$n" ] && seeds=("fuzz/corpus/$n")
  echo "== $n ($seconds s)"
  log="$build/$n.log"
  "$build/$n" -max_total_time="$seconds" -timeout="$per_input" -rss_limit_mb="$memory" \
      -malloc_limit_mb="$memory" -print_final_stats=1 "$corpus" "${seeds[@]}" 2>&1 | tee "$log"
  # libFuzzer reports the edges covered so far on each status line ("cov: N"); the last one counts.
  edges=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2 || true)
  floor=$(awk -v t="$n" '$1 == t { print $2 }' "$floors")
  if [ -z "$floor" ]; then
    echo "== $n: no coverage floor in $floors"; short+=("$n")
  elif [ "${edges:-0}" -lt "$floor" ]; then
    echo "== $n: covered ${edges:-0} edges, below its floor of $floor"; short+=("$n")
  else
    echo "== $n: covered $edges edges (floor $floor)"
  fi
done
if [ ${#short[@]} -gt 0 ]; then
  echo "== below their coverage floor: ${short[*]}"
  exit 1
fi
