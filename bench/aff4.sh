#!/usr/bin/env bash
# AFF4 benchmark: the plugin in the Linux host against md5sum, measured in the same run.
#
#   bench/aff4.sh [BUILD_DIR]      (default: $VOR7Z_BUILD, else <source>/build)
#
# The deterministic 1 GiB raw image of bench/e01.sh (40 % zero, 30 % text-like, 30 % random 32 KiB
# blocks) is written by the test writer (tests/tools/aff4_writer) as a snappy and as an LZ4 AFF4
# image (32 KiB chunks, 2,048 a bevy, zero chunks mapped to aff4:Zero, the image's MD5 stored):
#   7z t image.aff4                 vs  md5sum image.raw        goal <= 1.0 x the time
#   20,000 random reads of 0-4096 bytes through GetStream (vor7z_driver randread): reads a second
#   peak memory of 7z l of the Standard's 9 EB sparse image vs the bare host (7z i)
#                                                               goal <= 16 MiB more
# Times are farm-bench's medians (RUNS runs, default 5) with warm caches; the images are kept in
# $VOR7Z_BENCH_DATA (default /tmp/vor7z-bench-aff4) for the next run.
set -euo pipefail
export LC_ALL=C TZ=UTC

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-${VOR7Z_BUILD:-$src/build}}" && pwd)
data=${VOR7Z_BENCH_DATA:-/tmp/vor7z-bench-aff4}
runs=${RUNS:-5}
reads=20000
host=$build/hosts/linux/7z
driver=$build/tools/vor7z_driver
rawgen=$build/tools/rawgen
writer=$build/tools/aff4_writer
sparse=$src/../shared/samples/aff4/aff4-ReferenceImages/Errata/Base-ExabyteSparse.aff4

die() { echo "aff4.sh: $*" >&2; exit 1; }
for f in "$host" "$driver" "$rawgen" "$writer"; do
  [ -e "$f" ] || die "missing $f (build $build first)"
done
command -v farm-bench >/dev/null || die "missing farm-bench"
mkdir -p "$data"

raw=$data/image.raw
stamp="rawgen 1G seed 1 weights 40 30 30"
if [ ! -f "$raw" ] || [ "$(cat "$data/image.stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "writing $raw ..." >&2
  rm -f "$data"/*.aff4
  "$rawgen" "$raw" 1G 1 40 30 30
  echo "$stamp" >"$data/image.stamp"
fi
for c in snappy lz4; do
  [ -f "$data/$c.aff4" ] || { echo "writing $c.aff4 ..." >&2; "$writer" --in "$raw" --out "$data/$c.aff4" --compress "$c"; }
done
cat "$raw" "$data"/*.aff4 >/dev/null

# The median line of a farm-bench report: "wall" and "ratio" figures.
bench() { farm-bench -n "$runs" --timeout 600 "$@" 2>&1; }
for c in snappy lz4; do
  echo "== 7z t $c.aff4 vs md5sum image.raw ($(du -h "$data/$c.aff4" | cut -f1) on disk)"
  bench --vs "md5sum $raw" -- sh -c "exec $host t $data/$c.aff4 >>$data/t-$c.log 2>&1"
  grep -q "Everything is Ok" "$data/t-$c.log" || die "7z t $c.aff4 failed (see $data/t-$c.log)"
  echo "== $reads random reads of 0-4096 bytes through the $c image's stream"
  bench -- "$driver" randread AFF4 "$data/$c.aff4" "$raw" "$reads" 1 4096
done
if [ -f "$sparse" ]; then
  echo "== 7z l of the 9 EB sparse reference image vs the bare host (7z i): peak memory"
  bench --vs "$host i" -- "$host" l "$sparse"
fi
