# Sourced by run.sh and test.sh.
#   step WHAT LOG COMMAND...
# Runs COMMAND with its output kept in LOG, quietly. When it fails, says which step failed, shows
# the first error lines and the end of the log and where the whole log is, and returns its exit code.
step() {
  local what=$1 log=$2 rc=0
  shift 2
  mkdir -p "$(dirname "$log")"
  "$@" >"$log" 2>&1 || rc=$?
  if [ "$rc" -eq 0 ]; then return 0; fi
  {
    printf '\n**** FAILED: %s (exit code %d)\n' "$what" "$rc"
    # A compiler's first error may lie far above the end of a long log.
    if [ "$(wc -l <"$log")" -gt 30 ] && grep -qE '[Ee]rror( at|:)|FAILED:' "$log"; then
      echo "---- first error lines:"
      grep -m 10 -E '[Ee]rror( at|:)|FAILED:' "$log"
    fi
    echo "---- last lines of the log:"
    tail -n 30 "$log"
    printf '**** whole log: %s\n' "$log"
  } >&2
  return "$rc"
}
