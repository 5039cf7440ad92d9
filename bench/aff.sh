#!/usr/bin/env bash
# Testing an AFF image in the Linux host against the peer's verifier and against a plain MD5 of
# the raw image, all measured in this run.
#   bench/aff.sh [build dir, default build-bench] [size, default 1G] [repetitions, default 3]
# The image is deterministic (40 % zero, 30 % text-like, 30 % random blocks), converted with the
# peer tool's defaults (zlib, 16 MiB pages). Best of the repetitions counts.
# The same image encrypted by the peer tool (AFF encryption, AES-256) is tested in turn with the plain
# one, run by run, so that both see the same machine.
# Goals: 7z t <= 0.5 x affverify, <= 1.2 x md5sum of the raw image; encrypted <= 1.2 x plain.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
size=${2:-1G}
reps=${3:-3}
command -v affconvert >/dev/null && command -v affverify >/dev/null || { echo "needs afflib-tools" >&2; exit 1; }
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
# The work happens in a folder of its own: a build folder given relative to here must still be found.
build=$(cd "$build" && pwd)
cmake --build "$build" -j2 --target vor7z_hosts rawgen >/dev/null
host=$build/hosts/linux/7z

work=$build/bench-aff
mkdir -p "$work"
cd "$work"
if [ ! -f image.aff ] || [ "$(cat image.size 2>/dev/null)" != "$size" ]; then
  rm -rf image.raw image.aff encrypted
  "$build/tools/rawgen" image.raw "$size" 2024 40 30 30 0
  affconvert -q image.raw >/dev/null
  mkdir encrypted && AFFLIB_PASSPHRASE=bench affconvert -q -Oencrypted image.raw >/dev/null
  echo "$size" >image.size
fi
echo "image: $(stat -c %s image.raw) bytes raw, $(stat -c %s image.aff) bytes AFF," \
  "$(stat -c %s encrypted/image.aff) bytes encrypted"

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

# Best of $reps runs of two commands taken in turn (A B A B ...): "secondsA secondsB".
best_pair() {
  local a=$1 b=$2 ta tb mina="" minb=""
  for _ in $(seq "$reps"); do
    ta=$(reps=1 best sh -c "$a")
    tb=$(reps=1 best sh -c "$b")
    if [ -z "$mina" ] || [ "$(echo "$ta < $mina" | bc -l)" = 1 ]; then mina=$ta; fi
    if [ -z "$minb" ] || [ "$(echo "$tb < $minb" | bc -l)" = 1 ]; then minb=$tb; fi
  done
  echo "$mina $minb"
}

t7z=$(best "$host" t image.aff)
taffverify=$(best affverify image.aff)
tmd5=$(best md5sum image.raw)
echo "7z t image.aff:      ${t7z} s"
echo "affverify image.aff: ${taffverify} s"
echo "md5sum image.raw:    ${tmd5} s"
printf '7z t / affverify: %.2f (goal <= 0.5)\n' "$(echo "$t7z / $taffverify" | bc -l)"
printf '7z t / md5sum:    %.2f (goal <= 1.2)\n' "$(echo "$t7z / $tmd5" | bc -l)"
read -r tenc tplain < <(best_pair "'$host' t -pbench encrypted/image.aff" "'$host' t image.aff")
echo "7z t encrypted/image.aff: ${tenc} s (plain, in turn: ${tplain} s)"
printf '7z t encrypted / plain: %.2f (goal <= 1.2)\n' "$(echo "$tenc / $tplain" | bc -l)"
