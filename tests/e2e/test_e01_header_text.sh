#!/usr/bin/env bash
# Case metadata where an image's two header kinds disagree. EnCase 4 and later (and ewfacquire
# in those formats) write the case text twice: "header2" in UTF-16 with dates as Unix times,
# and the old-style "header" in an 8-bit code page with dates as local wall-clock time. The
# archive properties must show what the acquisition recorded, as ewfinfo does:
#   - acquired away from UTC: Date acquired / System date are the true (UTC) times;
#   - text beyond ASCII: the UTF-16 text, not the old header's substitutes (0x1A);
#   - the real samples: CFReDS001.E01 (EnCase 4.19a, header 2004-11-03 22:56:35 local,
#     header2 1099540595 = 2004-11-04 03:56:35 UTC) and ewf.E01 (header 14:35:01 local,
#     header2 12:35:01 UTC).
# The old-style header's values (second column of each check) are named in the failure, since
# letting that header override header2 is the likely regression.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/e01_data.sh"
e2e_workdir >/dev/null

# e01_expect_header HOST WHAT WANT OLD GOT
e01_expect_header() {
  local host=$1 what=$2 want=$3 old=$4 got=$5
  [ "$got" = "$want" ] && return 0
  [ "$got" = "$old" ] && fail "$host: $what shows the old-style header's '$old', not header2's '$want'"
  fail "$host: $what is '$got', expected '$want'"
}

# e01_header_value FILE KIND ID: the value of identifier ID in the first section KIND ("header"
# or "header2"), trimmed as the reader trims fields; the 8-bit header's bytes are taken as
# character codes. e01_old_header_value: what the old-style header leaves in place (an empty
# value there keeps header2's).
e01_header_value() {
  python3 - "$@" <<'EOF'
import struct, sys, zlib
path, kind, ident = sys.argv[1:4]
d = open(path, 'rb').read()
off = 13
while off + 76 <= len(d):
    t = d[off:off + 16].split(b'\0')[0]
    nxt, = struct.unpack_from('<Q', d, off + 16)
    if t.decode('latin1') == kind:
        raw = zlib.decompress(d[off + 76:nxt])
        text = raw.decode('utf-16') if raw[:2] == b'\xff\xfe' else raw.decode('latin1')
        lines = text.replace('\r', '').split('\n')
        ids, values = lines[2].split('\t'), lines[3].split('\t')
        if ident in ids and ids.index(ident) < len(values):
            v = values[ids.index(ident)].strip(''.join(map(chr, range(33))))
            sys.stdout.buffer.write(v.encode('utf-8'))
        break
    off = nxt
EOF
}
e01_header2_value() {
  e01_header_value "$1" header2 "$2"
}
e01_old_header_value() {
  local v
  v=$(e01_header_value "$1" header "$2")
  if [ -n "$v" ]; then printf '%s' "$v"; else e01_header2_value "$1" "$2"; fi
}

e01_raw text.raw 1049088 5
TZ=America/New_York e01_acquire zone text.raw -f encase6 -C "Case 9"
# The local time the old-style header holds, read back the way the image was written.
zone_old=$(TZ=America/New_York date -d "$(e01_ewfinfo_value <(ewfinfo -d iso8601 zone.E01) "Acquisition date")Z" '+%Y-%m-%d %H:%M:%S')
e01_acquire intl text.raw -f encase6 -C "Fallakte 12ä" -E "Beweis Nr. 7" -D "Жёсткий диск" -e "Zoë Ünal" -N "naïve café €"

samples=""
for d in "$VOR7Z_SRC/../shared/samples/e01" /work/shared/samples/e01; do
  if [ -d "$d" ]; then samples=$(cd "$d" && pwd); break; fi
done
if [ -n "$samples" ]; then
  cp "$samples/simsong-bulk_extractor/CFReDS001.E01" "$samples/fox-it-dissect.evidence/ewf.E01" .
fi

for h in $(e2e_hosts); do
  e01_run "$h" "zone.$h.list" l -slt zone.E01
  [ "$E01_RC" -eq 0 ] || { cat "zone.$h.list" >&2; fail "$h: 7z l zone.E01 exit $E01_RC"; }
  e01_archive_props "zone.$h.list" >"zone.$h.props"
  want=$(e01_ewfinfo_value <(ewfinfo -d iso8601 zone.E01) "Acquisition date")
  e01_expect_header "$h" "zone.E01 Date acquired" "${want/T/ }" "$zone_old" "$(e01_prop "zone.$h.props" "Date acquired" | cut -c1-19)"
  e01_expect_header "$h" "zone.E01 System date" "${want/T/ }" "$zone_old" "$(e01_prop "zone.$h.props" "System date" | cut -c1-19)"
  expect_eq "Case 9" "$(e01_prop "zone.$h.props" Case)" "$h: zone.E01 case"

  e01_run "$h" "intl.$h.list" l -slt intl.E01
  [ "$E01_RC" -eq 0 ] || { cat "intl.$h.list" >&2; fail "$h: 7z l intl.E01 exit $E01_RC"; }
  e01_archive_props "intl.$h.list" >"intl.$h.props"
  for pair in c=Case a=Description e=Examiner t=Comment; do
    e01_expect_header "$h" "intl.E01 ${pair#*=}" "$(e01_header2_value intl.E01 "${pair%%=*}")" \
      "$(e01_old_header_value intl.E01 "${pair%%=*}")" "$(e01_prop "intl.$h.props" "${pair#*=}")"
  done
  expect_eq "Beweis Nr. 7" "$(e01_prop "intl.$h.props" Evidence)" "$h: intl.E01 evidence"

  if [ -n "$samples" ]; then
    e01_run "$h" "cfreds.$h.list" l -slt CFReDS001.E01
    e01_archive_props "cfreds.$h.list" >"cfreds.$h.props"
    e01_expect_header "$h" "CFReDS001.E01 Date acquired" "2004-11-04 03:56:35" "2004-11-03 22:56:35" "$(e01_prop "cfreds.$h.props" "Date acquired" | cut -c1-19)"
    e01_expect_header "$h" "CFReDS001.E01 System date" "2004-11-04 03:56:35" "2004-11-03 22:56:35" "$(e01_prop "cfreds.$h.props" "System date" | cut -c1-19)"
    e01_run "$h" "ewf.$h.list" l -slt ewf.E01
    e01_archive_props "ewf.$h.list" >"ewf.$h.props"
    e01_expect_header "$h" "ewf.E01 Date acquired" "2018-04-09 12:35:01" "2018-04-09 14:35:01" "$(e01_prop "ewf.$h.props" "Date acquired" | cut -c1-19)"
  fi
done


echo "e01_header_text: passed"
