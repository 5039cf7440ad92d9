#!/usr/bin/env bash
# E01 geometry and media: the smallest and largest chunks ewfacquire writes (-b gives sectors
# per chunk: 16 x 512 = 8 KiB, 32768 x 512 = 16 MiB, larger than the whole image), 4096-byte
# sectors, the media types and their item names (.img, .iso, .ram), and optical discs whose
# session section turns the image into a .bin with a generated .cue sheet.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/e01_data.sh"
e2e_workdir >/dev/null

# 2 MiB + 12 KiB: whole 4096-byte sectors, no whole number of chunks for any chunk size.
e01_raw geo.raw 2109440 9 30 30 30 10

rows=(
  "b16_none:-b 16 -c none"
  "b16_fast:-b 16 -c fast"
  "b16_best:-b 16 -c best"
  "b16_empty:-b 16 -c empty-block"
  "b32768_none:-b 32768 -c none"
  "b32768_fast:-b 32768 -c fast"
  "b32768_best:-b 32768 -c best"
  "p4096_fast:-P 4096 -c fast"
  "p4096_b16_none:-P 4096 -b 16 -c none"
  "p4096_b32768_best:-P 4096 -b 32768 -c best"
  "removable:-m removable -c fast"
  "fixed:-m fixed -c fast"
  "logical:-M logical -c fast"
)
win_rows=" b16_best b32768_none p4096_fast "
for row in "${rows[@]}"; do
  t=g_${row%%:*}
  read -r -a opts <<<"${row#*:}"
  e01_acquire "$t" geo.raw "${opts[@]}"
  for h in $(e2e_hosts); do
    if [ "$h" = win ] && [[ $win_rows != *" ${row%%:*} "* ]]; then continue; fi
    e01_check_image "$h" "$t.E01" geo.raw "$t.img"
  done
done

# Optical media without a session list or with one session: one .iso item.
e01_acquire g_optical geo.raw -m optical -P 2048 -c fast
printf 'FILE "geo.iso" BINARY\r\n  TRACK 01 MODE1/2048\r\n    INDEX 01 00:00:00\r\n' >one.cue
e01_acquire g_optical1 geo.raw -m optical -P 2048 -T one.cue -c best
e01_section g_optical1.E01 session >/dev/null

# Memory: ewfacquire 20140813 writes "fixed" for -m memory, so the media type byte of a copy is
# set to 0x10 (with the section checksums mended) and ewfinfo confirms it
e01_acquire g_memory geo.raw -m memory -c fast
# ("data" repeats the volume section; ewfinfo compares the two).
for s in volume data; do
  read -r off size < <(e01_section g_memory.E01 $s)
  e01_poke g_memory.E01 "$off" 0x10
  e01_fix_adler g_memory.E01 "$off" $((size - 4))
done
# Captured first: grep -q closing the pipe early would kill ewfinfo with SIGPIPE under pipefail.
info=$(ewfinfo g_memory.E01 2>&1) || true
grep -q 'Media type:.*memory' <<<"$info" || fail "ewfinfo does not see the memory media type"

for h in $(e2e_hosts); do
  e01_check_image "$h" g_optical.E01 geo.raw g_optical.iso
  e01_check_image "$h" g_memory.E01 geo.raw g_memory.ram
  [ "$h" = win ] || e01_check_image "$h" g_optical1.E01 geo.raw g_optical1.iso
done

# Three sessions: ewfacquire stores their start sectors (16 for the first, whatever the TOC says,
# then 1500 and 2260 of 3000). The image becomes disc3.bin and a CUE sheet disc3.cue lists one
# MODE1/2048 track per session at M:S:F of its start sector (75 frames a second, the first
# session at 00:00:00), each line ending in CR LF.
cat >toc3.cue <<'EOF'
FILE "disc3.iso" BINARY
  REM SESSION 01
  TRACK 01 MODE1/2048
    INDEX 01 00:00:00
  REM SESSION 02
  TRACK 02 MODE1/2048
    INDEX 01 00:20:00
  REM SESSION 03
  TRACK 03 MODE1/2048
    INDEX 01 00:30:10
EOF
e01_raw opt.raw 6144000 31 30 30 30 10
e01_acquire disc3 opt.raw -m optical -P 2048 -T toc3.cue -c fast -d sha1
printf 'FILE "disc3.bin" BINARY\r\n\r\n  REM SESSION 01;\r\n    TRACK 01 MODE1/2048\r\n      INDEX 01 00:00:00\r\n\r\n  REM SESSION 02;\r\n    TRACK 02 MODE1/2048\r\n      INDEX 01 00:20:00\r\n\r\n  REM SESSION 03;\r\n    TRACK 03 MODE1/2048\r\n      INDEX 01 00:30:10\r\n\r\n' >disc3.expected.cue
for h in $(e2e_hosts); do
  e01_run "$h" "disc3.$h.list" l -slt disc3.E01
  [ "$E01_RC" -eq 0 ] || { cat "disc3.$h.list" >&2; fail "$h: 7z l disc3.E01 exit $E01_RC"; }
  e01_item_props "disc3.$h.list" >"disc3.$h.items"
  expect_eq "disc3.bin disc3.cue" "$(e01_names "$h" disc3.E01 | paste -sd' ')" "$h: items of disc3.E01"
  expect_eq "$(stat -c %s opt.raw) $(stat -c %s disc3.expected.cue)" \
    "$(awk '/^Size = / { printf "%s%s", s, $3; s = " " }' "disc3.$h.items")" "$h: item sizes of disc3.E01"
  # Only the image carries the stored digests.
  expect_eq 1 "$(grep -c '^MD5 = [0-9A-Fa-f]' "disc3.$h.items")" "$h: MD5 raw properties of disc3.E01"
  e01_run "$h" "disc3.$h.test" t disc3.E01
  [ "$E01_RC" -eq 0 ] || { cat "disc3.$h.test" >&2; fail "$h: 7z t disc3.E01 exit $E01_RC"; }
  rm -rf "out.$h"
  e01_run "$h" "disc3.$h.x" x -y "-oout.$h" disc3.E01
  [ "$E01_RC" -eq 0 ] || { cat "disc3.$h.x" >&2; fail "$h: 7z x disc3.E01 exit $E01_RC"; }
  expect_eq "$(md5_of opt.raw)" "$(md5_of "out.$h/disc3.bin")" "$h: disc3.bin"
  cmp "out.$h/disc3.cue" disc3.expected.cue || { od -c "out.$h/disc3.cue" | head -30 >&2; fail "$h: disc3.cue text"; }
  # Each item alone, too: the sheet is served from memory, the image decoded.
  rm -rf "out.$h"
  e01_run "$h" "disc3.$h.x1" x -y "-oout.$h" disc3.E01 disc3.cue
  [ "$E01_RC" -eq 0 ] && [ -f "out.$h/disc3.cue" ] && [ ! -e "out.$h/disc3.bin" ] ||
    { cat "disc3.$h.x1" >&2; fail "$h: 7z x disc3.E01 disc3.cue"; }
  cmp "out.$h/disc3.cue" disc3.expected.cue || fail "$h: disc3.cue extracted alone"
  rm -rf "out.$h"
done

# The random-access stream covers the .bin too, and chunk sizes at both ends.
for t in g_b16_best g_b32768_none g_b32768_best g_p4096_fast disc3; do
  raw=geo.raw
  [ $t = disc3 ] && raw=opt.raw
  e01_driver randread E01 "$t.E01" $raw 1500 29 >"$t.randread" 2>&1 || { cat "$t.randread" >&2; fail "randread over $t"; }
done
echo "e01_geometry: passed"
