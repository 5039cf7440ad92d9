#!/usr/bin/env bash
# E01 benchmark: the plugin in the Linux host against libewf's tools and C API, measured in the
# same run on the same files.
#
#   bench/e01.sh [BUILD_DIR]      (default: $VOR7Z_BUILD, else <source>/build)
#
# A deterministic 1 GiB raw image (40 % zero, 30 % text-like, 30 % random 32 KiB blocks) is
# written by ewfacquire with "-c best" and "-c fast" (32 KiB chunks, one segment). For each:
#   7z t image.E01           vs  ewfverify image.E01         goal <= 0.45 x the time
#   7z t image.E01           vs  md5sum image.raw            goal <= 1.15 x the time
#   7z x image.E01 (a file)  vs  ewfexport -f raw            goal <= 0.5 x the time
#   20,000 random reads of 0-4096 bytes through the plugin's GetStream (vor7z_driver randread)
#                            vs  the same reads with libewf_handle_read_random
#                                                            goal >= 1 x the throughput
#   peak resident memory of 7z t                             goal <= 160 MiB
# A third image is acquired "-c fast -d sha1", so that it stores MD5 and SHA-1, both checked by 7z t:
#   7z t image.E01           vs  md5sum image.raw            goal <= 1.05 x the time
#   7z t image.E01           vs  ewfverify -d sha1            (for comparison)
#   7z.exe t image.E01 (wine)  vs  7z.exe h -scrcMD5 image.raw (wine)   goal <= 1.15 x the time
#                            (when the Windows host was built: <build>/hosts/win)
# Both 7z runs end when the image's MD5 does, so the script also prints that floor: libcrypto's MD5
# of 1 GiB in memory (openssl speed) against the same peers.
# Every time is the best of RUNS runs (default 3) with warm caches. The images, the raw file and
# the libewf peer are kept in $VOR7Z_BENCH_DATA (default /tmp/vor7z-bench-e01) for the next run.
set -euo pipefail
export LC_ALL=C TZ=UTC

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-${VOR7Z_BUILD:-$src/build}}" && pwd)
data=${VOR7Z_BENCH_DATA:-/tmp/vor7z-bench-e01}
runs=${RUNS:-3}
reads=20000
host=$build/hosts/linux/7z
plugin=$build/hosts/linux/Formats/vor7z.so
driver=$build/tools/vor7z_driver
rawgen=$build/tools/rawgen

die() { echo "e01.sh: $*" >&2; exit 1; }
for f in "$host" "$driver" "$rawgen" "$plugin"; do
  [ -e "$f" ] || die "missing $f (build $build first)"
done
for t in ewfacquire ewfverify ewfexport md5sum openssl pkg-config g++; do
  command -v "$t" >/dev/null || die "missing $t"
done
[ -x /usr/bin/time ] || die "missing /usr/bin/time (Debian package 'time')"
mkdir -p "$data"

# ---- data, made once --------------------------------------------------------------------------
raw=$data/image.raw
stamp="rawgen 1G seed 1 weights 40 30 30"
if [ ! -f "$raw" ] || [ "$(cat "$data/image.stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "writing $raw ..." >&2
  rm -rf "$data"/best "$data"/fast
  "$rawgen" "$raw" 1G 1 40 30 30
  echo "$stamp" >"$data/image.stamp"
fi
for level in best fast sha1; do
  if [ ! -f "$data/$level/image.E01" ]; then
    echo "acquiring $level ..." >&2
    rm -rf "$data/$level" && mkdir -p "$data/$level"
    opts=(-c "$level")
    [ "$level" = sha1 ] && opts=(-c fast -d sha1)
    ewfacquire -u -q "${opts[@]}" -t "$data/$level/image" "$raw" >"$data/$level/acquire.log" 2>&1 ||
      { cat "$data/$level/acquire.log" >&2; die "ewfacquire ${opts[*]} failed"; }
  fi
done
peer=$data/ewf_randread
if [ ! -x "$peer" ] || [ "$src/bench/ewf_randread.cpp" -nt "$peer" ]; then
  # shellcheck disable=SC2046
  g++ -std=c++20 -O2 -o "$peer" "$src/bench/ewf_randread.cpp" $(pkg-config --cflags --libs libewf) ||
    die "cannot build the libewf peer"
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
    [ -n "${AFTER_RUN:-}" ] && $AFTER_RUN
  done
  echo "$best $cpu"
}

out=$data/out
clean_out() { rm -rf "$out"; sync; }
x7z() { mkdir -p "$out" && "$host" x -y "-o$out" "$1" && [ "$(stat -c %s "$out/image.img")" = "$(stat -c %s "$raw")" ]; }
xewf() { mkdir -p "$out" && ewfexport -u -q -f raw -t "$out/image" "$1" && [ -f "$out/image.raw" ]; }
t7z() { "$host" t "$1" | grep "Everything is Ok" >/dev/null; }
verify() { ewfverify -q "$1" | grep "ewfverify: SUCCESS" >/dev/null; }

# Warm the page cache with everything the runs read.
cat "$raw" "$data"/best/image.E* "$data"/fast/image.E* "$data"/sha1/image.E* >/dev/null

load0=$(cut -d' ' -f1-3 /proc/loadavg)
rows=()
row() { rows+=("$(printf '%-34s %-5s %10s %10s %7s %9s  %s' "$@")"); }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# compare NAME LEVEL "VOR7Z_WALL VOR7Z_CPU" "PEER_WALL PEER_CPU" GOAL: a row of seconds and ratios.
compare() {
  local a=($3) b=($4)
  row "$1" "$2" "${a[0]} s" "${b[0]} s" "$(ratio "${a[0]}" "${b[0]}")" "$(ratio "${a[1]}" "${b[1]}")" "$5"
}

md5=$(best_of md5sum "$raw")
# Seconds libcrypto's MD5 needs for the image's size, from its rate over 1 MiB buffers.
md5_floor=$(openssl speed -seconds 2 -bytes 1048576 -evp md5 2>/dev/null |
  awk -v n="$(stat -c %s "$raw")" '$1 == "md5" { printf "%.3f", n / ($2 * 1000) }')
for level in best fast; do
  img=$data/$level/image.E01
  echo "measuring -c $level ($(du -h "$data/$level" | cut -f1) on disk) ..." >&2
  t=$(best_of t7z "$img")
  v=$(best_of verify "$img")
  compare "7z t  vs  ewfverify" "$level" "$t" "$v" "<= 0.45"
  compare "7z t  vs  md5sum of the raw" "$level" "$t" "$md5" "<= 1.15"
  v=($v)
  row "MD5 alone (floor)  vs  ewfverify" "$level" "$md5_floor s" "${v[0]} s" "$(ratio "$md5_floor" "${v[0]}")" "" ""
  clean_out
  compare "7z x  vs  ewfexport -f raw" "$level" "$(AFTER_RUN=clean_out best_of x7z "$img")" \
    "$(AFTER_RUN=clean_out best_of xewf "$img")" "<= 0.50"
  rv=($(best_of "$driver" --plugin "$plugin" randread E01 "$img" "$raw" "$reads" 7 4096))
  rp=($(best_of "$peer" "$img" "$raw" "$reads" 7 4096))
  row "$reads random reads: reads/s" "$level" "$(awk -v t="${rv[0]}" -v n="$reads" 'BEGIN { printf "%.0f", n / t }')" \
    "$(awk -v t="${rp[0]}" -v n="$reads" 'BEGIN { printf "%.0f", n / t }')" "$(ratio "${rp[0]}" "${rv[0]}")" \
    "$(ratio "${rp[1]}" "${rv[1]}")" ">= 1.00"
  rss=$(/usr/bin/time -v "$host" t "$img" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ { print $2 }')
  row "7z t  peak resident memory" "$level" "$((rss / 1024)) MiB" "" "" "" "<= 160 MiB"
done

# ---- MD5 and SHA-1 stored: both are checked, each on a thread of its own ----
img=$data/sha1/image.E01
echo "measuring the image with MD5 and SHA-1 stored ..." >&2
compare "7z t  vs  md5sum of the raw" "sha1" "$(best_of t7z "$img")" "$md5" "<= 1.05"
verify_sha1() { ewfverify -q -d sha1 "$1" | grep "ewfverify: SUCCESS" >/dev/null; }
compare "7z t  vs  ewfverify -d sha1" "sha1" "$(best_of t7z "$img")" "$(best_of verify_sha1 "$img")" ""
win7z=$build/hosts/win/7z.exe
if [ -f "$win7z" ] && [ -f "$build/hosts/win/Formats/vor7z.dll" ]; then
  export WINEPREFIX=$build/wineprefix
  wine7z() { bash "$src/scripts/wine-run.sh" "$win7z" "$@"; }
  twin() { wine7z t "$1" | tr -d '\r' | grep "Everything is Ok" >/dev/null; }
  hwin() { wine7z h -scrcMD5 "$1" | tr -d '\r' | grep "Everything is Ok" >/dev/null; }
  twin "$img" || die "7z.exe t $img under wine failed"
  compare "7z.exe t  vs  7z.exe h -scrcMD5 (wine)" "sha1" "$(best_of twin "$img")" "$(best_of hwin "$raw")" "<= 1.15"
fi

echo
echo "E01: 1 GiB image (40 % zero, 30 % text, 30 % random), best of $runs runs, $(nproc) cores," \
  "load average before: $load0, after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "(ratio: of wall times, for reads/s peer time / vor7z time; cpu: the same of user + system time)"
printf '%-34s %-5s %10s %10s %7s %9s  %s\n' "measure" "-c" "vor7z" "peer" "ratio" "cpu" "goal"
printf '%s\n' "${rows[@]}"
