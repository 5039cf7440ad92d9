#!/usr/bin/env bash
# E01 images in every variant ewfacquire writes (file formats x compression levels) list as one
# image item of the raw size, test clean and extract to the raw bytes. The whole matrix runs on
# the Linux host; under wine a few rows that cover each distinct layout (the EnCase 1/SMART
# layout with the chunks inside the table section, lower-case .e01 and .s01 names, EnCase 2-7 and
# linen layouts, uncompressed, empty-block and best compression) keep the run short.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/e01_data.sh"
e2e_workdir >/dev/null

# 3 MiB + 5 sectors: a whole number of sectors but not of chunks (the last chunk is partial).
# Fill blocks give empty-block compression something to do.
e01_raw mix.raw 3148288 11 35 25 30 10

formats="ewf smart ftk encase2 encase3 encase4 encase5 encase6 encase7 linen5 linen6 linen7 ewfx"
levels="none empty-block fast best"
win_rows=" ewf-none smart-fast ftk-best encase2-empty-block encase6-best linen7-fast ewfx-empty-block "

checked=0
for f in $formats; do
  for c in $levels; do
    e01_acquire "img_${f}_${c}" mix.raw -f "$f" -c "$c"
  done
done
# Host by host: wine keeps its server running between calls that follow each other closely.
for h in $(e2e_hosts); do
  for f in $formats; do
    for c in $levels; do
      if [ "$h" = win ] && [[ $win_rows != *" $f-$c "* ]]; then continue; fi
      t=img_${f}_${c}
      e01_check_image "$h" "$(e01_first "$t")" mix.raw "$t.img"
      checked=$((checked + 1))
    done
  done
done

# Under another extension the host finds the format by its signature alone.
cp "$(e01_first img_encase6_fast)" evidence.dat
for h in $(e2e_hosts); do
  e01_check_image "$h" evidence.dat mix.raw evidence.img
done

# A file that is not an E01 but carries the extension is refused, not misread.
cp mix.raw fake.E01
for h in $(e2e_hosts); do
  e01_run "$h" "fake.$h.list" l -tE01 fake.E01
  [ "$E01_RC" -eq 2 ] || { cat "fake.$h.list" >&2; fail "$h: 7z l -tE01 on a raw file: exit $E01_RC, expected 2"; }
  expect_contains "Cannot open the file as [E01] archive" "fake.$h.list"
done

echo "e01_formats: $checked image checks passed"
