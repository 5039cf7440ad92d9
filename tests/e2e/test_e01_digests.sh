#!/usr/bin/env bash
# Every digest an E01 stores is checked: ewfacquire images with MD5 and SHA-1 ("digest" and "hash"
# sections, EnCase 6 layout; "hash" and "xhash" XML, the extended layout), each with one stored
# value changed and its section made consistent again. A wrong SHA-1 beside a right MD5 is "CRC
# Failed" in both hosts; copies of one digest that disagree are also a headers error.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/e01_data.sh"
e2e_workdir >/dev/null
E2E_TIMEOUT=120

e01_raw d.raw 8388608 22 20 40 40
e01_acquire enc d.raw -f encase6 -d sha1 -c fast
e01_acquire ewx d.raw -f ewfx -d sha1 -c fast
ewx=$(e01_first ewx)

# One byte of the SHA-1 in the digest section (payload: MD5 16, SHA-1 20, 40 unused, Adler-32).
read -r doff _ < <(e01_section enc.E01 digest)
cp enc.E01 sha1.E01 && e01_xor sha1.E01 $((doff + 16 + 7)) && e01_fix_adler sha1.E01 "$doff" 76
# The hash section's MD5 disagreeing with the digest section's.
read -r hoff _ < <(e01_section enc.E01 hash)
cp enc.E01 copies.E01 && e01_xor copies.E01 $((hoff + 3)) && e01_fix_adler copies.E01 "$hoff" 32
# The SHA-1 in the xhash text (zlib-compressed XML) changed and compressed again in place.
read -r xoff xsize < <(e01_section "$ewx" xhash)
cp "$ewx" xsha1.e01
python3 - xsha1.e01 "$xoff" "$xsize" <<'EOF' || fail "cannot rewrite the xhash section"
import re, sys, zlib
name, off, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
d = bytearray(open(name, 'rb').read())
text = zlib.decompress(bytes(d[off:off + size]))
m = re.search(rb'<sha1>([0-9a-f])', text, re.I)
assert m, text
text = text[:m.start(1)] + (b'1' if m.group(1) != b'1' else b'2') + text[m.end(1):]
z = zlib.compress(text, 9)
assert len(z) <= size, (len(z), size)
d[off:off + size] = z + bytes(size - len(z))
open(name, 'wb').write(d)
EOF

# e01_expect_test HOST ARCHIVE FLAGS: 7z t reports "CRC Failed" for the image, the archive errors
# in FLAGS ("" = none), and 7z l -slt shows both digests.
e01_expect_test() {
  local host=$1 arc=$2 flags=$3
  e01_run "$host" "$arc.$host.test" t "$arc"
  [ "$E01_RC" -eq 2 ] || { cat "$arc.$host.test" >&2; fail "$host: 7z t $arc: exit $E01_RC, expected 2"; }
  expect_contains "CRC Failed" "$arc.$host.test"
  if [ -n "$flags" ]; then expect_contains "$flags" "$arc.$host.test"; else expect_not_contains "ERRORS:" "$arc.$host.test"; fi
  e01_run "$host" "$arc.$host.list" l -slt "$arc"
  e01_item_props "$arc.$host.list" >"$arc.$host.items"
  [ -n "$(e01_prop "$arc.$host.items" MD5)" ] || fail "$host: $arc lists no MD5"
  [ -n "$(e01_prop "$arc.$host.items" SHA-1)" ] || fail "$host: $arc lists no SHA1"
  echo "$host: $arc: CRC Failed${flags:+, $flags}"
}

for h in $(e2e_hosts); do
  e01_check_image "$h" "$ewx" d.raw ewx.img
  e01_expect_test "$h" sha1.E01 ""
  e01_expect_test "$h" copies.E01 "Headers Error"
  e01_expect_test "$h" xsha1.e01 ""
done
