#!/usr/bin/env bash
# Ex01 images in both real hosts: deflate sets of several segments opened from the first, a middle
# and the last file; bzip2 images (header-less blocks as EnCase writes them, and whole streams);
# stored chunks; .iso and .bin/.cue naming; damage with every readable byte still written; random
# access through the driver for deflate and both bzip2 forms.
source "$(dirname "$0")/lib.sh"

e2e_workdir >/dev/null
writer=$VOR7Z_TOOLS/ex01_writer
[ -x "$writer" ] || fail "no $writer (build the tools)"

# 3 MiB and 2 KiB: 97 chunks of 32 KiB, the last one short (whole sectors of 2 KiB too).
"$VOR7Z_TOOLS/rawgen" disk.raw 3147776 7 40 30 30 0 65536 || fail "rawgen failed"
raw_md5=$(md5_of disk.raw)
raw_size=$(stat -c %s disk.raw)

write() { # folder options...
  local dir=$1
  shift
  mkdir -p "$dir" && "$writer" --in disk.raw --out "$dir/disk" "$@" || fail "ex01_writer $*"
}
write deflate --segment-chunks 40
write bzip2 --compress bzip2 --segment-chunks 40
write bzip2s --compress bzip2-stream
write mixed --compress mixed --no-md5
write optical --device-type c --chunk-sectors 16 --sector-size 2048
write sessions --device-type c --chunk-sectors 16 --sector-size 2048 --sessions 16,600
write damage/md5 --wrong-md5
# Text-like blocks only, so that every chunk is compressed.
"$VOR7Z_TOOLS/rawgen" text.raw 1M 3 0 100 0 || fail "rawgen failed"
mkdir -p damage/chunk && "$writer" --in text.raw --out damage/chunk/disk || fail "ex01_writer text"
write damage/stored --compress stored
write damage/descriptor
write damage/missing --segment-chunks 40
write damage/cut --segment-chunks 40
[ "$(ls deflate | wc -l)" -eq 3 ] || fail "expected three segments: $(ls deflate)"

# Damage: a byte in the middle of the sector data (a deflate chunk), a stored chunk's data (its
# checksum then fails), a descriptor's reserved bytes, a missing middle segment, a cut last one.
flip() { # file offset
  local b
  b=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "$(printf '\\%03o' $((b ^ 255)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
flip damage/chunk/disk.Ex01 $(($(stat -c %s damage/chunk/disk.Ex01) / 2))
flip damage/stored/disk.Ex01 $(($(stat -c %s damage/stored/disk.Ex01) / 2))
flip damage/descriptor/disk.Ex01 $(($(stat -c %s damage/descriptor/disk.Ex01) - 10))
rm damage/missing/disk.Ex02
truncate -s $(($(stat -c %s damage/cut/disk.Ex03) / 2)) damage/cut/disk.Ex03

# extract HOST FOLDER FILE: 7z x into x-HOST; sets RC and IMG (the image written).
extract() {
  rm -rf "x-$1"
  run7z_in "$1" "$2" "x-$1.txt" x -y "-o$PWD/x-$1" "$3"
  IMG=$(ls "x-$1"/*.img "x-$1"/*.iso "x-$1"/*.bin 2>/dev/null | head -n 1)
}

for host in $(e2e_hosts); do
  for file in deflate/disk.Ex01 deflate/disk.Ex02 deflate/disk.Ex03 bzip2/disk.Ex01 bzip2/disk.Ex03 \
    bzip2s/disk.Ex01 mixed/disk.Ex01 optical/disk.Ex01; do
    dir=$(dirname "$file") name=$(basename "$file")
    run7z_in "$host" "$dir" "l-$host.txt" l -slt "$name"
    expect_eq 0 "$RC" "$host: exit code of 7z l $file"
    expect_contains "Type = Ex01" "l-$host.txt"
    expect_contains "Size = $raw_size" "l-$host.txt"
    expect_contains "Case = case#" "l-$host.txt"
    expect_contains "Examiner = examiner" "l-$host.txt"
    [ "$dir" = mixed ] || expect_contains "MD5 = $raw_md5" "l-$host.txt"
    run7z_in "$host" "$dir" "t-$host.txt" t "$name"
    expect_eq 0 "$RC" "$host: exit code of 7z t $file"
    expect_contains "Everything is Ok" "t-$host.txt"
    extract "$host" "$dir" "$name"
    expect_eq 0 "$RC" "$host: exit code of 7z x $file"
    expect_eq "$raw_md5" "$(md5_of "$IMG")" "$host: MD5 of the image extracted from $file"
  done
  run7z_in "$host" optical "l-$host.txt" l -slt disk.Ex01
  expect_contains "Path = disk.iso" "l-$host.txt"

  # Sessions: a .bin and its .cue.
  extract "$host" sessions disk.Ex01
  expect_eq 0 "$RC" "$host: exit code of 7z x with sessions"
  expect_eq "$raw_md5" "$(md5_of "x-$host/disk.bin")" "$host: the .bin"
  expect_contains 'FILE "disk.bin" BINARY' "x-$host/disk.cue"
  expect_contains "INDEX 01" "x-$host/disk.cue"

  # Damage.
  run7z_in "$host" damage/md5 "d-$host.txt" t disk.Ex01
  expect_eq 2 "$RC" "$host: exit code with a wrong MD5"
  expect_contains "CRC Failed" "d-$host.txt"
  extract "$host" damage/md5 disk.Ex01
  expect_eq "$raw_md5" "$(md5_of "$IMG")" "$host: data of the image with a wrong MD5"

  run7z_in "$host" damage/chunk "d-$host.txt" t disk.Ex01
  expect_eq 2 "$RC" "$host: exit code with a damaged compressed chunk"
  expect_contains "Data Error" "d-$host.txt"

  extract "$host" damage/stored disk.Ex01
  expect_eq 2 "$RC" "$host: exit code with a damaged stored chunk"
  expect_contains "CRC Failed" "x-$host.txt"
  expect_eq "$raw_size" "$(stat -c %s "$IMG")" "$host: every byte of the image with a damaged stored chunk"

  extract "$host" damage/descriptor disk.Ex01
  expect_contains "CRC Error" "x-$host.txt"
  expect_eq "$raw_md5" "$(md5_of "$IMG")" "$host: data of the image with a damaged descriptor"

  for d in missing cut; do
    extract "$host" "damage/$d" disk.Ex01
    expect_eq 2 "$RC" "$host: exit code with a $d segment"
    expect_contains "Unexpected end" "x-$host.txt"
    head -c $((40 * 32768)) disk.raw | md5sum | cut -d' ' -f1 >want.txt
    expect_eq "$(cat want.txt)" "$(head -c $((40 * 32768)) "$IMG" | md5sum | cut -d' ' -f1)" \
      "$host: the chunks before the $d segment"
  done
done

# Random access: deflate across segments, both bzip2 forms, stored chunks.
driver=$VOR7Z_TOOLS/vor7z_driver
for file in deflate/disk.Ex01 bzip2/disk.Ex01 bzip2s/disk.Ex01 mixed/disk.Ex01; do
  (cd "$(dirname "$file")" && "$driver" --codecs randread Ex01 "$(basename "$file")" "$OLDPWD/disk.raw" 2000 1) >r.txt 2>&1 ||
    { cat r.txt >&2; fail "randread $file"; }
  expect_contains ", 0 errors" r.txt
done
exit 0
