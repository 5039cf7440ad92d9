#!/usr/bin/env bash
# scripts/run.sh names the step that failed, shows the end of its log and where the log is, and ends
# non-zero. A cmake that always fails stands in for a broken build, so nothing is built.
source "$(dirname "$0")/lib.sh"

e2e_workdir >/dev/null
mkdir bin
printf '#!/bin/sh\necho "CMake Error: forced failure of: $*"\nexit 1\n' >bin/cmake
# Should a package be missing here, the install step pretends to install it instead of asking apt.
printf '#!/bin/sh\nexec "$@"\n' >bin/sudo
printf '#!/bin/sh\nexit 0\n' >bin/apt-get
chmod +x bin/*

prefix=$(realpath --relative-to="$VOR7Z_SRC" "$PWD/b")
PATH=$PWD/bin:$PATH VOR7Z_BUILD_PREFIX=$prefix bash "$VOR7Z_SRC/scripts/run.sh" >out.txt 2>&1 && fail "run.sh succeeded"
for text in "FAILED: Configuring vor7z.dll ($prefix-win)" "whole log: $VOR7Z_SRC/$prefix-win/configure.log" \
  "The Windows build failed" "FAILED: Configuring vor7z.so ($prefix)" "CMake Error: forced failure of: -S ." \
  "whole log: $VOR7Z_SRC/$prefix/configure.log" "run.sh stopped (exit code 1)"; do
  expect_contains "$text" out.txt
done
