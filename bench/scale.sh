#!/usr/bin/env bash
# Scale benchmark: the memory and open time of the plugin in the Linux host on E01 images of
# 64 GiB and 1 TiB of media (2M and 32M chunks of 32 KiB), which must not grow with the image.
#
#   bench/scale.sh [BUILD_DIR]      (default: $VOR7Z_BUILD, else <source>/build)
#
# tests/tools/e01_writer writes each image once into $VOR7Z_BENCH_DATA (default
# /tmp/vor7z-bench-scale): zero chunks, every 65,536th chunk and the last a pattern of its index,
# 16,375 chunks per table with its table2 copy, segments of at most 1500 MiB; about 0.1 and 2 GiB
# on disk. The 64 GiB image carries its MD5 (the writer hashes every byte, a few minutes); the
# 1 TiB one has none (half an hour of hashing). Beside each lies its raw media as a sparse file,
# the reference of the random reads. For each image:
#   peak resident memory of 7z l, over the bare host (7z i)                  goal <= 16 MiB
#   of 20,000 random reads of 0-4096 bytes through the plugin's GetStream
#     (vor7z_driver randread), over the bare driver (vor7z_driver formats)   goal <= 16 MiB
#   of 7z t (64 GiB only), over the bare host                               goal <= 16 MiB
#   the open time of 7z l with warm caches, best of RUNS runs (default 3)   goal <= 3 s for 1 TiB
# and the 1 TiB increases may exceed the 64 GiB ones by 2 MiB at most.
# SKIP_1T=1 leaves out the 1 TiB image, SKIP_TEST=1 the 7z t step.
set -euo pipefail
export LC_ALL=C TZ=UTC

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-${VOR7Z_BUILD:-$src/build}}" && pwd)
data=${VOR7Z_BENCH_DATA:-/tmp/vor7z-bench-scale}
runs=${RUNS:-3}
reads=20000
host=$build/hosts/linux/7z
plugin=$build/hosts/linux/Formats/vor7z.so
driver=$build/tools/vor7z_driver
writer=$build/tools/e01_writer

die() { echo "scale.sh: $*" >&2; exit 1; }
for f in "$host" "$driver" "$writer" "$plugin"; do
  [ -e "$f" ] || die "missing $f (build $build first)"
done
[ -x /usr/bin/time ] || die "missing /usr/bin/time (Debian package 'time')"
mkdir -p "$data"

sizes=(64G)
[ -n "${SKIP_1T:-}" ] || sizes+=(1T)

# ---- data, made once --------------------------------------------------------------------------
for size in "${sizes[@]}"; do
  dir=$data/$size
  hash=()
  [ "$size" = 64G ] || hash=(--no-hash)
  # Bump the layout number when the writer changes what it writes.
  stamp="e01_writer layout 2 --synthetic $size ${hash[*]}"
  if [ "$(cat "$dir/stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "writing the $size image ..." >&2
    rm -rf "$dir" && mkdir -p "$dir"
    t0=$SECONDS
    "$writer" --synthetic "$size" "${hash[@]}" --out "$dir/image" --reference "$dir/image.raw" >"$dir/md5"
    echo "  $(du -sh "$dir" | cut -f1) on disk, $((SECONDS - t0)) s" >&2
    echo "$stamp" >"$dir/stamp"
  fi
done

# ---- measuring --------------------------------------------------------------------------------
# peak CMD...: the peak resident memory of the command in KiB; it must succeed. Its output is
# left in $data/out.
peak() {
  /usr/bin/time -o "$data/peak" -f '%M' "$@" >"$data/out" 2>&1 || { cat "$data/out" >&2; die "failed: $*"; }
  tail -n 1 "$data/peak"
}
# best_of CMD...: seconds of the fastest of $runs runs.
best_of() {
  local best="" i t0 t
  for ((i = 0; i < runs; i++)); do
    t0=$EPOCHREALTIME
    "$@" >/dev/null 2>&1 || die "failed: $*"
    t=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

bare_host=$(peak "$host" i)
bare_driver=$(peak "$driver" --plugin "$plugin" formats)
rows=()
row() { rows+=("$(printf '%-44s %6s %12s  %s' "$@")"); }
declare -A increase
for size in "${sizes[@]}"; do
  img=$data/$size/image.E01
  echo "measuring $size ..." >&2
  cat "$data/$size"/image.E* >/dev/null
  k=$(( $(peak "$host" l "$img") - bare_host ))
  increase[$size.l]=$k
  row "7z l: peak memory over the bare host" "$size" "$(mib "$k") MiB" "<= 16 MiB"
  k=$(( $(peak "$driver" --plugin "$plugin" randread E01 "$img" "$data/$size/image.raw" "$reads" 7 4096) - bare_driver ))
  increase[$size.r]=$k
  row "$reads random reads: over the bare driver" "$size" "$(mib "$k") MiB" "<= 16 MiB"
  if [ "$size" = 64G ] && [ -z "${SKIP_TEST:-}" ]; then
    k=$(( $(peak "$host" t "$img") - bare_host ))
    grep -q "Everything is Ok" "$data/out" || { cat "$data/out" >&2; die "7z t $img did not pass"; }
    row "7z t: peak memory over the bare host" "$size" "$(mib "$k") MiB" "<= 16 MiB"
  fi
  goal=""
  [ "$size" = 1T ] && goal="<= 3 s"
  row "7z l: open time, warm" "$size" "$(best_of "$host" l "$img") s" "$goal"
done
if [ -n "${increase[1T.l]:-}" ]; then
  for m in l r; do
    d=$(( increase[1T.$m] - increase[64G.$m] ))
    row "1 TiB over 64 GiB: $([ $m = l ] && echo "7z l" || echo "random reads")" "" "$(mib "$d") MiB" "<= 2 MiB"
  done
fi

echo
echo "E01 at scale: synthetic media of 32 KiB chunks, $(nproc) cores; bare host $(mib "$bare_host") MiB," \
  "bare driver $(mib "$bare_driver") MiB"
printf '%-44s %6s %12s  %s\n' "measure" "media" "vor7z" "goal"
printf '%s\n' "${rows[@]}"
