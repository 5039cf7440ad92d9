# Shared helpers of the end-to-end tests. Every tests/e2e/test_*.sh starts with
#   source "$(dirname "$0")/lib.sh"
# and is registered by tests/e2e/CMakeLists.txt as the ctest test e2e_<name> (label e2e).
#
# Environment given by ctest:
#   VOR7Z_SRC         source tree
#   VOR7Z_BUILD       build tree
#   VOR7Z_VERSION     the version set in CMakeLists.txt, e.g. 0.91
#   VOR7Z_TOOLS       <build>/tools, the executables of tests/tools/*.cpp
#   VOR7Z_HOST_LINUX  the private Linux 7z (always started by this path, which contains a '/')
#   VOR7Z_HOST_WIN    the private 7z.exe, run under wine; empty when no Windows DLL was built
#   WINEPREFIX        <build>/wineprefix, booted once and reused;  WINEDEBUG=-all
#
# Helpers:
#   e2e_hosts                 prints "linux" and, when the Windows host is there, "win" (one a line)
#   run7z HOST ARGS...        runs that host in the current directory and returns its exit code.
#                             File arguments are relative paths (absolute ones work too); for "win"
#                             they are converted to Windows paths, also in -o/-w/-i!/-x! switches,
#                             and -sccUTF-8 follows the command so names print as on Linux.
#                             stdout and stderr pass through (CR stripped), so redirect them:
#                               run7z "$h" l -slt case.E01 >list.txt 2>&1; rc=$?
#                             Exit codes: 7-Zip's own (0 ok, 1 warning, 2 error, 7 command line,
#                             8 memory); 124 the host hung and was killed after E2E_TIMEOUT seconds
#                             (default 300); >= 128 the host crashed (a signal on Linux; on Windows
#                             an unhandled exception or abort, reported as 128 + its low code bits).
#   expect_clean_exit RC WHAT fails unless RC is 0, 1 or 2 (no crash, no hang, no usage error)
#   e2e_workdir               makes a fresh folder <build>/e2e-work/<test>, cds into it and prints it
#                             (a plain call, or cd "$(e2e_workdir)" in a subshell); removed when the test
#                             passes unless VOR7Z_KEEP_WORK=1 (lib.sh owns the EXIT trap for this;
#                             a script that sets its own should call e2e_cleanup from it)
#   md5_of FILE               prints the MD5 of FILE (lower-case hex)
#   fail MSG                  prints "FAIL: MSG" and ends the test with status 1
#   e2e_skip MSG              ends the test as skipped (status 77)
#   expect_contains TEXT FILE fails unless FILE contains TEXT (fixed string)
#   expect_not_contains TEXT FILE
#   expect_eq EXPECTED ACTUAL WHAT
#   run7z_in HOST DIR OUT ARGS...  runs 7z ARGS in DIR with its output in OUT, sets RC, and fails on a
#                             crash, a hang or a usage error
#   tree_mtimes DIR           "path seconds" of everything below DIR (whole-second modification times)
#   host_formats_dir HOST     the host's Formats folder (for tests that need the plugin file itself)
#   expect_vor7z_info HOST    runs "7z i" (output in info-HOST.txt) and fails unless it lists the plugin
#                             as library 1 from the Formats folder with VOR7Z_VERSION, and its nine
#                             formats as registered

set -u -o pipefail
export LC_ALL=C.UTF-8

: "${VOR7Z_SRC:?run the end-to-end tests through ctest}"
: "${VOR7Z_BUILD:?run the end-to-end tests through ctest}"
: "${VOR7Z_TOOLS:=$VOR7Z_BUILD/tools}"
: "${VOR7Z_HOST_LINUX:=$VOR7Z_BUILD/hosts/linux/7z}"
: "${VOR7Z_HOST_WIN:=}"
: "${WINEPREFIX:=$VOR7Z_BUILD/wineprefix}"
export VOR7Z_SRC VOR7Z_BUILD VOR7Z_TOOLS VOR7Z_HOST_LINUX VOR7Z_HOST_WIN WINEPREFIX
export WINEDEBUG=-all
: "${E2E_TIMEOUT:=300}"

E2E_NAME=$(basename "$0" .sh)
E2E_NAME=${E2E_NAME#test_}

fail() {
  echo "FAIL [$E2E_NAME]: $*" >&2
  exit 1
}

e2e_skip() {
  echo "SKIP [$E2E_NAME]: $*" >&2
  exit 77
}

e2e_hosts() {
  echo linux
  if [ -n "$VOR7Z_HOST_WIN" ]; then echo win; fi
}

host_formats_dir() {
  case $1 in
  linux) echo "$(dirname "$VOR7Z_HOST_LINUX")/Formats" ;;
  win) echo "$(dirname "$VOR7Z_HOST_WIN")/Formats" ;;
  *) fail "unknown host '$1'" ;;
  esac
}

E2E_WORK=""
e2e_workdir() {
  E2E_WORK=$VOR7Z_BUILD/e2e-work/$E2E_NAME
  rm -rf "$E2E_WORK"
  mkdir -p "$E2E_WORK" || fail "cannot create $E2E_WORK"
  cd "$E2E_WORK" || fail "cannot enter $E2E_WORK"
  echo "$E2E_WORK"
}

# Leaves the work folder of a failed test for a look; a passed test cleans up after itself.
e2e_cleanup() {
  local rc=$?
  if [ "$rc" -eq 0 ] && [ "${VOR7Z_KEEP_WORK:-0}" != 1 ]; then
    cd "$VOR7Z_BUILD" && rm -rf "$VOR7Z_BUILD/e2e-work/$E2E_NAME"
  fi
  return "$rc"
}
trap e2e_cleanup EXIT

md5_of() {
  [ -f "$1" ] || fail "md5_of: no file $1"
  md5sum "$1" | cut -d' ' -f1
}

expect_contains() {
  grep -qF -- "$1" "$2" 2>/dev/null && return 0
  echo "--- $2:" >&2
  head -n 60 "$2" >&2 2>/dev/null
  fail "expected '$1' in $2"
}

expect_not_contains() {
  grep -qF -- "$1" "$2" 2>/dev/null || return 0
  echo "--- $2:" >&2
  head -n 60 "$2" >&2
  fail "did not expect '$1' in $2"
}

expect_eq() {
  [ "$1" = "$2" ] || fail "$3: expected '$1', got '$2'"
}

expect_clean_exit() {
  case $1 in
  0 | 1 | 2) return 0 ;;
  124) fail "$2: the host hung (killed after ${E2E_TIMEOUT}s)" ;;
  *) if [ "$1" -ge 128 ]; then fail "$2: the host crashed (exit code $1)"; fi
     fail "$2: unexpected exit code $1" ;;
  esac
}

run7z_in() {
  local host=$1 dir=$2 out=$3
  shift 3
  (cd "$dir" && run7z "$host" "$@") >"$out" 2>&1
  RC=$?
  expect_clean_exit "$RC" "$host: 7z $* in $dir"
}

tree_mtimes() { (cd "$1" && find . -mindepth 1 -printf '%P %T@\n' | sed 's/\.[0-9]*$//' | sort); }

# A path as the Windows host sees it: '/' becomes '\', an absolute path goes through drive Z:.
e2e_winpath() {
  local p=$1
  case $p in /*) p="Z:$p" ;; esac
  printf '%s' "${p//\//\\}"
}

# Converts one command-line argument for the Windows host: plain arguments are paths or wildcards,
# switches keep their name and have their path value converted.
e2e_winarg() {
  local a=$1
  case $a in
  -o?* | -w?*) printf '%s%s' "${a:0:2}" "$(e2e_winpath "${a:2}")" ;;
  -[aix]*[@!]*)
    local head=${a%%[@!]*}
    local sep=${a:${#head}:1}
    printf '%s%s%s' "$head" "$sep" "$(e2e_winpath "${a:${#head}+1}")" ;;
  -*) printf '%s' "$a" ;;
  *) e2e_winpath "$a" ;;
  esac
}

run7z() {
  local host=$1
  shift
  case $host in
  linux)
    [ -x "$VOR7Z_HOST_LINUX" ] || fail "no Linux host at $VOR7Z_HOST_LINUX (build the vor7z_hosts target; p7zip-full installed?)"
    timeout -k 10 "$E2E_TIMEOUT" "$VOR7Z_HOST_LINUX" "$@"
    return $?
    ;;
  win)
    [ -n "$VOR7Z_HOST_WIN" ] || fail "run7z win: no Windows host in this build (configure with -DVOR7Z_WIN_DLL=...)"
    [ -f "$VOR7Z_HOST_WIN" ] || fail "no Windows host at $VOR7Z_HOST_WIN (build the vor7z_hosts target)"
    local args=() a out err rc
    for a in "$@"; do args+=("$(e2e_winarg "$a")"); done
    # Console output in UTF-8 like the Linux host's; wine's default OEM page would mangle names.
    if [ ${#args[@]} -gt 0 ] && [ "${args[0]:0:1}" != - ]; then
      args=("${args[0]}" -sccUTF-8 "${args[@]:1}")
    fi
    out=$(mktemp) err=$(mktemp)
    timeout -k 10 "$E2E_TIMEOUT" bash "$VOR7Z_SRC/scripts/wine-run.sh" "$VOR7Z_HOST_WIN" "${args[@]}" >"$out" 2>"$err"
    rc=$?
    tr -d '\r' <"$out"
    tr -d '\r' <"$err" >&2
    # 7-Zip's own codes stay; wine ends a crashed process with the low byte of its exception code
    # (5 for an access violation, 3 for abort) and prints "Unhandled exception" with a backtrace.
    if [ "$rc" -ne 124 ] && [ "$rc" -lt 128 ]; then
      case $rc in
      0 | 1 | 2 | 7 | 8) grep -q 'Unhandled exception\|wine: Unhandled' "$out" "$err" && rc=$((128 + rc)) ;;
      *) rc=$((128 + rc)) ;;
      esac
    fi
    rm -f "$out" "$err"
    return "$rc"
    ;;
  *) fail "run7z: unknown host '$host'" ;;
  esac
}

# "7z i" lines of our library (index 1, after the host's own 7z.so/7z.dll), blanks collapsed.
e2e_expected_formats() {
  cat <<'EOF'
1 ...................... AD1 AD1 A D S E G M E N T E D F I L E
1 ...................... ADCrypt 001 raw dd A D C R Y P T 00
1 ...................... AFF aff A F F 1 0 0D 0A 00
1 ...................... AFF4 aff4 af4 P K 03 04
1 ...................... E01 s01 e01 E V F 09 0D 0A FF 00
1 ...................... Ex01 ex01 E V F 2 0D 0A 81 00
1 ...................... L01 l01 L V F 09 0D 0A FF 00
1 ...................... Lx01 lx01 L E F 2 0D 0A 81 00
1 ...................... WHX whx W H X 20 B a c k u p 20 v 1 . 0
EOF
}

expect_vor7z_info() {
  local host=$1 plugin=vor7z.so rc
  [ "$host" = win ] && plugin=vor7z.dll
  run7z "$host" i >"info-$host.txt" 2>&1
  rc=$?
  expect_clean_exit "$rc" "$host: 7z i"
  expect_eq 0 "$rc" "$host: exit code of 7z i"
  expect_not_contains "Codec Load Error" "info-$host.txt"
  # The library line: index 1, the version from GetModuleProp, loaded from Formats.
  grep -Eq "^ *1 : ${VOR7Z_VERSION//./\\.} : .*Formats[/\\]$plugin\$" "info-$host.txt" ||
    { cat "info-$host.txt" >&2; fail "$host: vor7z $VOR7Z_VERSION is not listed as library 1 from Formats/$plugin"; }
  sed -n '/^Formats:/,/^$/p' "info-$host.txt" | grep -E '^ *1 ' | tr -s ' ' | sed 's/^ //; s/ $//' >"formats-$host.txt"
  if ! diff -u <(e2e_expected_formats) "formats-$host.txt" >"formats-$host.diff"; then
    cat "formats-$host.diff" >&2
    fail "$host: the formats of 7z i differ from the registered ones"
  fi
}
