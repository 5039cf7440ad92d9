#!/usr/bin/env bash
# Ex01 benchmark: the plugin in the Linux host against the peers named below, measured in the same
# run on the same files.
#
#   bench/ex01.sh [BUILD_DIR]      (default: $VOR7Z_BUILD, else <source>/build)
#
# A deterministic 512 MiB raw image (40 % zero, 30 % text-like, 30 % random 32 KiB blocks) is
# written by the fixture writer (tools/ex01_writer) as a deflate and a bzip2 Ex01 (32 KiB chunks,
# one segment; the bzip2 chunks header-less as EnCase writes them, zero chunks as pattern fill,
# chunks that do not shrink stored). For each:
#   7z t image.Ex01 (deflate)       vs  md5sum image.raw                      goal <= 1.0 x the time
#   7z t image.Ex01 (bzip2)         vs  bzip2 -dc image.raw.bz2 (one thread)   goal <= 0.6 x the time
#   20,000 random reads of 0-4096 bytes through the plugin's GetStream (vor7z_driver randread):
#                                   reads per second                          goal >= 2,000 (bzip2)
#   peak resident memory of 7z t                                              goal <= 64 MiB
# 7z t decodes with 2 workers on this machine's cores (the decoder takes up to 3).
# Every time is the best of RUNS runs (default 3) with warm caches. The images and the raw file are
# kept in $VOR7Z_BENCH_DATA (default /tmp/vor7z-bench-ex01) for the next run.
set -euo pipefail
export LC_ALL=C TZ=UTC

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-${VOR7Z_BUILD:-$src/build}}" && pwd)
data=${VOR7Z_BENCH_DATA:-/tmp/vor7z-bench-ex01}
runs=${RUNS:-3}
reads=20000
host=$build/hosts/linux/7z
plugin=$build/hosts/linux/Formats/vor7z.so
driver=$build/tools/vor7z_driver
rawgen=$build/tools/rawgen
writer=$build/tools/ex01_writer

die() { echo "ex01.sh: $*" >&2; exit 1; }
for f in "$host" "$driver" "$rawgen" "$writer" "$plugin"; do
  [ -e "$f" ] || die "missing $f (build $build first)"
done
for t in md5sum bzip2; do
  command -v "$t" >/dev/null || die "missing $t"
done
[ -x /usr/bin/time ] || die "missing /usr/bin/time (Debian package 'time')"
mkdir -p "$data"

# ---- data, made once --------------------------------------------------------------------------
raw=$data/image.raw
stamp="rawgen 512M seed 1 weights 40 30 30; writer $(cat "$src"/tests/fixtures/Ewf2Writer.* | md5sum | cut -c1-8)"
if [ ! -f "$raw" ] || [ "$(cat "$data/image.stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "writing $raw and its images ..." >&2
  rm -rf "$data"/deflate "$data"/bzip2 "$raw.bz2"
  "$rawgen" "$raw" 512M 1 40 30 30
  mkdir -p "$data/deflate" "$data/bzip2"
  "$writer" --in "$raw" --out "$data/deflate/image" || die "ex01_writer deflate failed"
  "$writer" --in "$raw" --out "$data/bzip2/image" --compress bzip2 || die "ex01_writer bzip2 failed"
  bzip2 -9 -c "$raw" >"$raw.bz2"
  echo "$stamp" >"$data/image.stamp"
fi

# ---- measuring --------------------------------------------------------------------------------
# best_of CMD...: "WALL CPU" in seconds of the run with the smallest wall time among $runs runs
# (CPU = user + system time of every process of the run); the command must succeed.
best_of() {
  local best="" cpu="" i t0 t1 t c
  for ((i = 0; i < runs; i++)); do
    t0=$EPOCHREALTIME
    c=$( ( "$@" >/dev/null 2>&1 || exit 1; times ) | awk 'END { split($1, u, /[ms]/); split($2, s, /[ms]/);
      printf "%.3f", u[1] * 60 + u[2] + s[1] * 60 + s[2] }') || die "failed: $*"
    t1=$EPOCHREALTIME
    [ -n "$c" ] || die "failed: $*"
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t cpu=$c; fi
  done
  echo "$best $cpu"
}

t7z() { "$host" t "$1" | grep "Everything is Ok" >/dev/null; }
bunzip() { bzip2 -dc "$1" >/dev/null; }

# Warm the page cache with everything the runs read.
cat "$raw" "$raw.bz2" "$data"/deflate/image.Ex* "$data"/bzip2/image.Ex* >/dev/null

load0=$(cut -d' ' -f1-3 /proc/loadavg)
rows=()
row() { rows+=("$(printf '%-36s %-8s %10s %10s %7s %7s  %s' "$@")"); }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
compare() {
  local a=($3) b=($4)
  row "$1" "$2" "${a[0]} s" "${b[0]} s" "$(ratio "${a[0]}" "${b[0]}")" "$(ratio "${a[1]}" "${b[1]}")" "$5"
}

md5=$(best_of md5sum "$raw")
bz=$(best_of bunzip "$raw.bz2")
for kind in deflate bzip2; do
  img=$data/$kind/image.Ex01
  echo "measuring $kind ($(du -h "$data/$kind" | cut -f1) on disk) ..." >&2
  t=$(best_of t7z "$img")
  if [ "$kind" = deflate ]; then
    compare "7z t  vs  md5sum of the raw" "$kind" "$t" "$md5" "<= 1.0"
  else
    compare "7z t  vs  bzip2 -dc (one thread)" "$kind" "$t" "$bz" "<= 0.6"
  fi
  rv=($(best_of "$driver" --plugin "$plugin" --codecs randread Ex01 "$img" "$raw" "$reads" 7 4096))
  row "$reads random reads: reads/s" "$kind" "$(awk -v t="${rv[0]}" -v n="$reads" 'BEGIN { printf "%.0f", n / t }')" \
    "" "" "" "$([ "$kind" = bzip2 ] && echo ">= 2000")"
  rss=$(/usr/bin/time -v "$host" t "$img" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ { print $2 }')
  row "7z t  peak resident memory" "$kind" "$((rss / 1024)) MiB" "" "" "" "<= 64 MiB"
done

echo
echo "Ex01: 512 MiB image (40 % zero, 30 % text, 30 % random), best of $runs runs, $(nproc) cores," \
  "load average before: $load0, after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "(ratio: of wall times; cpu: the same of user + system time)"
printf '%-36s %-8s %10s %10s %7s %7s  %s\n' "measure" "image" "vor7z" "peer" "ratio" "cpu" "goal"
printf '%s\n' "${rows[@]}"
