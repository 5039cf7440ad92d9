#!/usr/bin/env bash
# Media whose size is not a whole number of sectors. ewfacquire (and the libewf that wrote the
# shared sample ewf.E01, 4,097 bytes) stores every byte in the last chunk and hashes them all,
# while the volume section can only count whole sectors. The image must come out whole: the
# raw size, the raw bytes, a clean test against the stored MD5.
# Cutting the image at the last whole sector (and then reporting the stored MD5, or the last
# stored chunk's checksum, as wrong) is named as such in the failure.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/e01_data.sh"
e2e_workdir >/dev/null

# e01_check_odd HOST ARCHIVE RAW NAME
e01_check_odd() {
  local host=$1 arc=$2 raw=$3 name=$4 size cut got
  size=$(stat -c %s "$raw")
  cut=$((size / 512 * 512))
  e01_run "$host" "$arc.$host.list" l -slt "$arc"
  [ "$E01_RC" -eq 0 ] || { cat "$arc.$host.list" >&2; fail "$host: 7z l $arc exit $E01_RC"; }
  got=$(e01_item_props "$arc.$host.list" | awk '/^Size = / { print $3; exit }')
  e01_run "$host" "$arc.$host.test" t "$arc"
  rm -rf "out.$host"
  e01_run "$host" "$arc.$host.x" x -y "-oout.$host" "$arc"
  [ -f "out.$host/$name" ] || { cat "$arc.$host.x" >&2; fail "$host: 7z x $arc wrote no $name"; }
  if [ "$got" = "$size" ] && grep -q "Everything is Ok" "$arc.$host.test" && cmp -s "out.$host/$name" "$raw"; then
    return 0
  fi
  if [ "$got" = "$cut" ] && grep -q "CRC Failed" "$arc.$host.test" &&
    [ "$(stat -c %s "out.$host/$name")" = "$cut" ] && cmp -s -n "$cut" "out.$host/$name" "$raw"; then
    fail "$host: $arc: $size bytes shown as $cut (cut at the last whole sector), 7z t reports CRC Failed"
  fi
  cat "$arc.$host.list" "$arc.$host.test" >&2
  fail "$host: $arc: listed $got bytes, wrote $(stat -c %s "out.$host/$name"), raw $size"
}

e01_raw odd.raw 3000001 4 30 30 40
e01_acquire odd_none odd.raw -c none
e01_acquire odd_fast odd.raw -c fast
e01_acquire odd_b16 odd.raw -c best -b 16
samples=""
for d in "$VOR7Z_SRC/../shared/samples/e01" /work/shared/samples/e01; do
  if [ -d "$d" ]; then samples=$(cd "$d" && pwd); break; fi
done
if [ -n "$samples" ]; then
  cp "$samples/fox-it-dissect.evidence/ewf.E01" .
  # The sample's content, as its source documents it: DE AD BE EF x 1024, then a line feed.
  { for _ in $(seq 1024); do printf '\336\255\276\357'; done; printf '\n'; } >ewf.raw
  expect_eq 4a225557e15472d956eb5fe34eed3b9d "$(md5_of ewf.raw)" "the documented content of ewf.E01"
fi

for h in $(e2e_hosts); do
  for t in odd_none odd_fast odd_b16; do
    e01_check_odd "$h" "$t.E01" odd.raw "$t.img"
  done
  [ -z "$samples" ] || e01_check_odd "$h" ewf.E01 ewf.raw ewf.img
done


echo "e01_odd_size: passed"
