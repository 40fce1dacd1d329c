#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them all (or those named as arguments). Arguments that
# begin with "--" go to every benchmark program run (--benchmark_repetitions=3, a filter...).
set -euo pipefail
cd "$(dirname "$0")/.."
# ---- The references the benchmarks run beside (benchmarks only): RapidJSON, nlohmann::json, OpenSSL's libcrypto and its command-line tool, libyaml, libxml2, pugixml, socat, nginx, curl, ab, wrk, xdelta3, zsync, rsync and pixman ----
source scripts/packages.sh
qvr_install_missing rapidjson-dev nlohmann-json3-dev libssl-dev openssl libyaml-dev libxml2-dev libpugixml-dev socat \
  nginx-light curl apache2-utils wrk xdelta3 zsync rsync libpixman-1-dev
# ---- end of the references -----------------------------------------------------------------------
build=${BUILD_DIR:-build/bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQVR_TESTS=OFF -DQVR_BENCH=ON
# JOBS limits the build on a machine shared with other work.
cmake --build "$build" -j "${JOBS:-$(nproc)}"
names=(); flags=()
for a in "$@"; do case "$a" in --*) flags+=("$a") ;; *) names+=("$a") ;; esac; done
if [ ${#names[@]} -eq 0 ]; then for b in bench/*_bench.cpp; do names+=("$(basename "${b%.cpp}")"); done; fi
for n in "${names[@]}"; do
  echo "== $n"
  "$build/$n" --benchmark_min_time=0.2 "${flags[@]}"
done
