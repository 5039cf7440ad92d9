#!/usr/bin/env bash
# Installs what is missing, builds the Linux plugin and the Windows DLL, and runs every test:
#   1. unit tests and end-to-end tests on the Linux host and on the Windows host under wine (build/)
#   2. unit tests built with AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   3. the same unit tests built with clang, AddressSanitizer + UBSan (build-clang-asan/), so that a fault
#      one compiler's layout happens to hide shows with the other
#   4. the threaded unit tests (names matching Mt|BlockCache|Decoder|BackgroundHasher) with ThreadSanitizer (build-tsan/)
#   5. every fuzz target briefly from its checked-in seeds, and every input of tests/fuzz/regressions/ once
#      through every target (build-fuzz/, see scripts/fuzz.sh); a finding counts as a failed test
#   6. the release packages (build-pkg/, dist/): tests/package/test_packages.sh runs scripts/package.sh and
#      installs each package beside a copy of its host (using build/ of stage 1)
# Ends with one line "total: N passed, N failed[, N skipped]"; the exit code is non-zero when any build
# or test failed. Build folders live in the source tree and are reused by later runs; their names start
# with $VOR7Z_BUILD_PREFIX (default "build": build, build-win, build-asan, build-clang-asan, build-tsan,
# build-fuzz, build-logs). VOR7Z_FUZZ_SECONDS sets the time of each fuzz target (default 20).
set -uo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
cd "$src"
jobs=${VOR7Z_JOBS:-2}
tsan_regex='Mt|BlockCache|Decoder|BackgroundHasher'
b=$src/${VOR7Z_BUILD_PREFIX:-build}
logs=$b-logs
mkdir -p "$logs"

passed=0 failed=0 skipped=0 broken=()
start_all=$SECONDS

stage() { printf '\n==== %s\n' "$*"; }
elapsed() { printf '%dm%02ds' $(( ($SECONDS - $1) / 60 )) $(( ($SECONDS - $1) % 60 )); }

# Runs ctest and adds its counts to the totals; a run that reports nothing counts as broken.
run_ctest() {
  local name=$1 log=$logs/ctest-$1.log
  shift
  local t0=$SECONDS
  ctest "$@" --output-on-failure --no-tests=ignore 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line total fail skip
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    fail=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    skip=$(grep -c '\*\*\*Skipped\|Not Run (Disabled)' "$log")
    passed=$((passed + total - fail - skip)) failed=$((failed + fail)) skipped=$((skipped + skip))
    [ "$rc" -eq 0 ] || [ "$fail" -gt 0 ] || broken+=("$name: ctest exit code $rc")
  elif grep -q 'No tests were found' "$log"; then
    echo "($name: no tests)"
  else
    broken+=("$name: ctest ran no test (exit code $rc)")
  fi
  echo "($name: $(elapsed "$t0"))"
}

source "$src/scripts/step.sh"

build() {
  local name=$1 dir=$2
  shift 2
  local t0=$SECONDS
  if ! step "Configuring $name (${dir##*/})" "$logs/configure-$name.log" cmake -S "$src" -B "$dir" -G Ninja "$@"; then
    broken+=("$name: configure failed (log: $logs/configure-$name.log)")
    return 1
  fi
  if ! step "Building $name (${dir##*/})" "$logs/build-$name.log" \
    cmake --build "$dir" -j"$jobs" ${VOR7Z_BUILD_TARGETS:+--target $VOR7Z_BUILD_TARGETS}; then
    broken+=("$name: build failed (log: $logs/build-$name.log)")
    return 1
  fi
  echo "($name build: $(elapsed "$t0"))"
}

# Names of the unit-test executables (one per tests/unit/*.cpp), optionally only those whose file
# name or content matches a pattern; the sanitizer builds need nothing else.
unit_targets() {
  local f
  for f in "$src"/tests/unit/*.cpp; do
    [ -e "$f" ] || continue
    if [ -z "${1:-}" ] || basename "$f" | grep -Eq "$1" || grep -Eq "$1" "$f"; then
      basename "$f" .cpp
    fi
  done
}

stage "Installing what is missing"
bash "$src/scripts/install-deps.sh" || broken+=("install-deps.sh failed")

stage "Windows DLL (${b##*/}-win)"
# Cleared when the Windows build fails, so no stale DLL from an earlier run is tested or shown.
win_dll=(-DVOR7Z_WIN_DLL=) on_wine=""
if build win "$b-win" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake"; then
  win_dll=(-DVOR7Z_WIN_DLL="$b-win/vor7z.dll") on_wine=" and under wine"
fi

stage "Linux plugin, unit tests, hosts (${b##*/})"
if build linux "$b" "${win_dll[@]}"; then
  stage "Unit and end-to-end tests on Linux$on_wine"
  run_ctest main --test-dir "$b" -j"$jobs"
fi

# -O1 keeps the sanitizer builds quick to compile while the tests still run at a fair speed.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O1)

stage "AddressSanitizer + UBSan unit tests (${b##*/}-asan)"
targets=$(unit_targets | tr '\n' ' ')
if [ -n "$targets" ] && VOR7Z_BUILD_TARGETS=$targets build asan "$b-asan" -DVOR7Z_SANITIZE=address,undefined \
  "${sanitizer_flags[@]}"; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_ctest asan --test-dir "$b-asan" -L unit -E '_NOT_BUILT$' -j"$jobs"
fi

stage "clang AddressSanitizer + UBSan unit tests (${b##*/}-clang-asan)"
# The plugin module is linked too: with clang it needs the shared sanitizer runtime to link at all.
if [ -n "$targets" ] && VOR7Z_BUILD_TARGETS="$targets vor7z" build clang-asan "$b-clang-asan" \
  -DCMAKE_CXX_COMPILER=clang++ -DVOR7Z_SANITIZE=address,undefined "${sanitizer_flags[@]}"; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_ctest clang-asan --test-dir "$b-clang-asan" -L unit -E '_NOT_BUILT$' -j"$jobs"
fi

stage "ThreadSanitizer unit tests matching $tsan_regex (${b##*/}-tsan)"
targets=$(unit_targets "$tsan_regex" | tr '\n' ' ')
if [ -z "$targets" ]; then
  echo "(no unit test matches $tsan_regex yet)"
elif VOR7Z_BUILD_TARGETS=$targets build tsan "$b-tsan" -DVOR7Z_SANITIZE=thread "${sanitizer_flags[@]}"; then
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run_ctest tsan --test-dir "$b-tsan" -L unit -R "$tsan_regex" -E '_NOT_BUILT$' -j"$jobs"
fi

# Runs a script that ends with a line "WORD total: N passed, N failed" and adds that line to the
# totals; a run without one counts as broken.
#   run_counted NAME WORD SCRIPT ARGS...
run_counted() {
  local name=$1 word=$2 log=$logs/$1.log t0=$SECONDS line
  shift 2
  bash "$@" 2>&1 | tee "$log"
  line=$(grep -E "^$word total: [0-9]+ passed, [0-9]+ failed" "$log" | tail -n 1)
  if [ -n "$line" ]; then
    passed=$((passed + $(sed -E "s/^$word total: ([0-9]+) passed.*/\\1/" <<<"$line")))
    failed=$((failed + $(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")))
    grep -q 'build failed\|configure failed' <<<"$line" && broken+=("$name: nothing was built")
  else
    broken+=("$name: ${1#"$src/"} reported nothing")
  fi
  echo "($name: $(elapsed "$t0"))"
}

stage "Fuzz targets: ${VOR7Z_FUZZ_SECONDS:-20} s each from the seeds, then the regression inputs (${b##*/}-fuzz)"
run_counted fuzz-smoke fuzz "$src/scripts/fuzz.sh" --smoke "${VOR7Z_FUZZ_SECONDS:-20}"
run_counted fuzz-regressions fuzz "$src/scripts/fuzz.sh" --regressions

stage "Release packages: scripts/package.sh into dist/, each package beside a copy of its host (${b##*/}-pkg)"
run_counted packages packages "$src/tests/package/test_packages.sh" "$b"

# Leave no wine server behind.
WINEPREFIX=$b/wineprefix wineserver -k >/dev/null 2>&1 || true

stage "Summary ($(elapsed "$start_all"))"
for b in "${broken[@]+"${broken[@]}"}"; do echo "BROKEN: $b"; done
echo "total: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ] && [ ${#broken[@]} -eq 0 ]
