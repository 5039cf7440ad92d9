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
formats=${*:-e01}

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

for f in $formats; do
  "bench_$f"
done
