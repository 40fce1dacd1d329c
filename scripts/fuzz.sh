#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds
# (default 60). usage: scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}; shift || true
build=${BUILD_DIR:-build/fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQVR_TESTS=OFF -DQVR_FUZZ=ON
cmake --build "$build" -j "$(nproc)"
if [ $# -gt 0 ]; then names=("$@"); else names=(); for f in fuzz/*_fuzz.cpp; do names+=("$(basename "${f%.cpp}")"); done; fi
for n in "${names[@]}"; do
  corpus="$build/corpus/$n"; mkdir -p "$corpus"
  echo "== $n ($seconds s)"
  "$build/$n" -max_total_time="$seconds" -print_final_stats=1 "$corpus"
done
