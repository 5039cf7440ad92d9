#!/usr/bin/env bash
# E01 files written by other acquisition software (shared/samples/e01, see its README):
#   CFReDS001.E01  EnCase 4.19a, Windows 2000, 2004: 201,600 x 512 bytes, a "disk" section in
#                  the place of "volume", stored MD5 e4f9afba... = the image's MD5.
#   ewf.E01        libewf 20140608: a set identifier in the volume section, stored MD5
#                  4a225557...; its media of 4,097 bytes is checked by test e01_odd_size.
# Skipped when the shared samples folder is absent.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/e01_data.sh"

samples=""
for d in "$VOR7Z_SRC/../shared/samples/e01" /work/shared/samples/e01; do
  if [ -d "$d" ]; then samples=$(cd "$d" && pwd); break; fi
done
[ -n "$samples" ] || e2e_skip "no shared/samples/e01 beside the source tree"
e2e_workdir >/dev/null
cp "$samples/simsong-bulk_extractor/CFReDS001.E01" "$samples/fox-it-dissect.evidence/ewf.E01" .

for h in $(e2e_hosts); do
  # CFReDS001: case metadata as ewfinfo reads it, the values the README lists, the full image.
  # (The dates are checked by the header text test: this file's two header kinds disagree.)
  e01_compare_meta "$h" CFReDS001.E01 "Acquisition date,System date"
  props=CFReDS001.E01.$h.arcprops
  items=CFReDS001.E01.$h.items
  expect_eq CFReDS001 "$(e01_prop "$props" Case)" "$h: CFReDS001 case"
  expect_eq CFReDS001 "$(e01_prop "$props" Evidence)" "$h: CFReDS001 evidence"
  expect_eq JRL "$(e01_prop "$props" Examiner)" "$h: CFReDS001 examiner"
  expect_eq 4.19a "$(e01_prop "$props" "Creator Application")" "$h: CFReDS001 creator"
  expect_eq "Windows 2000" "$(e01_prop "$props" "Acquisition platform")" "$h: CFReDS001 platform"
  expect_eq "" "$(e01_prop "$props" ID)" "$h: CFReDS001 has no set identifier"
  expect_eq CFReDS001.img "$(e01_names "$h" CFReDS001.E01)" "$h: CFReDS001 item"
  expect_eq 103219200 "$(e01_prop "$items" Size)" "$h: CFReDS001 size"
  expect_eq E4F9AFBA18011F0B9015A9D74CD3C3AC "$(e01_prop "$items" MD5 | tr a-f A-F)" "$h: CFReDS001 stored MD5"
  e01_run "$h" "CFReDS001.$h.test" t CFReDS001.E01
  [ "$E01_RC" -eq 0 ] || { cat "CFReDS001.$h.test" >&2; fail "$h: 7z t CFReDS001.E01 exit $E01_RC"; }
  rm -rf "out.$h"
  e01_run "$h" "CFReDS001.$h.x" x -y "-oout.$h" CFReDS001.E01
  [ "$E01_RC" -eq 0 ] || { cat "CFReDS001.$h.x" >&2; fail "$h: 7z x CFReDS001.E01 exit $E01_RC"; }
  expect_eq e4f9afba18011f0b9015a9d74cd3c3ac "$(md5_of "out.$h/CFReDS001.img")" "$h: CFReDS001 MD5"
  expect_eq 7fdbac973c51ae5976e600503aecf5894a047493 "$(sha1sum "out.$h/CFReDS001.img" | cut -d' ' -f1)" "$h: CFReDS001 SHA-1"
  [ "$h" = linux ] && mv out.linux/CFReDS001.img cfreds.raw
  rm -rf "out.$h"

  # ewf.E01: the set identifier and the other header values (its odd size: test e01_odd_size).
  e01_compare_meta "$h" ewf.E01 "Acquisition date,System date"
  expect_eq "{A46B20A9-3678-8240-86ED-2C156854CAE6}" "$(e01_prop "ewf.E01.$h.arcprops" ID)" "$h: ewf.E01 set identifier"
  expect_eq case_number "$(e01_prop "ewf.E01.$h.arcprops" Case)" "$h: ewf.E01 case"
  expect_eq notes "$(e01_prop "ewf.E01.$h.arcprops" Comment)" "$h: ewf.E01 notes"
  expect_eq 20140608 "$(e01_prop "ewf.E01.$h.arcprops" "Creator Application")" "$h: ewf.E01 creator"
  expect_eq 4A225557E15472D956EB5FE34EED3B9D "$(e01_prop "ewf.E01.$h.items" MD5 | tr a-f A-F)" "$h: ewf.E01 stored MD5"
done

# Random reads of the EnCase image through GetStream equal the verified extraction.
e01_driver randread E01 CFReDS001.E01 cfreds.raw 3000 41 >cfreds.randread 2>&1 ||
  { cat cfreds.randread >&2; fail "randread over CFReDS001.E01"; }
echo "e01_samples: passed"
