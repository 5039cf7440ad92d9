#!/usr/bin/env bash
# Sparse files in L01 sets, in both real hosts: a file of one byte repeated stored as that byte, a
# file flagged sparse but stored whole, and a duplicate whose data lies with an earlier file (its one
# stored byte ignored), with plain and typed ("S") extents. Listed with their sizes and the flag,
# tested, extracted byte for byte under their stored MD5 or SHA-1, and read at random places
# through the driver; a wrong stored MD5 on a sparse file fails that file only. libewf's export
# agrees for the one-byte form and duplicates (it repeats the first byte of a whole stored extent
# too, and refuses typed extents, so it is not asked about those).
source "$(dirname "$0")/lib.sh"

e2e_workdir >/dev/null
E2E_TIMEOUT=120
writer=$VOR7Z_TOOLS/l01_writer
driver=$VOR7Z_TOOLS/vor7z_driver
[ -x "$writer" ] && [ -x "$driver" ] || fail "no $writer or $driver (build the tools)"

# In name order, which is the order of the items after the root: fill.dat 1, orig.bin 2, tail.txt 3,
# whole.bin 4, z-copy.bin 5, zeros.bin 6, zz-last.txt 7. Each sparse file spans several 32 KiB chunks;
# tail.txt and zz-last.txt lie behind sparse ones in the data image.
mkdir src
head -c 70001 /dev/zero | tr '\0' 'A' >src/fill.dat
"$VOR7Z_TOOLS/rawgen" src/orig.bin 90000 7 0 50 50 0 4096 || fail "rawgen failed"
seq -f 'line %g after a sparse file' 1 3000 >src/tail.txt
"$VOR7Z_TOOLS/rawgen" src/whole.bin 50000 8 0 50 50 0 4096 || fail "rawgen failed"
cp src/orig.bin src/z-copy.bin
head -c 200000 /dev/zero >src/zeros.bin
seq 5 900 >src/zz-last.txt

sparse=(--sparse fill.dat --sparse zeros.bin --duplicate z-copy.bin=orig.bin)
make_l01() { # FOLDER OPTIONS...
  local dir=$1
  shift
  mkdir -p "$dir"
  "$writer" --from src --out "$dir/logical.L01" "$@" || fail "l01_writer $* failed"
}
make_l01 one "${sparse[@]}" --digests both
make_l01 typed "${sparse[@]}" --sparse-whole whole.bin --typed-extents --digests sha1 --stored --chunks-per-segment 3
[ -f typed/logical.L02 ] || fail "expected several segments: $(ls typed)"
make_l01 wrongmd5 "${sparse[@]}" --wrong-md5 fill.dat

if command -v ewfexport >/dev/null; then
  ewfexport -q -f files -t ewf-one one/logical.L01 >ewf.log 2>&1 || { cat ewf.log >&2; fail "ewfexport one"; }
  diff -r src ewf-one/LogicalEntries >&2 || fail "libewf's export of the sparse files differs from the source"
fi

# "name|size|characteristics" of the files in a "7z l -slt" listing.
listed_files() {
  awk '/^----------$/ { items = 1; next }
       !items { next }
       /^Path = / { if (p != "" && f == "-") print p "|" s "|" c; p = substr($0, 8); f = s = c = "" }
       /^Folder = / { f = substr($0, 10) }
       /^Size = / { s = substr($0, 8) }
       /^Characteristics = / { c = substr($0, 19) }
       END { if (p != "" && f == "-") print p "|" s "|" c }' "$1" | sed 's/^.*[\\/]//'
}
expected_files() { # SPARSE-NAMES...
  local f flag
  for f in src/*; do
    flag=
    for s in "$@"; do [ "$s" = "${f#src/}" ] && flag=", 04000000"; done
    echo "${f#src/}|$(stat -c %s "$f")|Archive$flag"
  done
}
expected_files fill.dat z-copy.bin zeros.bin >expected-one.txt
expected_files fill.dat whole.bin z-copy.bin zeros.bin >expected-typed.txt

for host in $(e2e_hosts); do
  for dir in one typed; do
    run7z_in "$host" $dir "l-$host.txt" l -slt logical.L01
    expect_eq 0 "$RC" "$host: exit code of 7z l $dir"
    listed_files "l-$host.txt" >"files-$host.txt"
    diff "expected-$dir.txt" "files-$host.txt" >&2 || fail "$host: $dir: files listed differ"

    run7z_in "$host" $dir "t-$host.txt" t logical.L01
    expect_eq 0 "$RC" "$host: exit code of 7z t $dir"
    expect_contains "Everything is Ok" "t-$host.txt"

    rm -rf "x-$host"
    run7z_in "$host" $dir "x-$host.txt" x -y "-o../x-$host" logical.L01
    expect_eq 0 "$RC" "$host: exit code of 7z x $dir"
    diff -r src "x-$host/LogicalEntries" >&2 || fail "$host: $dir: extracted tree differs from the source"
  done

  # The digest covers the whole repeated bytes: a wrong one fails fill.dat after all of them were
  # written; the files behind it pass.
  rm -rf "x-$host"
  run7z_in "$host" wrongmd5 "d-$host.txt" x -y "-o../x-$host" logical.L01
  expect_eq 2 "$RC" "$host: exit code of 7z x with a wrong MD5"
  grep -qE "CRC Failed : LogicalEntries.fill.dat" "d-$host.txt" ||
    { cat "d-$host.txt" >&2; fail "$host: no CRC failure for fill.dat"; }
  expect_contains "Sub items Errors: 1" "d-$host.txt"
  diff -r src "x-$host/LogicalEntries" >&2 || fail "$host: wrongmd5: extracted tree differs from the source"
  echo "$host: sparse files listed, tested and extracted"
done

# Random reads through each file's own stream, with the plugin the Linux host loads.
for item in 1:fill.dat 4:whole.bin 5:z-copy.bin 6:zeros.bin 7:zz-last.txt; do
  (cd typed && timeout -k 5 300 "$driver" --plugin "$(host_formats_dir linux)/vor7z.so" --item "${item%%:*}" \
    randread L01 logical.L01 "../src/${item#*:}" 500 "${item%%:*}" 40000) >r.txt 2>&1 ||
    { cat r.txt >&2; fail "randread ${item#*:}"; }
  expect_contains ", 0 errors" r.txt
done
exit 0
