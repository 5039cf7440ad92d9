#!/usr/bin/env bash
# The AFF4 Standard's reference images (shared/samples/aff4, see its README) in both real hosts:
# each tested (every stored digest checked) and extracted to the disk its README names; the striped
# pair from either volume; the images written before the Standard; the logical container; the
# 9 EB sparse image listed at once. Skipped when the shared samples folder is absent.
source "$(dirname "$0")/lib.sh"

samples=""
for d in "$VOR7Z_SRC/../shared/samples/aff4/aff4-ReferenceImages" /work/shared/samples/aff4/aff4-ReferenceImages; do
  if [ -d "$d" ]; then samples=$(cd "$d" && pwd); break; fi
done
[ -n "$samples" ] || e2e_skip "no shared/samples/aff4 beside the source tree"
e2e_workdir >/dev/null
cp -r "$samples"/AFF4Std "$samples"/AFF4PreStd "$samples"/AFF4-L "$samples"/Errata .
chmod -R u+w .

# file | SHA-1 of what it extracts to. The disks of the Standard's images are those the samples
# README gives; the earlier images hold other acquisitions (ReadError's is the example hash the
# Standard quotes), checked against the digests stored in them while testing.
linear=7d3d27f667f95f7ec5b9d32121622c0f4b60b48d
cases="
AFF4Std/Base-Linear.aff4 $linear
AFF4Std/Base-Linear-AllHashes.aff4 $linear
AFF4Std/Base-Linear-ReadError.aff4 67e245a640e2784ead30c1ff1a3f8d237b58310f
AFF4Std/Base-Allocated.aff4 e8650e89b262cf0b4b73c025312488d5a6317a26
AFF4Std/Striped/Base-Linear_1.aff4 $linear
AFF4Std/Striped/Base-Linear_2.aff4 $linear
AFF4PreStd/Base-Linear.af4 5d5f183ae7355b8dc8938b67aab77c0215c29ab4
AFF4PreStd/Base-Linear-ReadError.af4 5fc17ee079cbe55c5b6dc150250eebc478ca7191
AFF4PreStd/Base-Allocated.af4 a9f21b04a0a77613a5a34ecdd3af269464984035
AFF4-L/dream.aff4 9ae1b46bead70c322eef7ac8bc36a8ea2055595c
"

for host in $(e2e_hosts); do
  while read -r file sha1; do
    [ -n "$file" ] || continue
    dir=$(dirname "$file") name=$(basename "$file")
    run7z_in "$host" "$dir" "t-$host.txt" t "$name"
    expect_eq 0 "$RC" "$host: exit code of 7z t $file"
    expect_contains "Everything is Ok" "t-$host.txt"
    rm -rf "x-$host"
    run7z_in "$host" "$dir" "x-$host.txt" x -y "-o$PWD/x-$host" "$name"
    expect_eq 0 "$RC" "$host: exit code of 7z x $file"
    expect_eq "$sha1" "$(find "x-$host" -type f -exec sha1sum {} + | cut -d' ' -f1)" "$host: SHA-1 of $file"
  done <<<"$cases"

  # Case metadata and stored digests as properties.
  run7z_in "$host" AFF4Std "p-$host.txt" l -slt Base-Linear.aff4
  for line in "Case = Case ID: 1SR Canonical" "Examiner = Administrator" "Device model = ST-506" \
    "Device serial number = SGAT5060001234" "Creator Application = Evimetry 2.2.0" \
    "Block map hash = c339331791f2018c50247cae1307ea8b0ce1166fac8747c5f4438c364b3d6c56793405afec7eec366205073ed9f7e7801556587c87181d83afe356bc9244ccf2"; do
    expect_contains "$line" "p-$host.txt"
  done
  run7z_in "$host" AFF4-L "p-$host.txt" l -slt dream.aff4
  expect_contains "MD5 = 75d83773f8d431a3ca91bfb8859e486d" "p-$host.txt"
  expect_contains "Modified = 2018-09-17 03:42:20" "p-$host.txt"

  # 9 EB, almost all of it a gap: listed at once.
  run7z_in "$host" Errata "l-$host.txt" l Base-ExabyteSparse.aff4
  expect_eq 0 "$RC" "$host: exit code of 7z l of the 9 EB image"
  expect_contains "9223372036854775296" "l-$host.txt"
done

# Random reads of the Standard's linear image against its extracted disk.
run7z_in linux AFF4Std x.txt x -y "-o$PWD/disk" Base-Linear.aff4
(cd AFF4Std && "$VOR7Z_TOOLS/vor7z_driver" randread AFF4 Base-Linear.aff4 "$OLDPWD/disk/Base-Linear.img" 2000 9) >r.txt 2>&1 ||
  { cat r.txt >&2; fail "randread over Base-Linear.aff4"; }
expect_contains ", 0 errors" r.txt
echo "aff4_samples: passed"
