#!/usr/bin/env bash
# WHX backups in both real hosts: listing, testing and extracting single- and multi-volume backups,
# stored and deflated with every check, the damage reports (wrong digest, cut deflate slice, missing
# volume) with the data before the damage kept, and random access over a stored chain.
source "$(dirname "$0")/lib.sh"

e2e_workdir >/dev/null
writer=$VOR7Z_TOOLS/whx_writer
[ -x "$writer" ] || fail "no $writer (build the tools)"

# A 3 MiB image of mixed content: runs that deflate well and noise that does not.
{
  head -c 1048576 /dev/zero
  seq -f 'sector %08g of the WHX end-to-end image....' 1 30000 | head -c 1048576
  head -c 1048576 /dev/urandom
} >disk.raw
raw_md5=$(md5_of disk.raw)
raw_size=$(stat -c %s disk.raw)

# Each backup in its own folder, so a host only finds the volumes that belong to it.
make_whx() { # folder name args...
  local dir=$1 name=$2
  shift 2
  mkdir -p "$dir"
  "$writer" --in disk.raw --out "$dir/$name" "$@" || fail "whx_writer $* failed"
}
make_whx single disk.whx --checks md5,sha1
make_whx stored3 disk.whx --volumes 3 --checks all --e1 12 --e2 40
make_whx deflate3 Disk.whx --volumes 3 --compress deflate --checks all --names Disk.whx,DISK2.whx,disk3.whx
make_whx badsum bad.whx --volumes 3 --checks sha256,md5 --corrupt-check 2:sha256
make_whx cut cut.whx --volumes 3 --compress deflate --checks crc32 --truncate 2:3000
make_whx missing miss.whx --volumes 3 --checks md5 --missing 3

third=$((raw_size / 3))

for host in $(e2e_hosts); do
  # Listing: one item named after the backup, with the image size.
  for case in single/disk.whx:disk.img stored3/disk.whx:disk.img deflate3/Disk.whx:Disk.img; do
    file=${case%%:*} item=${case##*:}
    (cd "$(dirname "$file")" && run7z "$host" l -slt "$(basename "$file")") >"l-$host.txt" 2>&1
    rc=$?
    expect_clean_exit "$rc" "$host: 7z l $file"
    expect_eq 0 "$rc" "$host: exit code of 7z l $file"
    expect_contains "Type = WHX" "l-$host.txt"
    expect_contains "Size = $raw_size" "l-$host.txt"
    expect_contains "Path = $item" "l-$host.txt"
    (cd "$(dirname "$file")" && run7z "$host" l "$(basename "$file")") >"l-$host.txt" 2>&1
    expect_contains " $item" "l-$host.txt"
    [ "$(grep -c "$item\$" "l-$host.txt")" = 1 ] || { cat "l-$host.txt" >&2; fail "$host: $file lists more than one item"; }

    (cd "$(dirname "$file")" && run7z "$host" t "$(basename "$file")") >"t-$host.txt" 2>&1
    rc=$?
    expect_clean_exit "$rc" "$host: 7z t $file"
    expect_eq 0 "$rc" "$host: exit code of 7z t $file"
    expect_contains "Everything is Ok" "t-$host.txt"

    # Opening volume 1 extracts every volume of the chain.
    out=x-$host-$(dirname "$file")
    (cd "$(dirname "$file")" && run7z "$host" x -y "-o../$out" "$(basename "$file")") >"x-$host.txt" 2>&1
    rc=$?
    expect_clean_exit "$rc" "$host: 7z x $file"
    expect_eq 0 "$rc" "$host: exit code of 7z x $file"
    expect_eq "$raw_md5" "$(md5_of "$out/$item")" "$host: MD5 of $item from $file"
  done

  # A wrong SHA-256 in volume 2: CRC Failed, every volume written as it is.
  (cd badsum && run7z "$host" x -y "-o../xb-$host" bad.whx) >"bad-$host.txt" 2>&1
  rc=$?
  expect_clean_exit "$rc" "$host: 7z x bad.whx"
  expect_eq 2 "$rc" "$host: exit code of 7z x bad.whx"
  expect_contains "CRC Failed" "bad-$host.txt"
  expect_eq "$raw_md5" "$(md5_of "xb-$host/bad.img")" "$host: data around the wrong digest"

  # A deflate slice cut short: Data Error, what it decoded before the cut and volume 3 at their place,
  # zeros between.
  (cd cut && run7z "$host" x -y "-o../xc-$host" cut.whx) >"cut-$host.txt" 2>&1
  rc=$?
  expect_clean_exit "$rc" "$host: 7z x cut.whx"
  expect_eq 2 "$rc" "$host: exit code of 7z x cut.whx"
  expect_contains "Data Error" "cut-$host.txt"
  expect_eq "$(stat -c %s disk.raw)" "$(stat -c %s "xc-$host/cut.img")" "$host: size of the image cut in volume 2"
  cmp -s -n $((third + 1)) disk.raw "xc-$host/cut.img" || fail "$host: data before the cut"
  cmp -s -i $((2 * third)) disk.raw "xc-$host/cut.img" || fail "$host: volume 3 after the cut"

  # A missing last volume: the archive reports its unexpected end and extracts what is there.
  (cd missing && run7z "$host" x -y "-o../xm-$host" miss.whx) >"miss-$host.txt" 2>&1
  rc=$?
  expect_clean_exit "$rc" "$host: 7z x miss.whx"
  expect_eq 2 "$rc" "$host: exit code of 7z x miss.whx"
  expect_contains "Unexpected end of archive" "miss-$host.txt"
  expect_eq "$(head -c $((2 * third)) disk.raw | md5sum | cut -d' ' -f1)" "$(md5_of "xm-$host/miss.img")" \
    "$host: data of the volumes before the missing one"
  echo "$host: WHX listed, tested, extracted; damage reported with the data before it kept"
done

# Random access over the stored three-volume chain, compared with the source image.
driver=$VOR7Z_TOOLS/vor7z_driver
[ -x "$driver" ] || fail "no $driver (build the tools)"
(cd stored3 && "$driver" randread WHX disk.whx ../disk.raw 2000 1) >randread.txt 2>&1 ||
  { cat randread.txt >&2; fail "random reads over the stored WHX chain differ from the image"; }
echo "random access: 2000 reads over the stored chain match"
