#!/usr/bin/env bash
# Multi-segment E01 sets: whichever segment the user opens (first, a middle one, the last), the
# whole set is found through the host's volume callback and gives the raw image; sets of more
# than 99 segments continue with the letter names (.E99 -> .EAA, and .e99 -> .eaa for the
# lower-case sets ewfacquire writes in its EnCase 1 layout). Random reads through the host
# driver's GetStream cross segment boundaries and must equal the raw image.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/e01_data.sh"
e2e_workdir >/dev/null

# 4.5 MiB, mostly random so that 1 MiB segments hold little of it: four or more segments.
e01_raw seg.raw 4718592 3 15 15 70

# e01_segment_names TARGET: the segment files of a set, in set order (ewfacquire's names).
e01_segment_names() {
  ls -1 "$1".[EeSs][0-9][0-9] "$1".[EeSs][A-Za-z][A-Za-z] 2>/dev/null
}

# e01_check_from HOST TARGET RAW NAME: opened at its first, second, middle and last segment.
e01_check_from() {
  local host=$1 t=$2 raw=$3 name=$4 segs n s
  mapfile -t segs < <(e01_segment_names "$t")
  n=${#segs[@]}
  [ "$n" -ge 3 ] || fail "$t: only $n segments"
  for s in "${segs[0]}" "${segs[1]}" "${segs[n / 2]}" "${segs[n - 1]}"; do
    e01_check_image "$host" "$s" "$raw" "$name"
  done
}

for f in encase6 smart ewf encase2 linen5; do
  e01_acquire "s_$f" seg.raw -f "$f" -c fast -S 1MiB
done
for h in $(e2e_hosts); do
  for f in encase6 smart ewf encase2 linen5; do
    if [ "$h" = win ]; then case $f in encase2 | linen5) continue ;; esac; fi
    e01_check_from "$h" "s_$f" seg.raw "s_$f.img"
  done
done

# Random reads through GetStream, across segment boundaries and chunk ends.
for f in encase6 smart ewf; do
  e01_driver randread E01 "$(e01_first "s_$f")" seg.raw 3000 17 >"randread.$f" 2>&1 ||
    { cat "randread.$f" >&2; fail "randread over s_$f"; }
done

# More than 99 segments: 104 MiB of random data, uncompressed, 1 MiB segments (ewfacquire's
# smallest) give 105 or more segment files.
e01_raw big.raw 104M 23 0 0 100
e01_acquire big big.raw -f encase6 -c none -S 1MiB
e01_acquire low big.raw -f ewf -c none -S 1MiB
[ -f big.EAA ] && [ -f big.EAE ] || { ls >&2; fail "ewfacquire did not write more than 104 segments"; }
[ -f low.eaa ] || { ls >&2; fail "ewfacquire -f ewf did not write low.eaa"; }
last=$(e01_segment_names big | tail -n 1)
e01_check_image linux big.E01 big.raw big.img
e01_check_image linux low.e01 big.raw low.img
for s in big.E50 big.EAB "$last" low.e50 low.eab; do
  e01_run linux "$s.test" t "$s"
  [ "$E01_RC" -eq 0 ] || { cat "$s.test" >&2; fail "linux: 7z t $s exit $E01_RC"; }
done
# A name ending in "AA" is taken by the host's own split-file handler (big.EAA, big.EAB, ... as
# pieces of "big") unless the type is given.
e01_run linux big.EAA.test t -tE01 big.EAA
[ "$E01_RC" -eq 0 ] || { cat big.EAA.test >&2; fail "linux: 7z t -tE01 big.EAA exit $E01_RC"; }
e01_run linux big.list l -slt big.EAB
expect_eq "$(stat -c %s big.raw)" "$(e01_item_props big.list | awk '/^Size = / { print $3; exit }')" "linux: size opened at big.EAB"
e01_driver randread E01 big.E01 big.raw 2000 5 >randread.big 2>&1 || { cat randread.big >&2; fail "randread over big"; }
if e01_has_win; then
  e01_check_image win big.E01 big.raw big.img
  e01_run win big.EAC.win t big.EAC
  [ "$E01_RC" -eq 0 ] || { cat big.EAC.win >&2; fail "win: 7z t big.EAC exit $E01_RC"; }
fi
echo "e01_segments: passed"
