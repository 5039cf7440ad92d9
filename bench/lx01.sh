#!/usr/bin/env bash
# Lx01 benchmark: the plugin in the Linux host, an Lx01 against the same tree in L01 form, measured
# in the same run on the same files.
#
#   bench/lx01.sh [BUILD_DIR]      (default: $VOR7Z_BUILD, else <source>/build)
#
# A deterministic tree of FILES small files (default 100,000; 1 to 400 bytes, 100 per folder) is
# written by the fixture writer (tools/l01_writer) as an L01 and as a deflate Lx01 (MD5 per file).
#   7z l logical.Lx01               vs  7z l logical.L01                      goal <= 1.5 x the time
#   7z x logical.Lx01: user time of the whole run  vs  its system time (writing the files)
#                                                                             goal well under 1.0
# The listings are the best of RUNS runs (default 3) with warm caches, the extraction one run. The tree and the sets are kept in
# $VOR7Z_BENCH_DATA (default /tmp/vor7z-bench-lx01) for the next run.
set -euo pipefail
export LC_ALL=C TZ=UTC

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-${VOR7Z_BUILD:-$src/build}}" && pwd)
data=${VOR7Z_BENCH_DATA:-/tmp/vor7z-bench-lx01}
runs=${RUNS:-3}
files=${FILES:-100000}
host=$build/hosts/linux/7z
writer=$build/tools/l01_writer

die() { echo "lx01.sh: $*" >&2; exit 1; }
for f in "$host" "$writer" "$build/hosts/linux/Formats/vor7z.so"; do
  [ -e "$f" ] || die "missing $f (build $build first)"
done
mkdir -p "$data"

# ---- data, made once --------------------------------------------------------------------------
stamp="$files files; writer $(cat "$src"/tests/fixtures/Ewf2Writer.* "$src"/tests/fixtures/L01Writer.* | md5sum | cut -c1-8)"
if [ "$(cat "$data/stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "writing $files files and their sets ..." >&2
  rm -rf "$data/src" "$data/l01" "$data/lx01"
  mkdir -p "$data/src" "$data/l01" "$data/lx01"
  awk -v n="$files" -v dir="$data/src" 'BEGIN {
    srand(1)
    for (i = 0; i < n; i++) {
      if (i % 100 == 0) { d = sprintf("%s/d%05d", dir, i / 100); system("mkdir -p " d) }
      f = sprintf("%s/f%06d.txt", d, i)
      printf "%s\n", substr("file " i " " sprintf("%0400d", i * 7919), 1, 1 + int(rand() * 400)) > f
      close(f)
    }
  }'
  "$writer" --from "$data/src" --out "$data/l01/logical.L01" || die "l01_writer L01 failed"
  "$writer" --from "$data/src" --out "$data/lx01/logical.Lx01" || die "l01_writer Lx01 failed"
  echo "$stamp" >"$data/stamp"
fi

# ---- measuring --------------------------------------------------------------------------------
# best_of CMD...: "WALL USER SYS" in seconds of the run with the smallest wall time among $runs runs.
best_of() {
  local best="" rest="" i t0 t1 t c
  for ((i = 0; i < runs; i++)); do
    t0=$EPOCHREALTIME
    c=$( ( "$@" >/dev/null 2>&1 || exit 1; times ) | awk 'END { split($1, u, /[ms]/); split($2, s, /[ms]/);
      printf "%.3f %.3f", u[1] * 60 + u[2], s[1] * 60 + s[2] }') || die "failed: $*"
    t1=$EPOCHREALTIME
    [ -n "$c" ] || die "failed: $*"
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t rest=$c; fi
  done
  echo "$best $rest"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
list() { "$host" l "$1" | grep -q " files"; }
extract() { rm -rf "$data/out" && "$host" x -y "-o$data/out" "$1" | grep -q "Everything is Ok"; }

cat "$data"/l01/* "$data"/lx01/* >/dev/null
load0=$(cut -d' ' -f1-3 /proc/loadavg)
l01=($(best_of list "$data/l01/logical.L01"))
lx01=($(best_of list "$data/lx01/logical.Lx01"))
x=($(runs=1 best_of extract "$data/lx01/logical.Lx01"))  # writing 100,000 files takes long: once
rm -rf "$data/out"

echo
echo "Lx01: $files files, best of $runs runs, $(nproc) cores, load average before: $load0, after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-44s %10s %10s %7s  %s\n' "measure" "vor7z" "peer" "ratio" "goal"
printf '%-44s %10s %10s %7s  %s\n' "7z l Lx01  vs  7z l L01 (wall)" "${lx01[0]} s" "${l01[0]} s" \
  "$(ratio "${lx01[0]}" "${l01[0]}")" "<= 1.5"
printf '%-44s %10s %10s %7s  %s\n' "7z x Lx01: user  vs  system time" "${x[1]} s" "${x[2]} s" \
  "$(ratio "${x[1]}" "${x[2]}")" "well under 1.0"
