#!/usr/bin/env bash
# Builds release binaries of both targets and writes what users install into OUTDIR (default dist/):
#   vor7z_<version>_amd64.deb        Debian 12: usr/lib/p7zip/Formats/vor7z.so for the 7z of p7zip-full
#   vor7z-<version>-windows-x64.zip  Formats/vor7z.dll, to unzip into the folder of 7-Zip x64
#   SHA256SUMS                       over both
#     scripts/package.sh [OUTDIR]
# Two runs from the same commit write the same bytes, whatever folders they build in: the time of
# every file is the commit's (SOURCE_DATE_EPOCH), no build path reaches the binaries, and archive
# members are sorted and owned by root. Build folders: $VOR7Z_PKG_BUILD (default build-pkg/, reused).
# To see it, build twice in other folders and compare:
#   VOR7Z_PKG_BUILD=/tmp/a scripts/package.sh /tmp/a/dist; VOR7Z_PKG_BUILD=/tmp/b scripts/package.sh /tmp/b/dist
#   cmp /tmp/a/dist/SHA256SUMS /tmp/b/dist/SHA256SUMS
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$src/dist}
mkdir -p "$out"
out=$(cd "$out" && pwd)
build=${VOR7Z_PKG_BUILD:-$src/build-pkg}
mkdir -p "$build"
build=$(cd "$build" && pwd)
jobs=${VOR7Z_JOBS:-2}
maintainer="vor7z developers <vor7z@users.noreply.invalid>"

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct)}
export TZ=UTC LC_ALL=C.UTF-8
umask 022
[ -z "$(git -C "$src" status --porcelain --untracked-files=no 2>/dev/null)" ] ||
  echo "package.sh: the work tree has uncommitted changes; the packages carry them, dated as the last commit" >&2

say() { printf '==== %s\n' "$*"; }
die() { echo "package.sh: $*" >&2; exit 1; }

# ---- Release builds. Only the plugin is built; the path maps keep source and build folders out of it.
path_maps="-ffile-prefix-map=$src/=  -ffile-prefix-map=$build/="
release() {
  local dir=$1 log=$build/$1.log
  shift
  cmake -S "$src" -B "$build/$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOR7Z_TESTS=OFF "$@" >"$log" 2>&1 &&
    cmake --build "$build/$dir" -j"$jobs" --target vor7z >>"$log" 2>&1 ||
    { tail -n 40 "$log" >&2; die "the $dir build failed (log: $log)"; }
}
say "Release build of vor7z.so ($build/linux)"
# Debian's hardening flags; -s strips at link time.
release linux -DCMAKE_CXX_FLAGS="$path_maps -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection -fcf-protection -Wformat -Werror=format-security" \
  -DCMAKE_MODULE_LINKER_FLAGS="-s -Wl,-z,relro -Wl,-z,now"
say "Release build of vor7z.dll ($build/win)"
# The linker would otherwise stamp the DLL with the time of the build.
release win -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" -DCMAKE_CXX_FLAGS="$path_maps" -DCMAKE_C_FLAGS="$path_maps" \
  -DCMAKE_MODULE_LINKER_FLAGS="-s -Wl,--no-insert-timestamp"
so=$build/linux/vor7z.so dll=$build/win/vor7z.dll
for f in "$so" "$dll"; do
  ! grep -qaF -e "$src" -e "$build" "$f" || die "$f holds a build path"
done

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/linux/CMakeCache.txt"; }
version=$(cache_value CMAKE_PROJECT_VERSION)
description=$(cache_value CMAKE_PROJECT_DESCRIPTION)
[ -n "$version" ] && [ -n "$description" ] || die "no version or description in $build/linux/CMakeCache.txt"
deb=vor7z_${version}_amd64.deb zip=vor7z-$version-windows-x64.zip

# Dates every file of a staging folder with SOURCE_DATE_EPOCH and gives it plain permissions.
settle() {
  find "$1" -type d -exec chmod 0755 {} + -o -type f -exec chmod 0644 {} +
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# ---- Debian package
# The licences of vor7z and of the libraries vor7z.so is linked with, in Debian's machine-readable form.
deb_copyright() {
  cat <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: vor7z
Upstream-Contact: $maintainer
Comment: vor7z.so is linked dynamically with these libraries, each installed by
 its own Debian package, whose copyright file /usr/share/doc/PACKAGE/copyright
 names its authors. Their licences follow the one of vor7z below.
 .
 zlib (zlib1g): Zlib
 libdeflate (libdeflate0): MIT
 serd (libserd-0-0): ISC
 snappy (libsnappy1v5): BSD-3-clause
 LZ4 (liblz4-1): BSD-2-clause
 OpenSSL libcrypto (libssl3): Apache-2.0
 GNU C++ library and GCC support library (libstdc++6, libgcc-s1):
   GPL-3+ with GCC-exception-3.1
 GNU C library (libc6): LGPL-2.1+

Files: *
Copyright: $(sed -n 's/^Copyright (c) //p' "$src/LICENSE" | head -n 1)
License: MIT

License: MIT
$(sed -n '/^Permission is hereby granted/,$p' "$src/LICENSE" | sed 's/^$/./; s/^/ /')

License: Zlib
 This software is provided 'as-is', without any express or implied
 warranty.  In no event will the authors be held liable for any damages
 arising from the use of this software.
 .
 Permission is granted to anyone to use this software for any purpose,
 including commercial applications, and to alter it and redistribute it
 freely, subject to the following restrictions:
 .
 1. The origin of this software must not be misrepresented; you must not
    claim that you wrote the original software. If you use this software
    in a product, an acknowledgment in the product documentation would be
    appreciated but is not required.
 2. Altered source versions must be plainly marked as such, and must not be
    misrepresented as being the original software.
 3. This notice may not be removed or altered from any source distribution.

License: ISC
 Permission to use, copy, modify, and/or distribute this software for any
 purpose with or without fee is hereby granted, provided that the above
 copyright notice and this permission notice appear in all copies.
 .
 THE SOFTWARE IS PROVIDED "AS IS" AND THE AUTHOR DISCLAIMS ALL WARRANTIES
 WITH REGARD TO THIS SOFTWARE INCLUDING ALL IMPLIED WARRANTIES OF
 MERCHANTABILITY AND FITNESS. IN NO EVENT SHALL THE AUTHOR BE LIABLE FOR
 ANY SPECIAL, DIRECT, INDIRECT, OR CONSEQUENTIAL DAMAGES OR ANY DAMAGES
 WHATSOEVER RESULTING FROM LOSS OF USE, DATA OR PROFITS, WHETHER IN AN
 ACTION OF CONTRACT, NEGLIGENCE OR OTHER TORTIOUS ACTION, ARISING OUT OF
 OR IN CONNECTION WITH THE USE OR PERFORMANCE OF THIS SOFTWARE.

License: BSD-3-clause
 Redistribution and use in source and binary forms, with or without
 modification, are permitted provided that the following conditions are met:
 .
 1. Redistributions of source code must retain the above copyright notice,
    this list of conditions and the following disclaimer.
 2. Redistributions in binary form must reproduce the above copyright notice,
    this list of conditions and the following disclaimer in the documentation
    and/or other materials provided with the distribution.
 3. Neither the name of the copyright holder nor the names of its contributors
    may be used to endorse or promote products derived from this software
    without specific prior written permission.
 .
 THIS SOFTWARE IS PROVIDED BY THE COPYRIGHT HOLDERS AND CONTRIBUTORS "AS IS"
 AND ANY EXPRESS OR IMPLIED WARRANTIES, INCLUDING, BUT NOT LIMITED TO, THE
 IMPLIED WARRANTIES OF MERCHANTABILITY AND FITNESS FOR A PARTICULAR PURPOSE
 ARE DISCLAIMED. IN NO EVENT SHALL THE COPYRIGHT HOLDER OR CONTRIBUTORS BE
 LIABLE FOR ANY DIRECT, INDIRECT, INCIDENTAL, SPECIAL, EXEMPLARY, OR
 CONSEQUENTIAL DAMAGES (INCLUDING, BUT NOT LIMITED TO, PROCUREMENT OF
 SUBSTITUTE GOODS OR SERVICES; LOSS OF USE, DATA, OR PROFITS; OR BUSINESS
 INTERRUPTION) HOWEVER CAUSED AND ON ANY THEORY OF LIABILITY, WHETHER IN
 CONTRACT, STRICT LIABILITY, OR TORT (INCLUDING NEGLIGENCE OR OTHERWISE)
 ARISING IN ANY WAY OUT OF THE USE OF THIS SOFTWARE, EVEN IF ADVISED OF THE
 POSSIBILITY OF SUCH DAMAGE.

License: BSD-2-clause
 Redistribution and use in source and binary forms, with or without
 modification, are permitted provided that the following conditions are met:
 .
 1. Redistributions of source code must retain the above copyright notice,
    this list of conditions and the following disclaimer.
 2. Redistributions in binary form must reproduce the above copyright notice,
    this list of conditions and the following disclaimer in the documentation
    and/or other materials provided with the distribution.
 .
 THIS SOFTWARE IS PROVIDED BY THE COPYRIGHT HOLDERS AND CONTRIBUTORS "AS IS"
 AND ANY EXPRESS OR IMPLIED WARRANTIES, INCLUDING, BUT NOT LIMITED TO, THE
 IMPLIED WARRANTIES OF MERCHANTABILITY AND FITNESS FOR A PARTICULAR PURPOSE
 ARE DISCLAIMED. IN NO EVENT SHALL THE COPYRIGHT HOLDER OR CONTRIBUTORS BE
 LIABLE FOR ANY DIRECT, INDIRECT, INCIDENTAL, SPECIAL, EXEMPLARY, OR
 CONSEQUENTIAL DAMAGES (INCLUDING, BUT NOT LIMITED TO, PROCUREMENT OF
 SUBSTITUTE GOODS OR SERVICES; LOSS OF USE, DATA, OR PROFITS; OR BUSINESS
 INTERRUPTION) HOWEVER CAUSED AND ON ANY THEORY OF LIABILITY, WHETHER IN
 CONTRACT, STRICT LIABILITY, OR TORT (INCLUDING NEGLIGENCE OR OTHERWISE)
 ARISING IN ANY WAY OUT OF THE USE OF THIS SOFTWARE, EVEN IF ADVISED OF THE
 POSSIBILITY OF SUCH DAMAGE.

License: Apache-2.0
 On Debian systems, the full text of the Apache License, Version 2.0, is in
 /usr/share/common-licenses/Apache-2.0.

License: GPL-3+ with GCC-exception-3.1
 The GNU General Public License, version 3 or later, with version 3.1 of the
 GCC Runtime Library Exception. On Debian systems, the full text of the GPL
 version 3 is in /usr/share/common-licenses/GPL-3, and the exception is
 reproduced in the copyright file of libstdc++6.

License: LGPL-2.1+
 On Debian systems, the full text of the GNU Lesser General Public License,
 version 2.1, is in /usr/share/common-licenses/LGPL-2.1.
EOF
}

# CHANGELOG.md in the Debian changelog format: one entry per "## VERSION (DATE)" section, one item
# per bullet, newest first as there. DATE is YYYY-MM-DD, with " HH:MM" (UTC) where releases share a day:
# each entry must be dated after the one before it.
deb_changelog() {
  python3 - "$src/CHANGELOG.md" "$maintainer" <<'EOF'
import re, sys, textwrap, email.utils, datetime
text, maintainer = open(sys.argv[1], encoding='utf-8').read(), sys.argv[2]
sections = re.findall(r'^## (\S+) \((\d{4}-\d\d-\d\d(?: \d\d:\d\d)?)\)\n(.*?)(?=^## |\Z)', text, re.S | re.M)
if not sections:
    sys.exit('CHANGELOG.md has no "## VERSION (DATE)" section')
entries = []
for version, date, body in sections:
    items = [' '.join(b.replace('`', '').split()) for b in re.findall(r'^- (.*?)(?=^- |^\S|\Z)', body, re.S | re.M)]
    when = datetime.datetime.strptime(date, '%Y-%m-%d %H:%M' if ' ' in date else '%Y-%m-%d')
    when = when.replace(tzinfo=datetime.timezone.utc)
    lines = [f'vor7z ({version}) unstable; urgency=medium', '']
    for item in items:
        lines += textwrap.wrap(item, 78, initial_indent='  * ', subsequent_indent='    ')
    lines += ['', f' -- {maintainer}  {email.utils.format_datetime(when)}', '']
    entries.append('\n'.join(lines))
print('\n'.join(entries), end='')
EOF
}

say "Debian package $deb"
root=$build/deb
rm -rf "$root"
mkdir -p "$root/usr/lib/p7zip/Formats"
# The compilers' version notes are of no use to anyone installing it.
objcopy --remove-section=.comment "$so" "$root/usr/lib/p7zip/Formats/vor7z.so"
doc=$root/usr/share/doc/vor7z
mkdir -p "$doc" "$root/DEBIAN"
deb_copyright >"$doc/copyright"
deb_changelog | gzip -9n >"$doc/changelog.gz"
gzip -9n <"$src/README.md" >"$doc/README.md.gz"
grep -q "^vor7z ($version)" < <(gzip -dc "$doc/changelog.gz") || die "CHANGELOG.md has no section for $version"

# dpkg-shlibdeps wants to run in a source package; a control file naming the package is enough.
mkdir -p "$build/shlibdeps/debian"
printf 'Source: vor7z\n\nPackage: vor7z\nArchitecture: amd64\n' >"$build/shlibdeps/debian/control"
shlibs=$(cd "$build/shlibdeps" && dpkg-shlibdeps -O "$root/usr/lib/p7zip/Formats/vor7z.so" 2>"$build/shlibdeps.log" |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || { cat "$build/shlibdeps.log" >&2; die "dpkg-shlibdeps found no dependency"; }
# As dpkg-gencontrol counts it: KiB per file, rounded up, and one per folder.
size=$(find "$root/usr" -printf '%y %s\n' | awk '{ n += ($1 == "f") ? int(($2 + 1023) / 1024) : 1 } END { print n }')
cat >"$root/DEBIAN/control" <<EOF
Package: vor7z
Version: $version
Architecture: amd64
Maintainer: $maintainer
Installed-Size: $size
Depends: $shlibs, p7zip-full
Section: utils
Priority: optional
Description: $description
 vor7z is a plugin for the 7z program that opens forensic evidence
 containers read-only: E01, S01 and Ex01 disk images, L01 and Lx01 logical
 evidence files, AD1 logical images, AFF images and WHX backups, from any
 segment of a split set. 7z lists, tests and extracts them; testing checks
 the stored chunk checksums and image digests. Case metadata and stored
 digests appear as archive and item properties.
EOF
(cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
settle "$root"
rm -f "$out/$deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$out/$deb" >/dev/null

# ---- Windows zip: the layout of a 7-Zip folder, with the licences of what the DLL links statically,
# as the Debian packages that built those libraries state them.
say "Windows zip $zip"
root=$build/zip
rm -rf "$root"
install -D -m 0644 "$dll" "$root/Formats/vor7z.dll"
cp "$src/README.md" "$src/LICENSE" "$root/"
mkdir -p "$root/licenses"
while read -r name package what; do
  f=/usr/share/doc/$package/copyright
  [ -f "$f" ] || die "$f is missing (run scripts/install-deps.sh)"
  { echo "vor7z.dll contains $what, as built by the Debian package $package."
    echo "Its copyright file follows."
    echo
    cat "$f"; } >"$root/licenses/$name.txt"
done <<'EOF'
zlib libz-mingw-w64-dev zlib
mingw-w64 mingw-w64-x86-64-dev the MinGW-w64 runtime and its POSIX threads library (winpthreads)
gcc gcc-mingw-w64-base the GNU C++ library and the GCC support library (libstdc++, libgcc)
EOF
# The libraries built from their Debian source packages bring their copyright files with them.
for name in serd snappy lz4 libb2; do
  f=$build/win/debian-src/$name/debian/copyright
  [ -f "$f" ] || die "$f is missing (the Windows build unpacks it)"
  { echo "vor7z.dll contains $name, built from its Debian source package $(cut -d' ' -f2 "$build/win/debian-src/$name"/.vor7z-*)."
    echo "Its copyright file follows."
    echo
    cat "$f"; } >"$root/licenses/$name.txt"
done
cp /usr/share/common-licenses/GPL-3 "$root/licenses/GPL-3.txt"
settle "$root"
rm -f "$out/$zip"
# -X leaves out owners and extra times; DOS times are local, hence TZ=UTC above.
(cd "$root" && find . -type f -printf '%P\n' | sort | zip -q -X -9 -D "$out/$zip" -@)

(cd "$out" && sha256sum "$deb" "$zip" >SHA256SUMS)
say "Written to $out:"
(cd "$out" && ls -l "$deb" "$zip" SHA256SUMS && cat SHA256SUMS)
