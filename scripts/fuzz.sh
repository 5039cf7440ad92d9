#!/usr/bin/env bash
# Builds the libFuzzer targets (build-fuzz/, clang with ASan + UBSan) and fuzzes each in turn.
#
#   scripts/fuzz.sh [SECONDS] [FORMAT|TARGET ...]    fuzz each target SECONDS (default 60)
#   scripts/fuzz.sh --smoke SECONDS [FORMAT ...]     the same from the checked-in seeds only (for CI)
#   scripts/fuzz.sh --regressions [FORMAT ...]       every file of tests/fuzz/regressions/ once through each target
#
# FORMAT is e01, ex01, l01, lx01, ad1, aff, whx, aff4, or an encrypted form: aff_crypt, adcrypt,
# e01_crypt (both of its targets, fuzz_<format> and fuzz_<format>_multi); none = all. The growing
# corpus stays outside the source tree in build-fuzz/corpus/<target>, seeded from
# tests/fuzz/seeds/<target> and, for single-file targets, from the small real samples in
# ../shared/samples when they are there. A finding (crash, sanitizer report, timeout over 5 s,
# allocation over 256 MiB, RSS over 512 MiB, leak) is kept in build-fuzz/findings/<target>/ and
# named with its reproducer; the exit code is then non-zero. The last line is
# "fuzz total: N passed, N failed".
set -uo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
b=$src/${VOR7Z_BUILD_PREFIX:-build}-fuzz
jobs=${VOR7Z_JOBS:-2}
mode=fuzz
case "${1:-}" in
--smoke) mode=smoke; shift ;;
--regressions) mode=regressions; shift ;;
esac
seconds=60
if [ "$mode" != regressions ] && [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
formats=(e01 ex01 l01 lx01 ad1 aff whx aff4 aff_crypt adcrypt e01_crypt)
limits=(-rss_limit_mb=512 -malloc_limit_mb=256 -timeout=5)

targets=()
for f in "${@:-${formats[@]}}"; do
  f=${f,,}
  case "$f" in
  fuzz_*) targets+=("$f") ;;
  *) targets+=("fuzz_$f" "fuzz_${f}_multi") ;;
  esac
done

echo "== building the fuzz targets ($b)"
mkdir -p "$b"
if ! cmake -S "$src" -B "$b" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVOR7Z_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" >"$b/configure.log" 2>&1; then
  cat "$b/configure.log"
  echo "fuzz total: 0 passed, ${#targets[@]} failed (configure failed)"
  exit 1
fi
if ! cmake --build "$b" -j"$jobs" --target "${targets[@]}" >"$b/build.log" 2>&1; then
  grep -E 'error|FAILED' "$b/build.log" | head -n 40
  echo "fuzz total: 0 passed, ${#targets[@]} failed (build failed, log: $b/build.log)"
  exit 1
fi

# Small real samples of the format behind a single-file target, copied into a folder of their own.
samples_for() {
  local target=$1 dir=$b/samples/$1 pattern
  case "$target" in
  fuzz_e01) pattern='*.E01' ;; fuzz_ex01) pattern='*.Ex01' ;; fuzz_l01) pattern='*.L01' ;; fuzz_lx01) pattern='*.Lx01' ;; fuzz_ad1) pattern='*.ad1' ;;
  fuzz_aff | fuzz_aff_crypt) pattern='*.aff' ;; fuzz_aff4) pattern='*.aff4' ;; *) return ;;
  esac
  [ -d "$src/../shared/samples" ] || return
  rm -rf "$dir"
  mkdir -p "$dir"
  find "$src/../shared/samples" -type f -name "$pattern" -size -64k -exec cp -t "$dir" {} + 2>/dev/null
  echo "$dir"
}

passed=0 failed=0
findings=()
table=()

# Reports what a run left behind: the sanitizer's summary line and the reproducer.
report_finding() {
  local target=$1 log=$2 artifacts=$3 what file
  what=$(grep -m1 -E '^SUMMARY: |ERROR: libFuzzer: |==[0-9]+== ERROR: ' "$log" | sed -E 's/^==[0-9]+== //')
  file=$(ls -t "$artifacts" 2>/dev/null | head -n 1)
  findings+=("$target: ${what:-exit without a report} -> ${file:+$artifacts/$file} (log: $log)")
}

run_target() {
  local target=$1 bin=$b/fuzz/$1 fmt=${1#fuzz_}
  fmt=${fmt%_multi}
  local dict=$src/tests/fuzz/dict/$fmt.dict seeds=$src/tests/fuzz/seeds/$target
  local corpus=$b/corpus/$target artifacts=$b/findings/$target log=$b/logs/$target.log
  [ "$mode" = smoke ] && corpus=$b/smoke/$target && rm -rf "$corpus"
  mkdir -p "$corpus" "$artifacts" "$b/logs"
  local dirs=("$corpus")
  [ -d "$seeds" ] && dirs+=("$seeds")
  if [ "$mode" = fuzz ]; then
    local s
    s=$(samples_for "$target")
    [ -n "$s" ] && dirs+=("$s")
  fi
  local before
  before=$(ls "$artifacts" | wc -l)
  local t0=$SECONDS
  "$bin" "${limits[@]}" -max_total_time="$seconds" -print_final_stats=1 -dict="$dict" \
    -artifact_prefix="$artifacts/" "${dirs[@]}" >"$log" 2>&1
  local rc=$? took=$((SECONDS - t0))
  local execs done_line features corpus_size
  execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -n 1)
  done_line=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  features=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$done_line")
  corpus_size=$(ls "$corpus" | wc -l)
  if [ "$rc" -eq 0 ] && [ "$(ls "$artifacts" | wc -l)" -eq "$before" ]; then
    passed=$((passed + 1))
    table+=("$(printf '%-18s %10s %8s %9s  %4ss  ok' "$target" "${execs:-?}" "$corpus_size" "${features:-?}" "$took")")
  else
    failed=$((failed + 1))
    report_finding "$target" "$log" "$artifacts"
    table+=("$(printf '%-18s %10s %8s %9s  %4ss  FINDING' "$target" "${execs:-?}" "$corpus_size" "${features:-?}" "$took")")
  fi
}

# Each regression input through a target once; one test per input and target.
run_regressions() {
  local target=$1 bin=$b/fuzz/$1 file log=$b/logs/$1-regressions.log n=0 bad=0
  mkdir -p "$b/logs"
  : >"$log"
  while IFS= read -r -d '' file; do
    n=$((n + 1))
    if "$bin" "${limits[@]}" "$file" >>"$log" 2>&1; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1)) bad=$((bad + 1))
      findings+=("$target: ${file#"$src"/} fails again (log: $log)")
    fi
  done < <(find "$src/tests/fuzz/regressions" -type f -print0 2>/dev/null | sort -z)
  table+=("$(printf '%-18s %4d inputs, %d failed' "$target" "$n" "$bad")")
}

for t in "${targets[@]}"; do
  if [ "$mode" = regressions ]; then
    run_regressions "$t"
  else
    echo "== $t: $seconds s"
    run_target "$t"
  fi
done

echo
if [ "$mode" = regressions ]; then
  echo "target             regression inputs"
else
  echo "target                  execs   corpus  features   time  result"
fi
printf '%s\n' "${table[@]}"
for f in "${findings[@]+"${findings[@]}"}"; do echo "FINDING: $f"; done
echo "fuzz total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
