#!/usr/bin/env bash
# Installs what is missing, builds vor7z for Linux and Windows, and shows it at work in the real
# 7-Zip: the Debian host and the Windows 7z.exe under wine, each a private copy with the plugin in
# its Formats folder (under build/hosts). $VOR7Z_BUILD_PREFIX renames the build folders (default "build").
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
cd "$src"
jobs=${VOR7Z_JOBS:-2}
b=${VOR7Z_BUILD_PREFIX:-build}

source scripts/step.sh
# Whatever stops the script, the last line says in which section and at which line.
section=""
say() { section=$*; printf '\n==== %s\n' "$*"; }
stopped() {
  printf '\n**** run.sh stopped (exit code %d) in "%s" at line %d: %s\n' "$1" "$section" "$2" \
    "$(sed -n "$2{s/^ *//;p}" "$src/scripts/run.sh")" >&2
}
trap 'stopped $? $LINENO' ERR

say "Installing what is missing"
bash scripts/install-deps.sh

say "Building vor7z.dll ($b-win) and vor7z.so ($b)"
# Cleared when the Windows build fails, so no stale DLL from an earlier run is tested or shown.
win_dll=(-DVOR7Z_WIN_DLL=)
# Each step's output is kept in a log in its build folder and shown only when the step fails.
if step "Configuring vor7z.dll ($b-win)" "$src/$b-win/configure.log" \
     cmake -S . -B "$b-win" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake &&
   step "Building vor7z.dll ($b-win)" "$src/$b-win/build.log" cmake --build "$b-win" -j"$jobs"; then
  win_dll=(-DVOR7Z_WIN_DLL="$src/$b-win/vor7z.dll")
else
  echo "The Windows build failed (above); showing the Linux host only." >&2
fi
step "Configuring vor7z.so ($b)" "$src/$b/configure.log" cmake -S . -B "$b" -G Ninja "${win_dll[@]}"
step "Building vor7z.so and the hosts ($b)" "$src/$b/build.log" cmake --build "$b" -j"$jobs"
linux7z=$src/$b/hosts/linux/7z
win7z=$src/$b/hosts/win/7z.exe
export WINEPREFIX=$src/$b/wineprefix WINEDEBUG=-all

# Banner, libraries and the format lines of vor7z in "7z i" (library 1: the host's own is 0).
show_formats() {
  tr -d '\r' | sed -n '/^7-Zip/{p;a\

}; /^Libs:/,/^$/p; /^Formats:/,/^$/{/^Formats:/p; /^ *1 /p}'
}

say "Linux: $linux7z i"
"$linux7z" i | show_formats
if [ -n "${win_dll[0]#-DVOR7Z_WIN_DLL=}" ]; then
  say "Windows: 7z.exe i under wine ($win7z)"
  bash scripts/wine-run.sh "$win7z" i | show_formats
fi

# ---- WHX demo: a small FAT disk image backed up into three deflated volumes by the test writer,
# then listed, tested and extracted by the real hosts, and compared with the original ----
demo=$src/$b/demo
rm -rf "$demo" && mkdir -p "$demo"
cd "$demo"
step "Making the demo disk image" "$demo/mkfs.log" mkfs.fat -C -n VOR7ZDEMO disk.raw 2048
printf 'Acquired by the vor7z demo.\n' >notes.txt
mcopy -i disk.raw "$src/README.md" notes.txt ::/
"$src/$b/tools/whx_writer" --in disk.raw --out disk.whx --volumes 3 --compress deflate --checks all
ls -l disk.whx disk.whx.* 2>/dev/null || ls -l
say "Linux: 7z l / 7z t / 7z x of disk.whx"
"$linux7z" l disk.whx
"$linux7z" t disk.whx
step "Linux: 7z x of disk.whx" "$demo/x-linux.log" "$linux7z" x -y -olinux disk.whx
if [ -n "${win_dll[0]#-DVOR7Z_WIN_DLL=}" ]; then
  say "Windows: 7z.exe l / 7z.exe t / 7z.exe x of disk.whx under wine"
  bash "$src/scripts/wine-run.sh" "$win7z" l disk.whx | tr -d '\r'
  bash "$src/scripts/wine-run.sh" "$win7z" t disk.whx | tr -d '\r'
  step "Windows: 7z.exe x of disk.whx" "$demo/x-windows.log" \
    bash "$src/scripts/wine-run.sh" "$win7z" x -y -owindows disk.whx
fi
say "MD5 of the source image and of what the hosts extracted"
md5sum disk.raw linux/disk.img windows/disk.img 2>/dev/null || md5sum disk.raw linux/disk.img
"$linux7z" l linux/disk.img | sed -n '/^   Date/,$p'
cd "$src"
# ---- end of WHX demo ----

# ---- AD1 demo: this project's sources as a logical image of several segments, listed, tested and
# extracted by the real hosts, and compared with the folder they came from ----
cd "$demo"
"$src/$b/tools/ad1_writer" --from "$src/formats" --out evidence.ad1 --segment-size 30000 --source 'C:\vor7z\formats'
ls -l evidence.ad*
say "Linux: 7z l / 7z t / 7z x of evidence.ad1"
"$linux7z" l evidence.ad1 | sed -n '/^Type/,$p'
"$linux7z" t evidence.ad1 | tail -4
step "Linux: 7z x of evidence.ad1" "$demo/x-ad1-linux.log" "$linux7z" x -y -oad1-linux evidence.ad1
if [ -n "${win_dll[0]#-DVOR7Z_WIN_DLL=}" ]; then
  say "Windows: 7z.exe t / 7z.exe x of evidence.ad2 (a later segment) under wine"
  bash "$src/scripts/wine-run.sh" "$win7z" t evidence.ad2 | tr -d '\r' | tail -4
  step "Windows: 7z.exe x of evidence.ad2" "$demo/x-ad1-windows.log" \
    bash "$src/scripts/wine-run.sh" "$win7z" x -y -oad1-windows evidence.ad2
fi
say "What the hosts extracted against the source folder"
for d in ad1-linux ad1-windows; do
  [ -d "$d" ] && diff -r "$src/formats" "$d" && echo "$d: identical to formats/"
done
cd "$src"
# ---- end of AD1 demo ----

say "Done. scripts/package.sh writes the packages to install into dist/ (see Installing in README.md)."
