#!/usr/bin/env bash
# AD1 images written by other acquisition software (shared/samples/ad1, see its README): a
# four-segment folder image, a custom-content image of an NTFS desktop, and two small images with a
# stored and a compressed variant. Each lists its files, passes its stored digests, and extracts
# files whose MD5s are the documented ones. Skipped when the shared samples folder is absent.
source "$(dirname "$0")/lib.sh"

samples=""
for d in "$VOR7Z_SRC/../shared/samples/ad1" /work/shared/samples/ad1; do
  if [ -d "$d" ]; then samples=$(cd "$d" && pwd); break; fi
done
[ -n "$samples" ] || e2e_skip "no shared/samples/ad1 beside the source tree"
e2e_workdir >/dev/null
cp "$samples"/pcbje-pyad1/text-and-pictures.ad[1-4] "$samples"/DFIRScience-dfir.science/TestImage.ad1 \
  "$samples"/fox-it-dissect.evidence/*.ad1 .

# expected_md5s IMAGE: "MD5  path" lines of the documented files, sorted by path.
expected_md5s() {
  case $1 in
  text-and-pictures.ad2)
    cat <<'LIST'
bdf3bf1da3405725be763540d6601144  Pictures/0-0-581-Hydrangeas.jpg
076e3caed758a1c18c91a0e9cae3368f  Pictures/1-0-858-Chrysanthemum.jpg
ba45c8f60456a672e003a875e469d0eb  Pictures/2-0-826-Desert.jpg
5a44c7ba5bbe4ec867233d67e4806848  Pictures/4-0-757-Jellyfish.jpg
2b04df3ecc1d94afddff082d139c6f15  Pictures/5-0-762-Koala.jpg
8969288f4245120e7c3870287cce0ff3  Pictures/6-0-548-Lighthouse.jpg
9d377b10ce778c4938b3c7e2c63a229a  Pictures/7-0-759-Penguins.jpg
70a4b9f4707d258f559f91615297a3ec  Text/norvig-big.txt
LIST
    ;;
  TestImage.ad1)
    cat <<'LIST'
55662e915bc4a6b74102992f523ad156  Nmap - Zenmap GUI.lnk
0c6946320755516fed3b1f934005c828  Nmap - Zenmap GUI.lnk.FileSlack
508ac5ecda7724ad6ab61598ef08b991  Quick Crypto.lnk
cb6f3c6d930657f053c6d16614ce2e6b  Start Tor Browser.lnk
95354f183615e9369315a5835afa9ecf  Start Tor Browser.lnk.FileSlack
c2252b02e010a5fffe230ea6d70424ce  $I30
9e36cc3537ee9ee1e3b10fa4e761045b  desktop.ini
LIST
    ;;
  ad1_test.ad1 | ad1_test_compressed.ad1)
    cat <<'LIST'
863aab5ccfc1f0d630edc81667f97f19  doc1.txt
f17e1fe542b99baec497d47e896dd4cd  doc2.txt
LIST
    ;;
  ad1_long.ad1)
    cat <<'LIST'
8b8878b091303d43c7383cbf6759243b  Een nog langere bestandsnaam met nog meer tekens en 12345.txt
5d751956c379bf407749569bd801c19b  een lange filenaam 1 met spaties.txt
LIST
    ;;
  esac
}

for h in $(e2e_hosts); do
  # The four-segment set is opened from its second segment.
  for image in text-and-pictures.ad2 TestImage.ad1 ad1_test.ad1 ad1_test_compressed.ad1 ad1_long.ad1; do
    run7z "$h" t "$image" >"$image.$h.test" 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || { cat "$image.$h.test" >&2; fail "$h: 7z t $image exit $rc"; }
    expect_contains "Everything is Ok" "$image.$h.test"
    rm -rf "out.$h"
    run7z "$h" x -y "-oout.$h" "$image" >"$image.$h.x" 2>&1
    rc=$?
    [ "$rc" -eq 0 ] || { cat "$image.$h.x" >&2; fail "$h: 7z x $image exit $rc"; }
    (cd "out.$h" && find . -type f -printf '%P\n' | LC_ALL=C sort | while IFS= read -r f; do
      printf '%s  %s\n' "$(md5sum <"$f" | cut -d' ' -f1)" "$f"
    done) | LC_ALL=C sort -k2 >"$image.$h.md5"
    expected_md5s "$image" | LC_ALL=C sort -k2 >"$image.expected"
    diff "$image.expected" "$image.$h.md5" >&2 || fail "$h: files of $image differ from the documented ones"
  done
  run7z "$h" l -slt text-and-pictures.ad1 >"tp.$h.list" 2>&1 || fail "$h: 7z l -slt text-and-pictures.ad1"
  expect_contains 'Source = C:\Users\pcbje\Desktop\Data' "tp.$h.list"
  expect_contains "MD5 = 70a4b9f4707d258f559f91615297a3ec" "tp.$h.list"
  expect_contains "SHA-1 = 213ca262bf6af12428d42842848464565f3d5504" "tp.$h.list"
done
echo "ad1_samples: passed"
