#!/usr/bin/env bash
# AFF images in both real hosts: files written by the peer tool (zlib, LZMA and stored pages, 64 KiB
# and default page sizes, an image that is no multiple of the page size, a multi-file set), bzip2
# and SHA-256 images from our writer, the damage reports, and random access through the driver.
source "$(dirname "$0")/lib.sh"

command -v affconvert >/dev/null || e2e_skip "no affconvert (install afflib-tools)"
e2e_workdir >/dev/null
writer=$VOR7Z_TOOLS/aff_writer
[ -x "$writer" ] || fail "no $writer (build the tools)"

# 3 MiB and a bit, so the last 64 KiB page is short; whole 64 KiB zero blocks become zero pages.
"$VOR7Z_TOOLS/rawgen" disk.raw 3146962 7 40 30 30 0 65536 || fail "rawgen failed"
raw_md5=$(md5_of disk.raw)
raw_size=$(stat -c %s disk.raw)

# Each image in its own folder, named after its raw source as the peer tool wants.
peer() { # folder options...
  local dir=$1
  shift
  mkdir -p "$dir" && cp disk.raw "$dir/disk.raw"
  (cd "$dir" && affconvert -q "$@" disk.raw >/dev/null 2>&1 && rm disk.raw) || fail "affconvert $* failed"
}
peer zlib -s64k
peer lzma -L -s64k
peer stored -x -s64k
peer default
mkdir -p set && cp disk.raw set/disk.raw
(cd set && affconvert -q -M512k -s64k -oimage.afd disk.raw >/dev/null 2>&1) || fail "affconvert -M failed"
set_files=$(ls set/image.afd | tr '\n' ' ')
[ "$(ls set/image.afd | wc -l)" -ge 3 ] || fail "expected a set of at least 3 files, got: $set_files"
mkdir -p bzip2 && "$writer" --in disk.raw --out bzip2/disk.aff --compress bzip2 --digests sha256 || fail "aff_writer bzip2"

# Damage.
mkdir -p damage
"$writer" --in disk.raw --out damage/wrongmd5.aff --wrong-digests || fail "aff_writer wrong digests"
"$writer" --in disk.raw --out damage/nopage0.aff --skip-page 0 || fail "aff_writer skip page"
page_offset() { grep -obUa "$2" "$1" | head -n 1 | cut -d: -f1; }
cp zlib/disk.aff damage/badmagic.aff
off=$(page_offset damage/badmagic.aff page20)
printf 'X' | dd of=damage/badmagic.aff bs=1 seek=$((off - 16)) conv=notrunc status=none
cp zlib/disk.aff damage/cut.aff
off=$(page_offset damage/cut.aff page20)
truncate -s $((off + 5 + 200)) damage/cut.aff
mkdir -p damage/missing && cp -r set/image.afd damage/missing/ && rm damage/missing/image.afd/file_001.aff

# What the peer tool says about its own files.
hexdigest() { affinfo -w "$1" | awk -v s="$2" '$1 == s { $1 = $2 = $3 = ""; gsub(/ /, ""); print tolower($0) }'; }
zlib_sha1=$(hexdigest zlib/disk.aff sha1)
zlib_gid=$(hexdigest zlib/disk.aff image_gid)
zlib_cmd=$(affinfo -w zlib/disk.aff | awk '$1 == "acquisition_commandline" { $1 = $2 = $3 = ""; sub(/^ +/, ""); print }')
zlib_date=$(affinfo -w zlib/disk.aff | awk '$1 == "acquisition_date" { print $4 " " substr($5, 1, 8) }')
[ -n "$zlib_sha1" ] && [ -n "$zlib_gid" ] || fail "affinfo gave no digest or image_gid"
# The GUID text: the first three groups little-endian.
g=$zlib_gid
zlib_guid=$(printf '{%s-%s-%s-%s-%s}' "${g:6:2}${g:4:2}${g:2:2}${g:0:2}" "${g:10:2}${g:8:2}" "${g:14:2}${g:12:2}" \
  "${g:16:4}" "${g:20:12}" | tr a-f A-F)

for host in $(e2e_hosts); do
  # Good images: listed, tested and extracted to the raw bytes.
  for file in zlib/disk.aff lzma/disk.aff stored/disk.aff default/disk.aff bzip2/disk.aff set/image.afd/file_000.aff; do
    dir=$(dirname "$file") name=$(basename "$file")
    (cd "$dir" && run7z "$host" l -slt "$name") >"l-$host.txt" 2>&1
    rc=$?
    expect_clean_exit "$rc" "$host: 7z l $file"
    expect_eq 0 "$rc" "$host: exit code of 7z l $file"
    expect_contains "Type = AFF" "l-$host.txt"
    expect_contains "Size = $raw_size" "l-$host.txt"
    [ "$file" = bzip2/disk.aff ] || expect_contains "MD5 = $raw_md5" "l-$host.txt"

    (cd "$dir" && run7z "$host" t "$name") >"t-$host.txt" 2>&1
    rc=$?
    expect_clean_exit "$rc" "$host: 7z t $file"
    expect_eq 0 "$rc" "$host: exit code of 7z t $file"
    expect_contains "Everything is Ok" "t-$host.txt"

    out=$PWD/x-$host
    rm -rf "$out"
    (cd "$dir" && run7z "$host" x -y "-o$out" "$name") >"x-$host.txt" 2>&1
    rc=$?
    expect_clean_exit "$rc" "$host: 7z x $file"
    expect_eq 0 "$rc" "$host: exit code of 7z x $file"
    img=$(ls "$out"/*.img 2>/dev/null | head -n 1)
    [ -n "$img" ] || fail "$host: 7z x $file wrote no image"
    expect_eq "$raw_md5" "$(md5_of "$img")" "$host: MD5 of the image extracted from $file"
  done

  # Properties as the peer tool reports them.
  (cd zlib && run7z "$host" l -slt disk.aff) >"p-$host.txt" 2>&1
  expect_contains "SHA-1 = $zlib_sha1" "p-$host.txt"
  expect_contains "ID = $zlib_guid" "p-$host.txt"
  expect_contains "Acquisition command line = $zlib_cmd" "p-$host.txt"
  expect_contains "AffLib version = \"3.7.20\"" "p-$host.txt"
  expect_contains "Date acquired = $zlib_date" "p-$host.txt"

  # Damage: the result the host prints and the data kept before the damage.
  (cd damage && run7z "$host" t wrongmd5.aff) >"d-$host.txt" 2>&1
  rc=$?
  expect_clean_exit "$rc" "$host: wrong MD5"
  expect_eq 2 "$rc" "$host: exit code with a wrong MD5"
  expect_contains "CRC Failed" "d-$host.txt"
  rm -rf "x-$host"
  (cd damage && run7z "$host" x -y "-o../x-$host" wrongmd5.aff) >/dev/null 2>&1
  expect_eq "$raw_md5" "$(md5_of "x-$host/wrongmd5.img")" "$host: data of the image with a wrong MD5"

  (cd damage && run7z "$host" t nopage0.aff) >"d-$host.txt" 2>&1
  rc=$?
  expect_clean_exit "$rc" "$host: no page0"
  expect_eq 2 "$rc" "$host: exit code without page0"
  expect_contains "open the file as" "d-$host.txt"

  (cd damage && run7z "$host" t badmagic.aff) >"d-$host.txt" 2>&1
  rc=$?
  expect_clean_exit "$rc" "$host: bad segment magic"
  expect_eq 2 "$rc" "$host: exit code with a bad segment magic"
  expect_contains "Headers Error" "d-$host.txt"

  (cd damage && run7z "$host" t cut.aff) >"d-$host.txt" 2>&1
  rc=$?
  expect_clean_exit "$rc" "$host: truncated page"
  expect_eq 2 "$rc" "$host: exit code with a truncated page"
  expect_contains "Unexpected end" "d-$host.txt"
  rm -rf "x-$host"
  (cd damage && run7z "$host" x -y "-o../x-$host" cut.aff) >/dev/null 2>&1
  head -c $((20 * 65536)) disk.raw >head.raw
  expect_eq "$(md5_of head.raw)" "$(head -c $((20 * 65536)) "x-$host/cut.img" | md5sum | cut -d' ' -f1)" \
    "$host: pages before the truncated one"

  (cd damage/missing/image.afd && run7z "$host" t file_000.aff) >"d-$host.txt" 2>&1
  rc=$?
  expect_clean_exit "$rc" "$host: missing file of a set"
  expect_eq 2 "$rc" "$host: exit code with a missing file of a set"
  expect_contains "Unexpected end" "d-$host.txt"
done

# Random access: stored, zlib, zero, LZMA and bzip2 pages (the last two through the host's codecs),
# also across the files of a set.
driver=$VOR7Z_TOOLS/vor7z_driver
for file in zlib/disk.aff stored/disk.aff default/disk.aff lzma/disk.aff bzip2/disk.aff set/image.afd/file_000.aff; do
  (cd "$(dirname "$file")" && "$driver" --codecs randread AFF "$(basename "$file")" "$OLDPWD/disk.raw" 2000 1) >r.txt 2>&1 ||
    { cat r.txt >&2; fail "randread $file"; }
  expect_contains ", 0 errors" r.txt
done
exit 0
