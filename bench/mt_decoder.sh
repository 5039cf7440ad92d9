#!/usr/bin/env bash
# Parallel block decoder against a plain single-threaded inflate loop over the same chunks.
#   bench/mt_decoder.sh [build dir, default build-bench] [MiB, default 512] [repetitions, default 3]
# Builds an optimised build when needed. Goals on a 2-core machine: 1 worker >= 0.95 x the plain
# loop, 2 workers >= 1.8 x.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
mib=${2:-512}
reps=${3:-3}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 --target bench_mt_decoder >/dev/null
"$build/bench/bench_mt_decoder" "$mib" "$reps"
