#!/usr/bin/env bash
# The synthetic media the scale benchmark writes with tests/tools/e01_writer: zero chunks with a
# sparse sprinkling of distinct ones (deflated and stored), many tables with their table2 copies,
# several segments. The host lists, tests and extracts them to the writer's sparse reference, the
# driver's random reads equal it, and ewfverify accepts the set; without a hash section the set
# still tests clean.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/e01_data.sh"
e2e_workdir >/dev/null
writer=$VOR7Z_TOOLS/e01_writer
[ -x "$writer" ] || fail "no $writer (build the test tools)"

# 12 MiB: 384 chunks, every 5th distinct, 50 per table, segments of at most 512 KiB.
md5=$("$writer" --synthetic 12M --distinct-every 5 --table-entries 50 --segment-size 512K \
  --out syn --reference syn.raw) || fail "e01_writer --synthetic 12M"
[ -f syn.E03 ] || { ls >&2; fail "e01_writer wrote fewer than three segments"; }
expect_eq 12582912 "$(stat -c %s syn.raw)" "size of the reference"
expect_eq "$(md5_of syn.raw)" "$md5" "MD5 the writer printed against its reference"
e01_check_image linux syn.E01 syn.raw syn.img
e01_driver randread E01 syn.E01 syn.raw 3000 11 >randread.log 2>&1 || { cat randread.log >&2; fail "randread over syn"; }
ewfverify -q syn.E01 >verify.log 2>&1
grep -q 'ewfverify: SUCCESS' verify.log || { cat verify.log >&2; fail "ewfverify syn.E01"; }
# The last chunk holds a pattern and the others between the distinct ones zeros.
cmp -s -i 32768:0 -n 32768 syn.raw /dev/zero || fail "chunk 1 is not zeros"
! cmp -s -i 12550144:0 syn.raw /dev/zero || fail "the last chunk is zeros"

"$writer" --synthetic 3M --distinct-every 7 --no-hash --out nohash --reference nohash.raw >nohash.md5 ||
  fail "e01_writer --no-hash"
expect_eq "" "$(cat nohash.md5)" "MD5 printed without a hash"
e01_check_image linux nohash.E01 nohash.raw nohash.img
if e01_has_win; then
  e01_check_image win syn.E01 syn.raw syn.img
fi
echo "e01_synthetic: passed"
