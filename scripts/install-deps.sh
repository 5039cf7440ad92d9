#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need on a fresh Debian 12 machine.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
pkgs=(
  cmake ninja-build g++ pkg-config
  clang libclang-rt-14-dev
  zlib1g-dev libdeflate-dev libssl-dev libgtest-dev googletest
  p7zip-full
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev libz-mingw-w64-dev
  wine64 wine binutils-mingw-w64-x86-64
  ewf-tools libewf-dev afflib-tools
  libserd-dev libsnappy-dev liblz4-dev
  dosfstools mtools xxd
  dpkg-dev lintian python3-debian zip unzip
  python3 ca-certificates
)
# The machine image ships Node.js and npm; Debian's own packages are used only when they are missing.
command -v npm >/dev/null 2>&1 || pkgs+=(nodejs npm)
# The Windows DLL builds the libraries MinGW has no package of (serd, snappy, lz4, libb2) from their
# Debian source packages, fetched with apt-get source: that needs the deb-src lines of the sources.
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
need_update=0
if ! grep -rqsE '^(Types: *deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: *deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $SUDO tee /etc/apt/sources.list.d/vor7z-deb-src.sources >/dev/null
  else
    grep -hE '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      $SUDO tee /etc/apt/sources.list.d/vor7z-deb-src.list >/dev/null
  fi
  need_update=1
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ]; then
  $SUDO apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
