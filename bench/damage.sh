#!/usr/bin/env bash
# Damage benchmark: one fault at a time in a sound container, then `7z x` in the Linux host and the
# peer tools where they run; prints how many of the chunks (files, for logical containers) that the
# fault left intact each one wrote correctly at their place.
#
#   bench/damage.sh [BUILD_DIR] [FORMAT ...]   (default: $VOR7Z_BUILD, else <source>/build; all formats)
#
# Containers are made by the real writers where they exist (ewfacquire, affconvert) and by the test
# writers under <build>/tools elsewhere, from deterministic raw images (tests/tools/rawgen). The
# faults and the counting are bench/damage.py's: descriptor and table bits, zeroed segment starts,
# truncations, a lost middle segment. Goal: every intact chunk recovered in every case.
# Work files go to $VOR7Z_BENCH_DATA (default /tmp/vor7z-bench-damage).
set -euo pipefail
export LC_ALL=C TZ=UTC

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-${VOR7Z_BUILD:-$src/build}}" && pwd)
shift || true
data=${VOR7Z_BENCH_DATA:-/tmp/vor7z-bench-damage}
host=$build/hosts/linux/7z
tools=$build/tools
py=$src/bench/damage.py
formats=${*:-e01 ex01 l01 lx01 aff ad1 whx}

die() { echo "damage.sh: $*" >&2; exit 1; }
for f in "$host" "$tools/rawgen" "$build/hosts/linux/Formats/vor7z.so"; do
  [ -e "$f" ] || die "missing $f (build $build first)"
done
command -v python3 >/dev/null || die "missing python3"
mkdir -p "$data"
cd "$data"

# ours OUT_DIR ARCHIVE: 7z x of the archive into OUT_DIR; prints what 7-Zip reported: the archive's
# error flags, then the items' results ("archive: Headers Error, CRC Error; items: Data Error").
ours() {
  rm -rf "$1"
  timeout 300 "$host" x -y "-o$1" "$2" >"$1.log" 2>&1 || true
  awk '/^ERRORS:$/ && !seen { seen = 1; on = 1; next } on && /^$/ { on = 0 } on { a = a (a ? ", " : "") $0 }
       /^ERROR: / { sub(/^ERROR: /, ""); sub(/ : .*/, ""); if (index(i, $0) == 0) i = i (i ? ", " : "") $0 }
       END { printf "archive: %s; items: %s\n", a ? a : "-", i ? i : "-" }' "$1.log"
}

# row CASE OURS PEER NOTE
row() { printf '%-16s %-12s %-12s %s\n' "$@"; }

# no_peer KIND ARCHIVE [IMAGE]: each fault case of KIND, 7z x of KIND-CASE/ARCHIVE, and the intact
# chunks of IMAGE (in the output folder) or, without one, the intact files written right.
no_peer() {
  local kind=$1 archive=$2 image=${3:-} c damaged report counted
  row case vor7z "" "7-Zip's report"
  for c in $(python3 "$py" cases "$kind"); do
    damaged=$(python3 "$py" fault "$kind" "$c" "$kind" "$kind-$c")
    report=$(ours "out-$kind-$c" "$kind-$c/$archive")
    if [ -n "$image" ]; then
      counted=$(python3 "$py" count e01.raw "out-$kind-$c/$image" 32768 "$damaged")
    else
      counted=$(python3 "$py" files l01-tree "out-$kind-$c" "$damaged")
    fi
    row "$c" "${counted// //}" "" "${report:-(none)}"
  done
}

bench_e01() {
  command -v ewfacquire >/dev/null || { echo "e01: no ewfacquire, skipped"; return; }
  [ -f e01.raw ] || "$tools/rawgen" e01.raw 24M 7 0 0 100
  if [ ! -f e01/set.E04 ]; then
    rm -rf e01 && mkdir e01
    ewfacquire -u -q -c fast -S 8MiB -t e01/set e01.raw >/dev/null 2>&1 || die "ewfacquire failed"
  fi
  echo "== E01: ewfacquire, 24 MiB of random data, 32 KiB chunks, 4 segments (768 chunks)"
  row case vor7z ewfexport "7-Zip's report"
  local c damaged report peer
  for c in $(python3 "$py" cases e01); do
    damaged=$(python3 "$py" fault e01 "$c" e01 "e01-$c")
    report=$(ours "out-e01-$c" "e01-$c/set.E01")
    rm -f "peer-e01-$c.raw"
    (cd "e01-$c" && timeout 300 ewfexport -u -q -f raw -t "../peer-e01-$c" set.E0* >/dev/null 2>&1) || true
    peer=$(python3 "$py" count e01.raw "peer-e01-$c.raw" 32768 "$damaged")
    row "$c" "$(python3 "$py" count e01.raw "out-e01-$c/set.img" 32768 "$damaged" | tr ' ' /)" \
      "${peer// //}" "${report:-(none)}"
  done
}

bench_ex01() {
  [ -f e01.raw ] || "$tools/rawgen" e01.raw 24M 7 0 0 100
  if [ ! -f ex01/set.Ex03 ]; then
    rm -rf ex01 && mkdir ex01
    "$tools/ex01_writer" --in e01.raw --out ex01/set --segment-chunks 256 --no-pattern >/dev/null || die "ex01_writer failed"
  fi
  echo "== Ex01: the test writer, the same 24 MiB, 32 KiB chunks, 3 segments (768 chunks); no peer reads it"
  no_peer ex01 set.Ex01 set.img
}

bench_aff() {
  command -v affconvert >/dev/null || { echo "aff: no affconvert, skipped"; return; }
  [ -f e01.raw ] || "$tools/rawgen" e01.raw 24M 7 0 0 100
  if [ ! -f aff/one.aff ] || [ ! -f afd/file_003.aff ]; then
    rm -rf aff afd set.afd && mkdir aff
    affconvert -q -x -s32k -o aff/one.aff e01.raw >/dev/null 2>&1 || die "affconvert failed"
    affconvert -q -x -s32k -M8m -o set.afd e01.raw >/dev/null 2>&1 || die "affconvert failed"
    mv set.afd afd
  fi
  echo "== AFF: affconvert, the same 24 MiB, 32 KiB stored pages (768), one file and a 4-file set"
  row case vor7z affcat "7-Zip's report"
  local kind c damaged report peer first
  for kind in aff afd; do
    first=$([ $kind = aff ] && echo one.aff || echo file_000.aff)
    for c in $(python3 "$py" cases $kind); do
      damaged=$(python3 "$py" fault $kind "$c" $kind "$kind-$c")
      report=$(ours "out-$kind-$c" "$kind-$c/$first")
      (cd "$kind-$c" && timeout 300 affcat "$first" >"../peer-$kind-$c.raw" 2>/dev/null) || true
      peer=$(python3 "$py" count e01.raw "peer-$kind-$c.raw" 32768 "$damaged")
      row "$kind $c" "$(python3 "$py" count e01.raw "out-$kind-$c/${first%.aff}.img" 32768 "$damaged" | tr ' ' /)" \
        "${peer// //}" "${report:-(none)}"
    done
  done
}

bench_whx() {
  [ -f e01.raw ] || "$tools/rawgen" e01.raw 24M 7 0 0 100
  if [ ! -f whx/disk.w04 ]; then
    rm -rf whx && mkdir whx
    "$tools/whx_writer" --in e01.raw --out whx/disk.whx --volumes 4 --compress stored --checks md5 >/dev/null ||
      die "whx_writer failed"
  fi
  echo "== WHX: the test writer, the same 24 MiB in 4 stored volumes (768 pieces of 32 KiB); no peer reads it"
  no_peer whx disk.whx disk.img
}

bench_l01() {
  [ -f e01.raw ] || "$tools/rawgen" e01.raw 24M 7 0 0 100
  if [ ! -f l01/logical.L04 ]; then
    rm -rf l01 l01-tree && mkdir l01 l01-tree
    python3 -c "
import sys
d = open('e01.raw', 'rb').read()
for i in range(512):
    open('l01-tree/f%03d.bin' % i, 'wb').write(d[i * 32768:(i + 1) * 32768])"
    "$tools/l01_writer" --from l01-tree --out l01/logical.L01 --chunks-per-segment 150 --copies >/dev/null ||
      die "l01_writer failed"
  fi
  echo "== L01: the test writer with table2 and data copies, 512 files of 32 KiB (a chunk each), 4 segments"
  row case vor7z ewfexport "7-Zip's report"
  local c damaged report peer
  for c in $(python3 "$py" cases l01); do
    damaged=$(python3 "$py" fault l01 "$c" l01 "l01-$c")
    report=$(ours "out-l01-$c" "l01-$c/logical.L01")
    rm -rf "peer-l01-$c"
    (cd "l01-$c" && timeout 300 ewfexport -u -q -f files -t "../peer-l01-$c" logical.L0* >/dev/null 2>&1) || true
    peer=$(python3 "$py" files l01-tree "peer-l01-$c" "$damaged")
    row "$c" "$(python3 "$py" files l01-tree "out-l01-$c" "$damaged" | tr ' ' /)" "${peer// //}" "${report:-(none)}"
  done
}

bench_lx01() {
  [ -f l01/logical.L04 ] || bench_l01 >/dev/null
  if [ ! -f lx01/logical.Lx04 ]; then
    rm -rf lx01 && mkdir lx01
    "$tools/l01_writer" --from l01-tree --out lx01/logical.Lx01 --chunks-per-segment 150 >/dev/null ||
      die "l01_writer failed"
  fi
  echo "== Lx01: the test writer, the same 512 files (a chunk each), 4 segments; no peer reads it"
  no_peer lx01 logical.Lx01
}

bench_ad1() {
  [ -f l01/logical.L04 ] || bench_l01 >/dev/null
  if [ ! -f ad1/image.ad4 ]; then
    rm -rf ad1 && mkdir ad1
    "$tools/ad1_writer" --from l01-tree --out ad1/image.ad1 --chunk 32768 --segment-size 5000000 >/dev/null ||
      die "ad1_writer failed"
  fi
  echo "== AD1: the test writer, the same 512 files (a chunk each), 4 segments; no peer reads it"
  no_peer ad1 image.ad1
}

for f in $formats; do
  "bench_$f"
done
