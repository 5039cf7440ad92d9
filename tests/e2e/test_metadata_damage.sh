#!/usr/bin/env bash
# Damaged case metadata never locks the evidence away. Single bits are flipped inside every header,
# header2, hash and digest section of an ewfacquire E01 set (three segments), of the real E01 samples
# and of the real L01 samples (header2, header), a few positions per section, each copy in a case of
# its own. In both hosts every case opens (never "Cannot open"), shows the damage as an archive error
# ("Headers Error" for the header kinds), keeps the case metadata a second header2 copy holds, and
# reads its data exactly as the undamaged file: the extracted bytes equal the undamaged extraction,
# and a CRC failure is reported exactly when the listed stored MD5 differs from the data's.
# The real samples are skipped when the shared samples folder is absent.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/e01_data.sh"

samples=""
for d in "$VOR7Z_SRC/../shared/samples" /work/shared/samples; do
  if [ -d "$d/e01" ] && [ -d "$d/l01" ]; then samples=$(cd "$d" && pwd); break; fi
done
e2e_workdir >/dev/null
E2E_TIMEOUT=240
mkdir -p src cases big

# Evidence: a three-segment set with a digest and a hash section, and the real files.
e01_raw md.raw 2621440 21 0 10 90
e01_acquire src/acq md.raw -f encase6 -c fast -d sha1 -S 1MiB
[ -f src/acq.E03 ] || fail "expected at least three segments"
if [ -n "$samples" ]; then
  cp "$samples/e01/fox-it-dissect.evidence/ewf.E01" src/ewf.E01
  cp "$samples/e01/simsong-bulk_extractor/CFReDS001.E01" src/cfreds.E01
  for f in "$samples"/l01/ggeng2-Logical_Image_DataSet/L01_list_of_metadata/*/*.L01; do
    fs=${f%/*}
    cp "$f" "src/l_${fs##*/}_$(basename "$f")"
  done
  cp "$samples/l01/ggeng2-Logical_Image_DataSet/L01_manipulation_test/simple_manipulation/dataGUIDmod.L01.bak" \
    src/l_origin.L01
else
  echo "(no shared samples: only the ewfacquire set is damaged)"
fi

# make_case DIR NAME SET_FIRST_FILE [SEGMENT OFFSET MASK]: a copy of the set of SET_FIRST_FILE in
# DIR/NAME/, its files renamed to NAME.<ext>, with bit MASK of byte OFFSET flipped in segment file
# SEGMENT (its extension).
make_case() {
  local dir=$1 name=$2 first=$3 seg=${4:-} off=${5:-} mask=${6:-} f
  mkdir -p "$dir/$name"
  for f in "${first%.*}".*; do
    case ${f##*.} in E0? | L0?) cp "$f" "$dir/$name/$name.${f##*.}" ;; esac
  done
  [ -z "$seg" ] || e01_xor "$dir/$name/$name.$seg" "$off" "$mask"
}

# Cases: per metadata section, bits at a third and at two thirds of its payload (never at its ends,
# where a deflate stream may carry padding bits that nothing checks). Their list goes to cases.txt:
# NAME KIND (the damaged section, or "ok" for the undamaged copy).
: >cases.txt
n=0
for first in src/*.E01 src/*.L01; do
  [ -e "$first" ] || continue
  base=$(basename "${first%.*}")
  dir=cases
  [ "$base" = cfreds ] && dir=big  # 98 MiB of media: tested, not extracted
  make_case "$dir" "${base}_ok" "$first"
  echo "${base}_ok ok" >>cases.txt
  for seg in "${first%.*}".*; do
    ext=${seg##*.}
    case $ext in E0? | L0?) ;; *) continue ;; esac
    declare -A nth=()
    while read -r kind _ pos size; do
      case $kind in header | header2 | hash | digest) ;; *) continue ;; esac
      nth[$kind]=$((${nth[$kind]:-0} + 1))
      for third in 1 2; do
        n=$((n + 1))
        name=${base}_${kind}${nth[$kind]}_$third
        make_case "$dir" "$name" "$first" "$ext" $((pos + size * third / 3)) $((1 << (n % 8)))
        echo "$name $kind" >>cases.txt
      done
    done < <(e01_sections "$seg")
    unset nth
  done
done
echo "$(grep -vc ' ok$' cases.txt) damaged cases of $(grep -c ' ok$' cases.txt) files"
grep -q ' header2$' cases.txt && grep -q ' digest$' cases.txt || fail "expected header2 and digest sections among the cases"

# split_blocks OUTPUT DIR WORD: the part of a multi-archive 7z output that belongs to each archive
# ("<WORD> archive: PATH" starts it) into DIR/<case name>.
split_blocks() {
  mkdir -p "$2"
  awk -v dir="$2" -v word="$3 archive: " 'index($0, word) == 1 {
      n = split(substr($0, length(word) + 1), p, /[\/\\]/); name = p[n]; sub(/\.[^.]*$/, "", name)
      out = dir "/" name; next }
    out != "" { print > out }' "$1"
}

# The archive properties of a listing block, without the lines that name the file or its errors.
arc_props() { e01_archive_props "$1" | grep -v '^--\|^Path = \|^ERRORS:$\|Error$'; }

for h in $(e2e_hosts); do
  rm -rf "out.$h" "l.$h" "x.$h" "t.$h"
  run7z_in "$h" . "list.$h" l -slt -an '-air!cases/*.E01' '-air!cases/*.L01' '-air!big/*.E01'
  run7z_in "$h" . "x.$h.out" x -y "-oout.$h/*" -an '-air!cases/*.E01' '-air!cases/*.L01'
  if [ -d big/cfreds_ok ]; then run7z_in "$h" . "t.$h.out" t -an '-air!big/*.E01'; fi
  for f in "list.$h" "x.$h.out" "t.$h.out"; do
    [ -f "$f" ] || continue
    ! grep -q 'Can not open\|Cannot open' "$f" || { grep -B2 'Can not open\|Cannot open' "$f" >&2; fail "$h: a damaged case was refused ($f)"; }
    # No data is lost or broken; only stored digests may fail, and only those of the images.
    expect_not_contains "Data Error" "$f"
    expect_not_contains "Unexpected end" "$f"
    ! grep 'CRC Failed' "$f" | grep -v 'CRC Failed : [^ ]*\.img$' >&2 || fail "$h: a file of an L01 failed its check ($f)"
  done
  split_blocks "list.$h" "l.$h" Listing

  while read -r name kind; do
    src=${name%_*_*}
    [ "$kind" = ok ] && src=${name%_ok}
    l=l.$h/$name
    [ -f "$l" ] || fail "$h: $name was not listed"
    if [ "$kind" = ok ]; then
      expect_not_contains "ERRORS:" "$l"
    else
      expect_contains "ERRORS:" "$l"
      case $kind in header*) expect_contains "Headers Error" "$l" ;; esac
    fi
    # A second header2 copy holds what the first does: nothing of the case metadata is lost.
    if [ "$kind" = header2 ]; then
      diff <(arc_props "l.$h/${src}_ok") <(arc_props "$l") >&2 || fail "$h: $name: case metadata differs from the undamaged file"
    fi
    # The stored digests decide: a CRC failure of the image exactly when the listed MD5, or the
    # listed SHA-1, is not the data's (reports name the image; the Windows host prints them after
    # everything else).
    [ "${name:0:2}" = l_ ] && continue
    stored=$(e01_prop <(e01_item_props "$l") MD5 | tr A-F a-f)
    stored_sha1=$(e01_prop <(e01_item_props "$l") SHA-1 | tr A-F a-f)
    if [ "$src" = cfreds ]; then
      # Tested only: the media's digests are the ones the sample's README gives.
      actual=e4f9afba18011f0b9015a9d74cd3c3ac actual_sha1=7fdbac973c51ae5976e600503aecf5894a047493 report=t.$h.out
    else
      actual=$(md5_of "out.$h/$name/$name.img") report=x.$h.out
      actual_sha1=$(sha1sum "out.$h/$name/$name.img" | cut -d' ' -f1)
    fi
    want=crc
    [ "$stored" = "$actual" ] && { [ -z "$stored_sha1" ] || [ "$stored_sha1" = "$actual_sha1" ]; } && want=ok
    if grep -qF "CRC Failed : $name.img" "$report"; then got=crc; else got=ok; fi
    expect_eq "$want" "$got" "$h: $name: result for the stored MD5 $stored and SHA-1 $stored_sha1"
  done <cases.txt
  # Byte for byte the undamaged file's extraction.
  while read -r name kind; do
    [ "${name:0:6}" = cfreds ] && continue
    src=${name%_*_*}
    [ "$kind" = ok ] && continue
    [ -d "out.$h/$name" ] || fail "$h: $name was not extracted"
    diff <(cd "out.$h/${src}_ok" && find . -type f -exec md5sum {} + | sed "s|${src}_ok|@|" | sort) \
      <(cd "out.$h/$name" && find . -type f -exec md5sum {} + | sed "s|$name|@|" | sort) >&2 ||
      fail "$h: $name: extracted data differs from the undamaged file's"
  done <cases.txt
  echo "$h: $(wc -l <cases.txt) cases opened, their data read as undamaged"
  rm -rf "out.$h"
done
echo "metadata_damage: passed"
