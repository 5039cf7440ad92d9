#!/usr/bin/env bash
# Testing an AFF image in the Linux host against the peer's verifier and against a plain MD5 of
# the raw image, all measured in this run.
#   bench/aff.sh [build dir, default build-bench] [size, default 1G] [repetitions, default 3]
# The image is deterministic (40 % zero, 30 % text-like, 30 % random blocks), converted with the
# peer tool's defaults (zlib, 16 MiB pages). Best of the repetitions counts.
# Goals: 7z t <= 0.5 x affverify, <= 1.2 x md5sum of the raw image.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
size=${2:-1G}
reps=${3:-3}
command -v affconvert >/dev/null && command -v affverify >/dev/null || { echo "needs afflib-tools" >&2; exit 1; }
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 --target vor7z_hosts rawgen >/dev/null
host=$build/hosts/linux/7z

work=$build/bench-aff
mkdir -p "$work"
cd "$work"
if [ ! -f image.aff ] || [ "$(cat image.size 2>/dev/null)" != "$size" ]; then
  rm -f image.raw image.aff
  "$build/tools/rawgen" image.raw "$size" 2024 40 30 30 0
  affconvert -q image.raw >/dev/null
  echo "$size" >image.size
fi
echo "image: $(stat -c %s image.raw) bytes raw, $(stat -c %s image.aff) bytes AFF"

# Seconds of the fastest of $reps runs of a command (output discarded; a failure stops the bench).
best() {
  local t min=""
  for _ in $(seq "$reps"); do
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    end=$(date +%s.%N)
    t=$(echo "$end - $start" | bc -l)
    if [ -z "$min" ] || [ "$(echo "$t < $min" | bc -l)" = 1 ]; then min=$t; fi
  done
  printf '%.3f' "$min"
}

t7z=$(best "$host" t image.aff)
taffverify=$(best affverify image.aff)
tmd5=$(best md5sum image.raw)
echo "7z t image.aff:      ${t7z} s"
echo "affverify image.aff: ${taffverify} s"
echo "md5sum image.raw:    ${tmd5} s"
printf '7z t / affverify: %.2f (goal <= 0.5)\n' "$(echo "$t7z / $taffverify" | bc -l)"
printf '7z t / md5sum:    %.2f (goal <= 1.2)\n' "$(echo "$t7z / $tmd5" | bc -l)"
