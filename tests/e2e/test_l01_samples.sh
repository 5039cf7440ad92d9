#!/usr/bin/env bash
# L01 files written by EnCase 22.3 (shared/samples/l01, see its README): the eleven pristine files of
# L01_list_of_metadata and the untouched origin of the manipulation set list their documented
# entries and times, and extract files with the documented sizes and MD5s (folders as folders); every
# hand-edited file of L01_manipulation_test is listed and tested without a crash or a hang.
# Skipped when the shared samples folder is absent.
source "$(dirname "$0")/lib.sh"

export TZ=UTC
samples=""
for d in "$VOR7Z_SRC/../shared/samples/l01" /work/shared/samples/l01; do
  if [ -d "$d" ]; then samples=$(cd "$d" && pwd)/ggeng2-Logical_Image_DataSet; break; fi
done
[ -n "$samples" ] && [ -d "$samples" ] || e2e_skip "no shared/samples/l01 beside the source tree"
e2e_workdir >/dev/null
E2E_TIMEOUT=60
cp -r "$samples/L01_list_of_metadata" pristine
cp -r "$samples/L01_manipulation_test" manipulated
cp "$samples/L01_manipulation_test/simple_manipulation/dataGUIDmod.L01.bak" pristine/origin.L01

# The documented entries below the root "LogicalEntries": "size md5 name" for files, "dir - name"
# for folders (the NTFS folder entry has a size of 48 and bytes in the data image, yet it is a folder).
documented() {
  case $1 in
  FAT32/PrimaryFAT.L01) echo "1026560 e84fa169332814efd362a3424590adec Primary FAT" ;;
  FAT32/docx.L01) echo "14148 1f1ec4485c8e851efd876c474d8c4f6c fat32.docx" ;;
  FAT32/zip.L01) echo "11405 86bfd9236a616d1299b0e7e6c49ae6f3 fat32.zip" ;;
  NTFS/docx.L01)
    echo "26624 827e84ea8d4f7b8e0faf0c47d4f847d2 doc.doc"
    echo "12471 9543174f78751e77af9b834304e41a8e docx.docx" ;;
  NTFS/zip.L01) echo "191590 9259dd63f39ddcc882c00a633eb682ed zip.zip" ;;
  exFAT/PrimaryFAT.L01) echo "655360 68176d0b673237df341dda2aaf852a9e Primary FAT" ;;
  exFAT/docx.L01) echo "14187 85da84af27762bc3c3276e5c77c17809 test.docx" ;;
  exFAT/zip.L01) echo "11309 c0079472368c1c5b6ed4c054dcdacbb5 exfatzip.zip" ;;
  FAT32/folder.L01 | NTFS/folder.L01) echo "dir - folder" ;;
  exFAT/folder.L01) echo "dir - testfol" ;;
  origin.L01) echo "15257 7a2188299adf0ae1290121cefb054709 ltree.xlsx" ;;
  esac
}
pristine_files="FAT32/PrimaryFAT.L01 FAT32/docx.L01 FAT32/folder.L01 FAT32/zip.L01 NTFS/docx.L01 NTFS/folder.L01
  NTFS/zip.L01 exFAT/PrimaryFAT.L01 exFAT/docx.L01 exFAT/folder.L01 exFAT/zip.L01 origin.L01"

# prop FILE PATH NAME: the value of NAME in the "7z l -slt" block of PATH.
prop() {
  # Through the environment: awk -v would read the backslashes of Windows paths as escapes.
  P=$2 N="$3 = " awk '/^Path = / { here = (substr($0, 8) == ENVIRON["P"]) }
    here && index($0, ENVIRON["N"]) == 1 { print substr($0, length(ENVIRON["N"]) + 1); exit }' "$1"
}

for h in $(e2e_hosts); do
  if [ "$h" = win ]; then sep='\'; else sep=/; fi
  for f in $pristine_files; do
    out=${f//\//_}.$h
    run7z "$h" l -slt "pristine/$f" >"$out.list" 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || { cat "$out.list" >&2; fail "$h: 7z l $f exit $rc"; }
    expect_contains "Type = L01" "$out.list"
    expect_not_contains "ERRORS:" "$out.list"
    # Listed paths: the root and the documented entries, nothing else.
    { echo LogicalEntries; documented "$f" | while read -r _ _ name; do echo "LogicalEntries$sep$name"; done; } |
      LC_ALL=C sort >"$out.paths.expected"
    awk '/^----------$/ { items = 1 } items && sub(/^Path = /, "")' "$out.list" | LC_ALL=C sort >"$out.paths"
    diff "$out.paths.expected" "$out.paths" >&2 || fail "$h: $f: listed paths differ from the documented ones"
    # Stored MD5s of the files (the origin has none: its "ha" is all zeros).
    documented "$f" | while read -r size md5 name; do
      [ "$size" = dir ] && continue
      path=LogicalEntries$sep$name
      expect_eq "$size" "$(prop "$out.list" "$path" Size)" "$h: $f: size of $name"
      if [ "$f" = origin.L01 ]; then want=""; else want=$(echo "$md5" | tr a-f A-F); fi
      expect_eq "$want" "$(prop "$out.list" "$path" MD5 | tr a-f A-F)" "$h: $f: stored MD5 of $name"
    done || exit 1

    run7z "$h" t "pristine/$f" >"$out.test" 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || { cat "$out.test" >&2; fail "$h: 7z t $f exit $rc"; }
    rm -rf "x.$h"
    run7z "$h" x -y "-ox.$h" "pristine/$f" >"$out.x" 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || { cat "$out.x" >&2; fail "$h: 7z x $f exit $rc"; }
    documented "$f" | while read -r size md5 name; do
      if [ "$size" = dir ]; then
        [ -d "x.$h/LogicalEntries/$name" ] || fail "$h: $f: folder $name not extracted as a folder"
      else
        expect_eq "$size $md5" "$(stat -c %s "x.$h/LogicalEntries/$name") $(md5_of "x.$h/LogicalEntries/$name")" \
          "$h: $f: extracted $name"
      fi
    done || exit 1
    [ "$(find "x.$h" -type f | wc -l)" -eq "$(documented "$f" | grep -vc '^dir ')" ] ||
      { find "x.$h" >&2; fail "$h: $f: extracted files other than the documented ones"; }
  done

  # Times are Unix seconds in the tree: cr, wr, ac.
  l=NTFS_docx.L01.$h.list
  expect_eq "2024-06-05 01:17:48" "$(prop "$l" "LogicalEntries${sep}doc.doc" Modified | cut -c1-19)" "$h: doc.doc modified"
  l=FAT32_docx.L01.$h.list
  expect_eq "2024-06-05 02:12:39" "$(prop "$l" "LogicalEntries${sep}fat32.docx" Created | cut -c1-19)" "$h: fat32.docx created"
  expect_eq "2024-06-05 02:12:40" "$(prop "$l" "LogicalEntries${sep}fat32.docx" Modified | cut -c1-19)" "$h: fat32.docx modified"
  expect_eq "2024-06-04 15:00:00" "$(prop "$l" "LogicalEntries${sep}fat32.docx" Accessed | cut -c1-19)" "$h: fat32.docx accessed"

  # Hand-edited files: whatever their damage, listing and testing end cleanly. The Linux host takes
  # them one by one; the slower Windows host takes them all in one call per command.
  find manipulated -type f | LC_ALL=C sort >manipulated.txt
  [ "$(wc -l <manipulated.txt)" -ge 50 ] || fail "expected the manipulation set, found $(wc -l <manipulated.txt) files"
  for cmd in l t; do
    if [ "$h" = linux ]; then
      while read -r f; do
        run7z "$h" $cmd "$f" >"m.$h.out" 2>&1
        rc=$?
        [ "$rc" -lt 128 ] && [ "$rc" -ne 124 ] || cat "m.$h.out" >&2
        expect_clean_exit "$rc" "$h: 7z $cmd $f"
      done <manipulated.txt
    else
      run7z "$h" $cmd -an '-air!manipulated/*' >"m.$h.out" 2>&1
      rc=$?
      [ "$rc" -lt 128 ] && [ "$rc" -ne 124 ] || tail -n 40 "m.$h.out" >&2
      expect_clean_exit "$rc" "$h: 7z $cmd over the manipulation set"
      expect_contains "Archives: $(wc -l <manipulated.txt)" "m.$h.out"
    fi
  done
  # Edits that tell: a tree edited without its MD5 mended is a headers error, still listed with the
  # new name; a changed file MD5 in a mended tree fails the file.
  run7z "$h" l -slt manipulated/simple_manipulation/ltreeENTnMOD.L01 >"n.$h.list" 2>&1
  expect_contains "Headers Error" "n.$h.list"
  expect_contains "Path = LogicalEntries${sep}abcde.fghi" "n.$h.list"
  run7z "$h" t manipulated/elaborate_manipulation/ltreeENTmd5MOD.L01 >"md5.$h.test" 2>&1
  expect_contains "CRC Failed : LogicalEntries${sep}ltree.xlsx" "md5.$h.test"
  expect_not_contains "Headers Error" "md5.$h.test"
  echo "$h: L01 samples listed, tested and extracted"
done
echo "l01_samples: passed"
