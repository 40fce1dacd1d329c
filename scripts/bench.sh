#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them all (or those named as arguments).
set -euo pipefail
cd "$(dirname "$0")/.."
# ---- RapidJSON, the reference the JSON benchmark runs beside (header-only, benchmarks only) ----
if ! dpkg-query -W -f='${Status}' rapidjson-dev 2>/dev/null | grep -q 'install ok installed'; then
  echo "Installing: rapidjson-dev"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends rapidjson-dev
fi
# ---- end of RapidJSON --------------------------------------------------------------------------
build=${BUILD_DIR:-build/bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQVR_TESTS=OFF -DQVR_BENCH=ON
cmake --build "$build" -j "$(nproc)"
if [ $# -gt 0 ]; then names=("$@"); else names=(); for b in bench/*_bench.cpp; do names+=("$(basename "${b%.cpp}")"); done; fi
for n in "${names[@]}"; do
  echo "== $n"
  "$build/$n" --benchmark_min_time=0.2
done
