#!/usr/bin/env bash
# Encrypted containers in both real hosts with the right, a wrong and no password: AFF written by
# the peer tool (a single file with a non-ASCII passphrase, an LZMA set, a key sealed with a public
# key only) and the real sample; AD-encrypted E01, AD1 and raw sets from the test writer, one with a
# certificate-sealed key. Random access through the driver.
source "$(dirname "$0")/lib.sh"

command -v affconvert >/dev/null || e2e_skip "no affconvert (install afflib-tools)"
command -v ewfacquire >/dev/null || e2e_skip "no ewfacquire (install ewf-tools)"
e2e_workdir >/dev/null
T=$VOR7Z_TOOLS
"$T/rawgen" disk.raw 1500000 11 40 30 30 || fail "rawgen failed"
raw_md5=$(md5_of disk.raw)

mkdir -p aff set evp e01 ad1 raw cert plain
cp disk.raw aff/ && (cd aff && AFFLIB_PASSPHRASE='pässwörd' affconvert -q -s64k disk.raw && rm disk.raw) ||
  fail "affconvert failed"
cp disk.raw set/ && (cd set && AFFLIB_PASSPHRASE=password affconvert -q -L -M256k -s64k -oimage.afd disk.raw) ||
  fail "affconvert -M failed"
# A key sealed with a certificate only: the passphrase-sealed one renamed away.
openssl req -x509 -newkey rsa:2048 -nodes -keyout evp/k.pem -out evp/c.pem -days 2 -subj /CN=t 2>/dev/null &&
  cp aff/disk.aff evp/both.aff && affcrypto -A -C evp/c.pem -p 'pässwörd' evp/both.aff >/dev/null 2>&1 ||
  fail "affcrypto -A failed"
sed 's/affkey_aes256/affkey_aes25X/' evp/both.aff >evp/disk.aff
samples=""
for d in "$VOR7Z_SRC/../shared/samples/aff" /work/shared/samples/aff; do
  [ -d "$d" ] && samples=$d && break
done
[ -n "$samples" ] && cp "$samples/simsong-AFFLIBv3/encrypted.aff" aff/sample.aff

ewfacquire -u -t plain/case -S 1M -c fast -f encase6 disk.raw >/dev/null 2>&1 || fail "ewfacquire failed"
"$T/ad1_writer" --from "$VOR7Z_SRC/formats" --out plain/ev.ad1 --segment-size 40000 >/dev/null || fail "ad1_writer"
head -c 1000000 disk.raw >plain/d.001 && tail -c +1000001 disk.raw >plain/d.002
encrypt() { # dir options... -- files of plain/ in set order
  local dir=$1 args=() f
  shift
  while [ "$1" != -- ]; do args+=("$1"); shift; done
  shift
  for f in "$@"; do args+=("plain/$f" "$dir/$f"); done
  "$T/adcrypt_writer" "${args[@]}" || fail "adcrypt_writer $dir"
}
encrypt e01 --password 'pässwörd' -- $(cd plain && ls case.E0*)
encrypt ad1 --cipher 1 --hash 1 -- $(cd plain && ls ev.ad*)
encrypt raw --cipher 2 -- d.001 d.002
encrypt cert --certificate -- d.001

# file | password | what the right password gives: an MD5 or "tree" (the formats folder) | what a
# wrong and no password (-p alone) give | or, when the key cannot be used, the error text. Files whose
# image size is known without the key open and their item reports the password: the AFF sample,
# whose pages alone are encrypted, and AD-encrypted files, which the raw format takes when their own
# format could not open them.
open_fails="Cannot open encrypted archive. Wrong password?"
cases="aff/disk.aff|pässwörd|$raw_md5|$open_fails|
set/image.afd/file_000.aff|password|$raw_md5|$open_fails|
evp/disk.aff|pässwörd|||The image key is sealed with a public key
e01/case.E01|pässwörd|$raw_md5|ERROR: Wrong password : case.img|
ad1/ev.ad1|password|tree|ERROR: Wrong password : ev.img|
raw/d.001|password|$raw_md5|ERROR: Wrong password : d.img|
cert/d.001|password|||The image key is sealed with a certificate"
[ -n "$samples" ] && cases="$cases
aff/sample.aff|password|b361107f5fe7cfc9c75e12b39eec6eb6|ERROR: Wrong password : sample.img|"

for host in $(e2e_hosts); do
  while IFS='|' read -r file pw want wrong unsupported; do
    dir=$(dirname "$file") name=$(basename "$file")
    if [ -n "$unsupported" ]; then
      run7z_in "$host" "$dir" u.txt t "-p$pw" "$name"
      expect_eq 2 "$RC" "$host: exit code of $file"
      expect_contains "Unsupported method" u.txt
      expect_contains "$unsupported" u.txt
      continue
    fi
    out=$PWD/x-$host
    rm -rf "$out"
    run7z_in "$host" "$dir" x.txt x -y "-p$pw" "-o$out" "$name"
    expect_eq 0 "$RC" "$host: exit code of 7z x $file"
    if [ "$want" = tree ]; then
      diff -r "$out" "$VOR7Z_SRC/formats" >/dev/null || fail "$host: the files of $file differ from the source"
    else
      expect_eq "$want" "$(md5_of "$(ls "$out"/*.img | head -n 1)")" "$host: MD5 of the image of $file"
    fi
    for bad in -pwrong -p; do
      run7z_in "$host" "$dir" w.txt t "$bad" "$name"
      expect_eq 2 "$RC" "$host: exit code of 7z t $bad $file"
      expect_contains "$wrong" w.txt
    done
  done <<<"$cases"
done

# Random access through decrypted pages and segments.
driver=$VOR7Z_TOOLS/vor7z_driver
for row in "AFF aff/disk.aff pässwörd" "AFF set/image.afd/file_000.aff password" "E01 e01/case.E01 pässwörd" \
  "ADCrypt raw/d.001 password"; do
  read -r format file pw <<<"$row"
  (cd "$(dirname "$file")" && "$driver" --codecs --password "$pw" randread "$format" "$(basename "$file")" \
    "$OLDPWD/disk.raw" 1000 1) >r.txt 2>&1 || { cat r.txt >&2; fail "randread $file"; }
  expect_contains ", 0 errors" r.txt
done
exit 0
