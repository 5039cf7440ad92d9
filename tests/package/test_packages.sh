#!/usr/bin/env bash
# The release packages at work. Runs scripts/package.sh into dist/, checks what it wrote, unpacks the
# .deb into a scratch root beside a copy of the Linux host and the zip beside the Windows 7z.exe,
# and has each host show the version and the formats and list, test and extract an E01 image.
#   tests/package/test_packages.sh [BUILD]
# BUILD (default build/) is the build of scripts/test.sh: its test tools, Windows host and wine prefix
# are used; the release builds go to BUILD-pkg. Every check counts; the last line is
# "packages total: N passed, N failed".
set -u -o pipefail

VOR7Z_SRC=$(cd "$(dirname "$0")/../.." && pwd)
VOR7Z_BUILD=$(cd "${1:-$VOR7Z_SRC/build}" && pwd) || exit 1
VOR7Z_PKG_BUILD=$VOR7Z_BUILD-pkg
dist=$VOR7Z_SRC/dist
export VOR7Z_SRC VOR7Z_BUILD VOR7Z_PKG_BUILD
source "$VOR7Z_SRC/tests/e2e/lib.sh"
source "$VOR7Z_SRC/tests/e2e/e01_data.sh"
work=$(e2e_workdir)
export VOR7Z_HOST_LINUX=$work/root/usr/lib/p7zip/7z VOR7Z_HOST_WIN=$work/win/7z.exe

passed=0 failed=0
# check NAME FUNCTION: runs FUNCTION in a subshell of the work folder, with its output in NAME.log.
check() {
  local t0=$SECONDS
  if (cd "$work" && "$2") >"$work/$1.log" 2>&1; then
    passed=$((passed + 1))
    echo "ok   $1 ($((SECONDS - t0)) s)"
  else
    failed=$((failed + 1))
    echo "FAIL $1 ($((SECONDS - t0)) s)"
    sed 's/^/    /' "$work/$1.log"
  fi
}

built() {
  bash "$VOR7Z_SRC/scripts/package.sh" "$dist" || fail "scripts/package.sh failed"
  VOR7Z_VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$VOR7Z_PKG_BUILD/linux/CMakeCache.txt")
  [ -n "$VOR7Z_VERSION" ] || fail "no version in $VOR7Z_PKG_BUILD/linux/CMakeCache.txt"
  echo "$VOR7Z_VERSION" >"$work/version"
  (cd "$dist" && sha256sum -c SHA256SUMS) || fail "SHA256SUMS does not match"
  expect_eq "vor7z_${VOR7Z_VERSION}_amd64.deb vor7z-$VOR7Z_VERSION-windows-x64.zip" \
    "$(awk '{ printf "%s%s", sep, $2; sep = " " }' "$dist/SHA256SUMS")" "the packages SHA256SUMS covers"
}
check package built
VOR7Z_VERSION=$(cat "$work/version" 2>/dev/null) || VOR7Z_VERSION=unknown
export VOR7Z_VERSION
deb=$dist/vor7z_${VOR7Z_VERSION}_amd64.deb zip=$dist/vor7z-$VOR7Z_VERSION-windows-x64.zip

# Packing the same binaries again, at another time into another folder, writes the same bytes.
# (scripts/package.sh documents the whole check from the sources, which takes a second build.)
same_bytes() {
  bash "$VOR7Z_SRC/scripts/package.sh" "$work/again" >/dev/null ||
    fail "the second run of scripts/package.sh failed"
  cmp "$dist/SHA256SUMS" "$work/again/SHA256SUMS" || { diff "$dist/SHA256SUMS" "$work/again/SHA256SUMS"; fail "a second run wrote other bytes"; }
}
check same-bytes-again same_bytes

deb_fields() {
  dpkg-deb -f "$deb" >control.txt || fail "dpkg-deb cannot read $deb"
  cat control.txt
  expect_eq "vor7z $VOR7Z_VERSION amd64" "$(dpkg-deb -f "$deb" Package Version Architecture | cut -d' ' -f2 | tr '\n' ' ' | sed 's/ $//')" \
    "package, version and architecture"
  dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }' >contents.txt
  cat >expected.txt <<'EOF'
drwxr-xr-x root/root ./
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/lib/
drwxr-xr-x root/root ./usr/lib/p7zip/
drwxr-xr-x root/root ./usr/lib/p7zip/Formats/
-rw-r--r-- root/root ./usr/lib/p7zip/Formats/vor7z.so
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/vor7z/
-rw-r--r-- root/root ./usr/share/doc/vor7z/README.md.gz
-rw-r--r-- root/root ./usr/share/doc/vor7z/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/vor7z/copyright
EOF
  diff -u expected.txt contents.txt || fail "the .deb holds other files"
  # Every library vor7z.so needs comes from a package that Depends names and the copyright file lists.
  dpkg-deb -x "$deb" unpacked
  depends=$(dpkg-deb -f "$deb" Depends)
  [[ $depends == *"p7zip-full"* ]] || fail "Depends lacks p7zip-full: $depends"
  for lib in $(ldd unpacked/usr/lib/p7zip/Formats/vor7z.so | awk '$2 == "=>" { print $3 }'); do
    # ldd names /lib or /usr/lib, where dpkg knows only one of them on a merged /usr.
    pkg=$(for p in "$lib" "/usr$lib" "$(readlink -f "$lib")"; do dpkg -S "$p" 2>/dev/null; done | head -n 1 | cut -d: -f1)
    [ -n "$pkg" ] || fail "no package holds $lib"
    [[ $depends == *"$pkg "* || $depends == *"$pkg," ]] || fail "Depends lacks $pkg (for $lib): $depends"
    grep -q "($pkg[,)]\|, $pkg)" unpacked/usr/share/doc/vor7z/copyright || fail "the copyright file does not list $pkg (for $lib)"
  done
  # Lintian checks the machine-readable format only in source packages: parse it strictly here, and
  # require a licence text for vor7z.so and for the licence of each linked library the comment lists.
  /usr/bin/python3 - unpacked/usr/share/doc/vor7z/copyright <<'EOF' || fail "the copyright file is not machine-readable"
import re, sys
from debian import copyright
c = copyright.Copyright(open(sys.argv[1], encoding='utf-8'), strict=True)
texts = {p.license.synopsis for p in c.all_license_paragraphs() if p.license.text.strip()}
own = c.find_files_paragraph('usr/lib/p7zip/Formats/vor7z.so')
assert own and own.license.synopsis in texts, 'no licence text for vor7z.so'
linked = {}  # "LIBRARY (PACKAGE, ...): LICENCE", the licence possibly on the next, deeper line
for line in c.header.comment.split('\n'):
    if m := re.match(r' \S.*\(([a-z0-9.+-]+(?:, [a-z0-9.+-]+)*)\):(.*)$', line):
        packages = m[1]
        linked[packages] = m[2].strip()
    elif line.startswith('  ') and linked:
        linked[packages] = (linked[packages] + ' ' + line.strip()).strip()
assert linked, 'the comment names no linked library'
missing = {p: l for p, l in linked.items() if l not in texts}
assert not missing, f'no licence text for {missing}'
print('licences:', own.license.synopsis, linked)
EOF
  apt-get install --simulate "$deb" >apt.txt 2>&1 || { cat apt.txt; fail "apt cannot install $deb"; }
  grep -q '^Inst vor7z ' apt.txt || { cat apt.txt; fail "apt would not install vor7z"; }
}
check deb-fields deb_fields

# Lintian's errors fail the check; its warnings and notes are shown in the log.
deb_lintian() {
  lintian -I -E --pedantic "$deb" >lintian.txt 2>&1
  cat lintian.txt
  ! grep -q '^E: ' lintian.txt || fail "lintian reports errors"
}
check deb-lintian deb_lintian

# An E01 image of a 3 MiB raw image (made once, for both hosts).
e01_image() {
  [ -f case.E01 ] && return 0
  e01_raw disk.raw 3148288 11 35 25 30 10
  e01_acquire case disk.raw -c fast
}

linux_host() {
  dpkg-deb -x "$deb" root
  cp /usr/lib/p7zip/7z /usr/lib/p7zip/7z.so root/usr/lib/p7zip/ || fail "no Linux host in /usr/lib/p7zip (p7zip-full)"
  expect_vor7z_info linux
  e01_image
  e01_check_image linux case.E01 disk.raw case.img
}
check linux-host linux_host

zip_contents() {
  unzip -Z1 "$zip" >contents.txt || fail "unzip cannot read $zip"
  printf '%s\n' Formats/vor7z.dll LICENSE README.md licenses/GPL-3.txt licenses/gcc.txt licenses/libb2.txt \
    licenses/lz4.txt licenses/mingw-w64.txt licenses/serd.txt licenses/snappy.txt licenses/zlib.txt >expected.txt
  diff -u expected.txt contents.txt || fail "the zip holds other files"
  unzip -q "$zip" Formats/vor7z.dll
  # The version resource, as Explorer shows it under Properties > Details.
  python3 - Formats/vor7z.dll "$VOR7Z_VERSION" <<'EOF' || fail "the DLL's version resource is wrong"
import struct, sys
d, version = open(sys.argv[1], 'rb').read(), sys.argv[2]
major, minor = (int(x) for x in version.split('.'))
i = d.find(struct.pack('<I', 0xFEEF04BD))
assert i >= 0, 'no VS_FIXEDFILEINFO'
fms, fls, pms, pls = struct.unpack_from('<4I', d, i + 8)
assert (fms, fls, pms, pls) == ((major << 16) | minor, 0, (major << 16) | minor, 0), (fms, fls, pms, pls)
def value(key):
    j = d.find(key.encode('utf-16-le') + b'\0\0')
    assert j >= 0, 'no ' + key
    j += 2 * len(key) + 2
    while d[j:j + 2] == b'\0\0':
        j += 2
    end = j
    while d[end:end + 2] != b'\0\0':
        end += 2
    return d[j:end].decode('utf-16-le')
for key, want in (('FileVersion', version), ('ProductVersion', version), ('ProductName', 'vor7z')):
    assert value(key) == want, (key, value(key), want)
assert 'the vor7z developers' in value('LegalCopyright'), value('LegalCopyright')
print('version resource:', version, value('FileDescription'), '/', value('LegalCopyright'))
EOF
}
check zip-contents zip_contents

win_host() {
  bash "$VOR7Z_SRC/scripts/win-host.sh" win "$(test -f "$VOR7Z_BUILD/hosts/win/7z.exe" && echo "$VOR7Z_BUILD/hosts/win")" ||
    fail "no Windows host"
  (cd win && unzip -q "$zip") || fail "cannot unzip $zip into the host's folder"
  expect_vor7z_info win
  e01_image
  e01_check_image win case.E01 disk.raw case.img
}
check win-host win_host

# The README names the packages of this version and the changelog has a section for it.
docs() {
  expect_contains "vor7z_${VOR7Z_VERSION}_amd64.deb" "$VOR7Z_SRC/README.md"
  expect_contains "vor7z-$VOR7Z_VERSION-windows-x64.zip" "$VOR7Z_SRC/README.md"
  expect_contains "## $VOR7Z_VERSION (" "$VOR7Z_SRC/CHANGELOG.md"
}
check docs docs

WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1 || true
echo "lintian: $(grep -c '^[EWIPX]: ' "$work/lintian.txt" 2>/dev/null) tags" && grep '^[EWIPX]: ' "$work/lintian.txt"
for h in linux win; do
  [ -f "$work/info-$h.txt" ] && echo "$h: $(grep '^ *1 : ' "$work/info-$h.txt")"
done
echo "packages total: $passed passed, $failed failed$(grep -q 'package.sh failed' "$work/package.log" 2>/dev/null && echo ' (build failed)')"
[ "$failed" -eq 0 ]
