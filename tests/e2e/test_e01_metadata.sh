#!/usr/bin/env bash
# Case metadata and stored digests of E01 images, as "7z l -slt" shows them, against what
# ewfinfo reports for the same file. Mapping (ewfinfo label -> archive property):
#   Case number -> Case            Evidence number -> Evidence      Description -> Description
#   Examiner name -> Examiner      Notes -> Comment                 Acquisition date -> Date acquired
#   System date -> System date     Operating system used -> Acquisition platform
#   Software version used -> Creator Application                    Model -> Device model
#   Serial number -> Device serial number   Device label -> Device label   Set identifier -> ID ({GUID})
#   MD5 / SHA1 of "Digest hash information" -> the item's raw properties MD5 / SHA-1
# A label ewfinfo does not print must be absent from the listing too. Dates are compared in UTC
# (ewfinfo -d iso8601 with TZ=UTC), to the second.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/e01_data.sh"
e2e_workdir >/dev/null

e01_raw meta.raw 1049088 5

meta=(-C "Case 2024-017" -E "EV/42 disk 1" -D "Seized laptop, internal disk" -e "J. Doe" -N "Seal intact; see photos 3-5")

# Every header layout ewfacquire writes: header2 + header (EnCase 4-7, linen 7), CRLF header
# only (EnCase 2/3), LF header only (FTK, SMART, EnCase 1 without av/ov), linen 5/6 (Unix
# times), ewfx (an extra xheader section).
e01_acquire m_encase6 meta.raw -f encase6 -d sha1 "${meta[@]}"
e01_acquire m_encase2 meta.raw -f encase2 "${meta[@]}"
e01_acquire m_linen6 meta.raw -f linen6 -d sha1 "${meta[@]}"
e01_acquire m_ewf meta.raw -f ewf "${meta[@]}"
e01_acquire m_smart meta.raw -f smart "${meta[@]}"
e01_acquire m_ewfx meta.raw -f ewfx "${meta[@]}"
# ewfacquire's defaults (the literal words case_number, description ...).
e01_acquire m_default meta.raw

# Device model, serial number and label: ewfacquire leaves them empty for a raw file, so the
# first header2 of a copy gets them by renaming identifiers of equal length (av->md, ov->sn,
# a->l); the old-style header still supplies the description, creator and platform.
cp m_encase6.E01 m_device.E01
python3 - m_device.E01 <<'EOF' || fail "could not plant device fields"
import struct, sys, zlib
path = sys.argv[1]
d = bytearray(open(path, 'rb').read())
off = 13
while True:
    kind = bytes(d[off:off + 16]).split(b'\0')[0]
    nxt, = struct.unpack_from('<Q', d, off + 16)
    if kind == b'header2':
        break
    off = nxt
start, size = off + 76, nxt - off - 76
text = zlib.decompress(bytes(d[start:start + size])).decode('utf-16')
lines = text.split('\n')
ids = lines[2].split('\t')
ids = ['md' if i == 'av' else 'sn' if i == 'ov' else 'l' if i == 'a' else 'z' + i[1] if i in ('md', 'sn') else i for i in ids]
lines[2] = '\t'.join(ids)
packed = zlib.compress('\n'.join(lines).encode('utf-16'), 9)
assert len(packed) <= size, 'planted header2 grew'
d[start:start + size] = packed + bytes(size - len(packed))
open(path, 'wb').write(d)
EOF

for h in $(e2e_hosts); do
  for t in m_encase6 m_encase2 m_linen6 m_ewf m_smart m_ewfx m_default m_device; do
    if [ "$h" = win ]; then case $t in m_encase2 | m_linen6 | m_ewf | m_ewfx | m_default) continue ;; esac; fi
    e01_compare_meta "$h" "$(e01_first "$t")"
  done
  # The planted values, independent of ewfinfo.
  props=m_device.E01.$h.arcprops
  expect_eq "20140813" "$(e01_prop "$props" "Device model")" "$h: planted device model"
  expect_eq "Linux" "$(e01_prop "$props" "Device serial number")" "$h: planted serial number"
  expect_eq "Seized laptop, internal disk" "$(e01_prop "$props" "Device label")" "$h: planted device label"
  expect_eq "Seized laptop, internal disk" "$(e01_prop "$props" "Description")" "$h: description beside a planted label"
  # The values given on ewfacquire's command line, independent of ewfinfo.
  props=m_encase6.E01.$h.arcprops
  expect_eq "Case 2024-017" "$(e01_prop "$props" Case)" "$h: case"
  expect_eq "Seal intact; see photos 3-5" "$(e01_prop "$props" Comment)" "$h: notes"
  expect_eq "$(md5_of meta.raw | tr a-f A-F)" "$(e01_prop m_encase6.E01.$h.items MD5 | tr a-f A-F)" "$h: stored MD5"
  expect_eq "$(sha1sum meta.raw | cut -d' ' -f1 | tr a-f A-F)" "$(e01_prop m_encase6.E01.$h.items SHA-1 | tr a-f A-F)" "$h: stored SHA-1"
done

# The planted image still tests clean: only header text changed.
for h in $(e2e_hosts); do
  e01_check_image "$h" m_device.E01 meta.raw m_device.img
done
echo "e01_metadata: passed"
