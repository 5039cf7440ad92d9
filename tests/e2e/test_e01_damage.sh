#!/usr/bin/env bash
# Damaged E01 evidence: a missing middle segment, a foreign segment in its place, a truncated
# last segment, a flipped byte inside a compressed chunk, inside a stored chunk and inside the
# stored MD5, a flipped bit in a section descriptor, and a few files that only look like E01s.
# Each gives 7-Zip's matching report (exit code 2 with "Unexpected end of data", "Data Error" or
# "CRC Failed" for the item, the archive's error flags where its structure is hurt), every
# readable byte is still written at its place (the segments after a missing one too, the whole
# image past a damaged descriptor), and nothing crashes or hangs.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/e01_data.sh"
e2e_workdir >/dev/null
E2E_TIMEOUT=120

chunk=32768
e01_raw dmg.raw 4718592 13 15 15 70
e01_acquire set dmg.raw -f encase6 -c fast -S 1MiB
[ -f set.E04 ] || fail "expected at least four segments"
e01_acquire one dmg.raw -f encase6 -c fast

# e01_expect_damage HOST ARCHIVE ITEM REPORT PREFIX [FULL]: 7z t and 7z x both end with exit code
# 2 and REPORT; the extracted ITEM starts with the first PREFIX bytes of the raw image; FULL=full
# also wants the whole raw size written.
e01_expect_damage() {
  local host=$1 arc=$2 item=$3 report=$4 prefix=$5 full=${6:-} size
  e01_run "$host" "$arc.$host.test" t "$arc"
  [ "$E01_RC" -eq 2 ] || { cat "$arc.$host.test" >&2; fail "$host: 7z t $arc: exit $E01_RC, expected 2"; }
  expect_contains "$report" "$arc.$host.test"
  rm -rf "out.$host"
  e01_run "$host" "$arc.$host.x" x -y "-oout.$host" "$arc"
  [ "$E01_RC" -eq 2 ] || { cat "$arc.$host.x" >&2; fail "$host: 7z x $arc: exit $E01_RC, expected 2"; }
  expect_contains "$report" "$arc.$host.x"
  [ -f "out.$host/$item" ] || { ls -la "out.$host" >&2; fail "$host: 7z x $arc kept no $item"; }
  size=$(stat -c %s "out.$host/$item")
  [ "$size" -ge "$prefix" ] || fail "$host: $arc: $size bytes written, expected at least $prefix"
  cmp -s -n "$prefix" "out.$host/$item" dmg.raw || fail "$host: $arc: the first $prefix bytes differ from the raw image"
  if [ "$full" = full ]; then expect_eq "$(stat -c %s dmg.raw)" "$size" "$host: $arc: bytes written"; fi
  echo "$host: $arc: '$report', $size bytes written, first $prefix checked"
}

n1=$(e01_chunks set.E01 | wc -l)
n2=$(e01_chunks set.E02 | wc -l)

# A missing middle segment: the set ends after segment 1, whichever segment was opened; the
# image keeps its full size, so the rest is an unexpected end.
mkdir miss && cp set.E0* miss/ && rm miss/set.E02
# A foreign segment in the place of segment 2 (its header says 3): the set ends after segment 1.
mkdir swap && cp set.E0* swap/ && cp set.E03 swap/set.E02
# The last segment cut in the middle of its chunks: its table is gone, segments before it stand.
last=$(ls set.E0* | tail -n 1)
nlast=$(ls set.E0* | wc -l)
mkdir cut && cp set.E0* cut/ && truncate -s $(($(stat -c %s "$last") / 2)) "cut/$last"
before_last=0
for s in $(ls set.E0* | head -n $((nlast - 1))); do before_last=$((before_last + $(e01_chunks "$s" | wc -l))); done

# A flipped byte inside a compressed chunk in the middle of the image, and inside a stored one.
read -r kc oc _ sc < <(e01_chunks one.E01 | awk -v n="$(e01_chunks one.E01 | wc -l)" '$1 > n / 3 && $3 == 1 && $4 > 200 { print; exit }')
[ -n "$kc" ] || fail "no compressed chunk to damage"
cp one.E01 zbad.E01 && e01_xor zbad.E01 $((oc + sc / 2))
read -r ks os _ _ < <(e01_chunks one.E01 | awk -v n="$(e01_chunks one.E01 | wc -l)" '$1 > n / 3 && $3 == 0 { print; exit }')
[ -n "$ks" ] || fail "no stored chunk to damage"
cp one.E01 sbad.E01 && e01_xor sbad.E01 $((os + 100)) 1

# A flipped byte inside the stored MD5: with the section checksum mended only the digest check
# notices; without, the hash section is also reported as damaged.
read -r hoff hsize < <(e01_section one.E01 hash)
cp one.E01 md5fixed.E01 && e01_xor md5fixed.E01 $((hoff + 5)) && e01_fix_adler md5fixed.E01 "$hoff" 32
cp one.E01 md5bad.E01 && e01_xor md5bad.E01 $((hoff + 5))
# A flipped bit in the next offset of the volume section's descriptor: passed by its section size.
read -r voff _ < <(e01_section one.E01 volume)
cp one.E01 vnext.E01 && e01_xor vnext.E01 $((voff - 76 + 17)) 16

for h in $(e2e_hosts); do
  e01_expect_damage "$h" miss/set.E01 set.img "Unexpected end of data" $((n1 * chunk)) full
  # The segments after the missing one are read, at their place.
  cmp -s -i $(((n1 + n2) * chunk)) "out.$h/set.img" dmg.raw || fail "$h: miss/set.E01: the chunks after segment 2 differ"
  e01_expect_damage "$h" vnext.E01 vnext.img "CRC Error" "$(stat -c %s dmg.raw)" full
  cmp -s "out.$h/vnext.img" dmg.raw || fail "$h: vnext.E01: the image differs"
  if [ "$h" = linux ]; then
    e01_expect_damage "$h" miss/set.E03 set.img "Unexpected end of data" $((n1 * chunk))
    e01_expect_damage "$h" swap/set.E01 set.img "Unexpected end of data" $((n1 * chunk))
  fi
  e01_expect_damage "$h" cut/set.E01 set.img "Unexpected end" $((before_last * chunk))
  e01_expect_damage "$h" zbad.E01 zbad.img "Data Error" $((kc * chunk))
  e01_expect_damage "$h" sbad.E01 sbad.img "CRC Failed" $((ks * chunk + 100)) full
  # Only the one flipped bit differs: the stored chunk is written as it is, its checksum reported.
  expect_eq 1 "$(cmp -l "out.$h/sbad.img" dmg.raw | wc -l)" "$h: bytes differing after a flipped stored byte"
  e01_expect_damage "$h" md5fixed.E01 md5fixed.img "CRC Failed" "$(stat -c %s dmg.raw)" full
  expect_not_contains "ERRORS:" md5fixed.E01.$h.test
  e01_expect_damage "$h" md5bad.E01 md5bad.img "CRC Failed" "$(stat -c %s dmg.raw)" full
  rm -rf "out.$h"
done
# The truncated set reports its broken structure too.
expect_contains "Unexpected end of archive" cut/set.E01.linux.test

# Random access over the damage: the reads that touch it fail or differ (exit code 3) and the
# stream never crashes or hangs; over one bad chunk only the reads touching it fail.
for arc in miss/set.E01 cut/set.E01 zbad.E01; do
  e01_driver randread E01 "$arc" dmg.raw 400 3 65536 >"$arc.randread" 2>&1; rc=$?
  [ $rc -eq 3 ] || { cat "$arc.randread" >&2; fail "randread over $arc: exit $rc, expected 3 (data differs)"; }
done
bad=$(sed -n 's/^randread: .* \([0-9]*\) errors$/\1/p' zbad.E01.randread)
[ -n "$bad" ] && [ "$bad" -lt 40 ] || { cat zbad.E01.randread >&2; fail "randread over zbad.E01: $bad of 400 reads failed"; }

# Files that only look like E01s: nothing but the signature, a header cut inside the first
# section descriptor, the section chain pointing backwards, a table of 0 entries, and random
# bytes after a valid start. None may crash or hang; each is refused or reported.
printf 'EVF\t\r\n\377\000\001\001\000\000\000' >sig.E01
head -c 60 one.E01 >short.E01
cp one.E01 loop.E01
read -r voff _ < <(e01_section one.E01 volume)
python3 - loop.E01 $((voff - 76)) <<'EOF'
import struct, sys, zlib
with open(sys.argv[1], 'r+b') as f:
    d = int(sys.argv[2]); f.seek(d); desc = bytearray(f.read(76))
    struct.pack_into('<Q', desc, 16, 13)          # "next" back to the first section
    struct.pack_into('<I', desc, 72, zlib.adler32(bytes(desc[:72])))
    f.seek(d); f.write(desc)
EOF
cp one.E01 table0.E01
read -r toff _ < <(e01_section one.E01 table)
python3 - table0.E01 "$toff" <<'EOF'
import struct, sys, zlib
with open(sys.argv[1], 'r+b') as f:
    t = int(sys.argv[2]); f.seek(t); head = bytearray(f.read(24))
    struct.pack_into('<I', head, 0, 0)
    struct.pack_into('<I', head, 20, zlib.adler32(bytes(head[:20])))
    f.seek(t); f.write(head)
EOF
{ head -c 2000 one.E01; e01_raw - 300000 77 0 0 100; } >noise.E01
for h in $(e2e_hosts); do
  for arc in sig.E01 short.E01 loop.E01 table0.E01 noise.E01; do
    e01_run "$h" "$arc.$h.list" l -slt "$arc"
    expect_contains "ERRORS:" "$arc.$h.list"
    e01_run "$h" "$arc.$h.test" t "$arc"
    [ "$E01_RC" -ne 0 ] || { cat "$arc.$h.test" >&2; fail "$h: 7z t $arc passed"; }
  done
done
echo "e01_damage: passed"
