#!/usr/bin/env bash
# AFF4 containers from our writer in both real hosts: each compression, symbolic ranges and gaps,
# a set striped over three volumes opened from its last one, every digest kind, a logical
# container; damage (a wrong image digest, a changed chunk, a missing stripe); random access
# through the driver.
source "$(dirname "$0")/lib.sh"

e2e_workdir >/dev/null
writer=$VOR7Z_TOOLS/aff4_writer
[ -x "$writer" ] || fail "no $writer (build the tools)"

# 3 MiB and a bit: zero, text and random 64 KiB blocks.
"$VOR7Z_TOOLS/rawgen" disk.raw 3146962 11 40 30 30 0 65536 || fail "rawgen failed"

# name | writer options | expected image (raw, or the raw with ranges patched by the reader's rules)
mkdir -p snappy lz4 deflate zlib stored ranges striped digests damage logical
"$writer" --in disk.raw --out snappy/disk.aff4 || fail "writer snappy"
"$writer" --in disk.raw --out lz4/disk.aff4 --compress lz4 --chunk-size 65536 || fail "writer lz4"
"$writer" --in disk.raw --out deflate/disk.aff4 --compress deflate --chunks-per-bevy 7 || fail "writer deflate"
"$writer" --in disk.raw --out zlib/disk.aff4 --compress zlib --image-hashes SHA1 || fail "writer zlib"
"$writer" --in disk.raw --out stored/disk.aff4 --compress stored --image-hashes SHA256 || fail "writer stored"
"$writer" --in disk.raw --out striped/disk.aff4 --stripes 3 --block-hashes MD5 --stream-hashes SHA1 --block-map-hash ||
  fail "writer striped"
"$writer" --in disk.raw --out digests/disk.aff4 --image-hashes MD5,SHA1,SHA256,SHA512,Blake2b \
  --block-hashes MD5,SHA1,SHA256,SHA512,Blake2b --stream-hashes MD5 --block-map-hash --chunks-per-bevy 9 ||
  fail "writer digests"
# FF at the start, unknown and unreadable data, a gap left to the unknown-data gap stream.
"$writer" --in disk.raw --out ranges/disk.aff4 --range 0:65536:FF --range 131072:1048576:UnknownData \
  --range 1310720:65536:UnreadableData --range 1572864:98304: --gap UnknownData || fail "writer ranges"
"$writer" --in disk.raw --out damage/wrong.aff4 --wrong-image-hash || fail "writer wrong digest"
"$writer" --in disk.raw --out damage/chunk.aff4 --compress stored --block-hashes SHA1 || fail "writer chunk"
# A byte inside the bevy's stored chunks: its block hash no longer matches.
at=$(grep -obUa '/00000000' damage/chunk.aff4 | head -n 1 | cut -d: -f1)
printf 'Z' | dd of=damage/chunk.aff4 bs=1 seek=$((at + 29 + 40000)) conv=notrunc status=none
mkdir -p damage/missing && "$writer" --in disk.raw --out damage/missing/disk.aff4 --stripes 2 || fail "writer missing"
rm damage/missing/disk_2.aff4
printf 'hello' >a.txt && head -c 100000 disk.raw >b.bin
"$writer" --logical docs/a.txt=a.txt --logical docs/deep/b.bin=b.bin --out logical/files.aff4 || fail "writer logical"

raw_sha1=$(sha1sum disk.raw | cut -d' ' -f1)
# The ranges image: the same bytes patched with the symbolic streams' patterns.
python3 - disk.raw ranges.raw <<'EOF' || fail "cannot make the expected ranges image"
import sys
d = bytearray(open(sys.argv[1], 'rb').read())
def fill(pattern, start, length):
    for i in range(start, start + length):
        d[i] = pattern[(i % (1 << 20)) % len(pattern)]
fill(b'\xff', 0, 65536)
fill(b'UNKNOWN', 131072, 1048576)
fill(b'UNREADABLEDATA', 1310720, 65536)
fill(b'UNKNOWN', 1572864, 98304)
open(sys.argv[2], 'wb').write(d)
EOF
ranges_sha1=$(sha1sum ranges.raw | cut -d' ' -f1)

for host in $(e2e_hosts); do
  for file in snappy/disk.aff4 lz4/disk.aff4 deflate/disk.aff4 zlib/disk.aff4 stored/disk.aff4 \
    striped/disk_3.aff4 digests/disk.aff4 ranges/disk.aff4; do
    dir=$(dirname "$file") name=$(basename "$file")
    want=$raw_sha1
    [ "$dir" = ranges ] && want=$ranges_sha1
    run7z_in "$host" "$dir" "l-$host.txt" l -slt "$name"
    expect_eq 0 "$RC" "$host: exit code of 7z l $file"
    expect_contains "Type = AFF4" "l-$host.txt"
    expect_contains "Size = $(stat -c %s disk.raw)" "l-$host.txt"
    expect_contains "Case = Case 7" "l-$host.txt"
    expect_contains "Creator Application = vor7z test writer" "l-$host.txt"
    run7z_in "$host" "$dir" "t-$host.txt" t "$name"
    expect_eq 0 "$RC" "$host: exit code of 7z t $file"
    expect_contains "Everything is Ok" "t-$host.txt"
    out=$PWD/x-$host
    rm -rf "$out"
    run7z_in "$host" "$dir" "x-$host.txt" x -y "-o$out" "$name"
    expect_eq 0 "$RC" "$host: exit code of 7z x $file"
    expect_eq "$want" "$(sha1sum "$out"/*.img | cut -d' ' -f1)" "$host: SHA-1 of the image of $file"
  done

  # A stored digest of other data, and a changed chunk: CRC errors, the bytes still extracted.
  for file in wrong.aff4 chunk.aff4; do
    run7z_in "$host" damage "d-$host.txt" t "$file"
    expect_eq 2 "$RC" "$host: exit code of 7z t damage/$file"
    expect_contains "CRC Failed" "d-$host.txt"
  done
  run7z_in "$host" damage/missing "d-$host.txt" t disk_1.aff4
  expect_eq 2 "$RC" "$host: exit code with a missing stripe"
  expect_contains "Unexpected end" "d-$host.txt"

  # The logical container: its folders and files, extracted and checked against their digests.
  rm -rf "x-$host"
  run7z_in "$host" logical "x-$host.txt" x -y "-o$PWD/x-$host" files.aff4
  expect_eq 0 "$RC" "$host: exit code of 7z x logical/files.aff4"
  expect_eq "$(md5_of b.bin)" "$(md5_of "x-$host/docs/deep/b.bin")" "$host: logical file b.bin"
  expect_eq hello "$(cat "x-$host/docs/a.txt")" "$host: logical file a.txt"
done

# Random access, also across the volumes of a striped set and through symbolic ranges.
driver=$VOR7Z_TOOLS/vor7z_driver
for file in snappy/disk.aff4 lz4/disk.aff4 deflate/disk.aff4 striped/disk_1.aff4 ranges/disk.aff4; do
  reference=$PWD/disk.raw
  [ "$(dirname "$file")" = ranges ] && reference=$PWD/ranges.raw
  (cd "$(dirname "$file")" && "$driver" randread AFF4 "$(basename "$file")" "$reference" 2000 5) >r.txt 2>&1 ||
    { cat r.txt >&2; fail "randread $file"; }
  expect_contains ", 0 errors" r.txt
done
exit 0
