# Shared data and checks of the E01 end-to-end tests (sourced after lib.sh).
#
# The images are written by ewfacquire from raw files that tests/tools/rawgen makes
# deterministically, so every test builds its own evidence in its work folder and a
# failure can be reproduced byte for byte. The binary helpers read and patch segment
# files with python3 (standard library only) where bash alone would be clumsy.

command -v ewfacquire >/dev/null || e2e_skip "ewfacquire is not installed (ewf-tools)"
command -v python3 >/dev/null || e2e_skip "python3 is not installed"
E01_RAWGEN=$VOR7Z_TOOLS/rawgen
[ -x "$E01_RAWGEN" ] || fail "no $E01_RAWGEN (build the test tools)"

# ewfinfo prints dates in local time; the hosts print UTC. One zone keeps them comparable.
export TZ=UTC

# e01_raw FILE SIZE SEED [ZERO TEXT RANDOM [FILL [BLOCK]]]: a deterministic raw image.
e01_raw() {
  "$E01_RAWGEN" "$@" || fail "rawgen $*"
}

# e01_acquire TARGET RAW [ewfacquire options...]: writes TARGET.E01 (or .e01/.s01, by format).
e01_acquire() {
  local target=$1 raw=$2
  shift 2
  ewfacquire -u -q "$@" -t "$target" "$raw" >"$target.acquire.log" 2>&1 ||
    { cat "$target.acquire.log" >&2; fail "ewfacquire $* $raw"; }
  grep -q 'ewfacquire: SUCCESS' "$target.acquire.log" || { cat "$target.acquire.log" >&2; fail "ewfacquire $* $raw: no SUCCESS"; }
}

# e01_first TARGET: the first segment file ewfacquire wrote for TARGET.
e01_first() {
  local f
  for f in "$1.E01" "$1.e01" "$1.s01"; do
    [ -f "$f" ] && { echo "$f"; return 0; }
  done
  fail "no first segment for $1"
}

# e01_sections FILE: one line per section: TYPE DESCRIPTOR_OFFSET PAYLOAD_OFFSET PAYLOAD_SIZE.
e01_sections() {
  python3 - "$1" <<'EOF'
import struct, sys
d = open(sys.argv[1], 'rb').read()
off = 13
while off + 76 <= len(d):
    kind = d[off:off + 16].split(b'\0')[0].decode('latin1')
    nxt = struct.unpack_from('<Q', d, off + 16)[0]
    end = nxt if nxt > off else off + 76
    print(kind, off, off + 76, max(0, end - off - 76))
    if nxt <= off or kind in ('done', 'next'):
        break
    off = nxt
EOF
}

# e01_chunks FILE: one line per chunk listed by the "table" sections of this segment file:
# INDEX OFFSET COMPRESSED(0/1) STORED_SIZE (offsets in the file; the stored size of the last
# chunk of the file runs to the next section after it).
e01_chunks() {
  python3 - "$1" <<'EOF'
import struct, sys
d = open(sys.argv[1], 'rb').read()
off, sections, chunks = 13, [], []
while off + 76 <= len(d):
    kind = d[off:off + 16].split(b'\0')[0]
    nxt = struct.unpack_from('<Q', d, off + 16)[0]
    sections.append(off)
    if kind == b'table':
        p = off + 76
        count, = struct.unpack_from('<I', d, p)
        base, = struct.unpack_from('<Q', d, p + 8)
        for i in range(count):
            e, = struct.unpack_from('<I', d, p + 24 + 4 * i)
            chunks.append([base + (e & 0x7FFFFFFF), 1 if e & 0x80000000 else 0])
    if nxt <= off or kind in (b'done', b'next'):
        break
    off = nxt
for i, (o, c) in enumerate(chunks):
    end = chunks[i + 1][0] if i + 1 < len(chunks) else min(s for s in sections + [len(d)] if s > o)
    print(i, o, c, end - o)
EOF
}

# e01_xor FILE OFFSET [MASK]: flips the bits of MASK (default all) in one byte.
e01_xor() {
  python3 - "$1" "$2" "${3:-255}" <<'EOF'
import sys
with open(sys.argv[1], 'r+b') as f:
    f.seek(int(sys.argv[2])); b = f.read(1)[0]
    f.seek(int(sys.argv[2])); f.write(bytes([b ^ int(sys.argv[3])]))
EOF
}

# e01_poke FILE OFFSET VALUE: sets one byte.
e01_poke() {
  python3 - "$@" <<'EOF'
import sys
with open(sys.argv[1], 'r+b') as f:
    f.seek(int(sys.argv[2])); f.write(bytes([int(sys.argv[3], 0)]))
EOF
}

# e01_fix_adler FILE OFFSET LENGTH: stores the Adler-32 of LENGTH bytes at OFFSET right after them,
# so that a deliberate change is not also caught by the section checksum.
e01_fix_adler() {
  python3 - "$@" <<'EOF'
import struct, sys, zlib
with open(sys.argv[1], 'r+b') as f:
    off, n = int(sys.argv[2]), int(sys.argv[3])
    f.seek(off); a = zlib.adler32(f.read(n))
    f.seek(off + n); f.write(struct.pack('<I', a))
EOF
}

# e01_section FILE TYPE [NTH]: "PAYLOAD_OFFSET PAYLOAD_SIZE" of the NTH (1-based) section of TYPE.
e01_section() {
  local all
  all=$(e01_sections "$1") || fail "cannot read the sections of $1"
  awk -v t="$2" -v n="${3:-1}" '$1 == t && ++k == n { print $3, $4; found = 1; exit } END { exit !found }' <<<"$all" ||
    fail "no section '$2' #${3:-1} in $1"
}

# e01_names HOST ARCHIVE: the item names of "7z l", one a line.
e01_names() {
  run7z "$1" l -ba "$2" 2>&1 | cut -c54-
}

# e01_prop LISTING NAME: the value of "NAME = value" in a 7z listing (first occurrence).
e01_prop() {
  awk -v k="$2 = " 'index($0, k) == 1 { print substr($0, length(k) + 1); exit }' "$1"
}

# e01_archive_props LISTING / e01_item_props LISTING: the archive header block of a "7z l -slt"
# listing (before the item separator) and the item blocks after it, so that a property of the
# same name in the other block cannot stand in for a missing one.
e01_archive_props() {
  sed -n '/^--$/,/^----------$/p' "$1"
}
e01_item_props() {
  sed -n '/^----------$/,$p' "$1"
}

# e01_check_image HOST ARCHIVE RAW NAME [7z options...]: the image lists as one item NAME of the
# raw size, tests clean and extracts to one file NAME holding the raw bytes.
e01_check_image() {
  local host=$1 arc=$2 raw=$3 name=$4 rc size
  shift 4
  size=$(stat -c %s "$raw")
  run7z "$host" l -slt "$@" "$arc" >"$arc.$host.list" 2>&1; rc=$?
  expect_clean_exit $rc "$host: 7z l $arc"
  [ $rc -eq 0 ] || { cat "$arc.$host.list" >&2; fail "$host: 7z l $arc exit $rc"; }
  expect_contains "Type = E01" "$arc.$host.list"
  e01_item_props "$arc.$host.list" >"$arc.$host.items"
  expect_eq "$name" "$(e01_prop "$arc.$host.items" Path)" "$host: item name of $arc"
  expect_eq "$size" "$(e01_prop "$arc.$host.items" Size)" "$host: item size of $arc"
  expect_not_contains "ERRORS:" "$arc.$host.list"
  expect_not_contains "WARNINGS:" "$arc.$host.list"
  run7z "$host" t "$@" "$arc" >"$arc.$host.test" 2>&1; rc=$?
  expect_clean_exit $rc "$host: 7z t $arc"
  [ $rc -eq 0 ] || { cat "$arc.$host.test" >&2; fail "$host: 7z t $arc exit $rc"; }
  expect_contains "Everything is Ok" "$arc.$host.test"
  rm -rf "out.$host"
  run7z "$host" x -y "-oout.$host" "$@" "$arc" >"$arc.$host.extract" 2>&1; rc=$?
  expect_clean_exit $rc "$host: 7z x $arc"
  [ $rc -eq 0 ] || { cat "$arc.$host.extract" >&2; fail "$host: 7z x $arc exit $rc"; }
  expect_eq "$name" "$(ls -A "out.$host")" "$host: the one item extracted from $arc"
  expect_eq "$(md5_of "$raw")" "$(md5_of "out.$host/$name")" "$host: MD5 of $name extracted from $arc"
  rm -rf "out.$host"
}

# e01_ewfinfo_value FILE LABEL: the value ewfinfo printed after "LABEL:" (empty when absent).
e01_ewfinfo_value() {
  awk -v k="$2:" -F'\t+' '$2 == k { print $3; exit }' "$1"
}

# e01_compare_meta HOST ARCHIVE [SKIP]: every mapped property agrees with ewfinfo, except the
# ewfinfo labels listed in SKIP (separated by commas).
e01_compare_meta() {
  local host=$1 arc=$2 skip=",${3:-}," pair label prop want got
  ewfinfo -d iso8601 "$arc" >"$arc.ewfinfo" 2>&1 || { cat "$arc.ewfinfo" >&2; fail "ewfinfo $arc"; }
  e01_run "$host" "$arc.$host.list" l -slt "$arc"
  [ "$E01_RC" -eq 0 ] || { cat "$arc.$host.list" >&2; fail "$host: 7z l -slt $arc exit $E01_RC"; }
  e01_archive_props "$arc.$host.list" >"$arc.$host.arcprops"
  e01_item_props "$arc.$host.list" >"$arc.$host.items"
  for pair in "Case number=Case" "Evidence number=Evidence" "Description=Description" \
    "Examiner name=Examiner" "Notes=Comment" "Acquisition date=Date acquired" \
    "System date=System date" "Operating system used=Acquisition platform" \
    "Software version used=Creator Application" "Model=Device model" \
    "Serial number=Device serial number" "Device label=Device label"; do
    label=${pair%%=*} prop=${pair#*=}
    [[ $skip == *",$label,"* ]] && continue
    want=$(e01_ewfinfo_value "$arc.ewfinfo" "$label")
    got=$(e01_prop "$arc.$host.arcprops" "$prop")
    case $label in *date) want=${want/T/ } got=${got:0:19} ;; esac
    [ "$want" = "$got" ] || {
      cat "$arc.ewfinfo" "$arc.$host.arcprops" >&2
      fail "$host: $arc: '$prop' is '$got', ewfinfo's '$label' is '$want'"
    }
  done
  want=$(e01_ewfinfo_value "$arc.ewfinfo" "Set identifier")
  if [ -n "$want" ]; then want="{${want^^}}"; fi
  expect_eq "$want" "$(e01_prop "$arc.$host.arcprops" ID)" "$host: $arc: ID"
  want=$(awk -F'\t+' '/^Digest hash information/ { d = 1 } d && $2 == "MD5:" { print $3; exit }' "$arc.ewfinfo")
  expect_eq "${want^^}" "$(e01_prop "$arc.$host.items" MD5 | tr a-f A-F)" "$host: $arc: MD5"
  want=$(awk -F'\t+' '/^Digest hash information/ { d = 1 } d && $2 == "SHA1:" { print $3; exit }' "$arc.ewfinfo")
  expect_eq "${want^^}" "$(e01_prop "$arc.$host.items" SHA-1 | tr a-f A-F)" "$host: $arc: SHA-1"
}

# e01_run HOST LOGFILE ARGS...: runs 7z with its output in LOGFILE, fails on a crash, a hang or a
# usage error, and leaves the exit code in E01_RC.
E01_RC=0
e01_run() {
  local host=$1 log=$2
  shift 2
  run7z "$host" "$@" >"$log" 2>&1; E01_RC=$?
  expect_clean_exit $E01_RC "$host: 7z $*"
}

# e01_driver ARGS...: the host driver with the plugin the Linux host loads.
e01_driver() {
  [ -x "$VOR7Z_TOOLS/vor7z_driver" ] || fail "no $VOR7Z_TOOLS/vor7z_driver (build the test tools)"
  timeout -k 5 300 "$VOR7Z_TOOLS/vor7z_driver" --plugin "$(host_formats_dir linux)/vor7z.so" "$@"
}

# e01_has_win: true when this build has the Windows host.
e01_has_win() {
  [ -n "$VOR7Z_HOST_WIN" ]
}
