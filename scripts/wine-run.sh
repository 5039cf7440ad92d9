#!/usr/bin/env bash
# Runs a Windows program under wine in $WINEPREFIX, preparing the prefix on first use.
#   WINEPREFIX=DIR wine-run.sh PROGRAM.exe ARGS...   exit code: the program's
#   WINEPREFIX=DIR wine-run.sh --boot                prepares the prefix only
# The prefix is booted once (a stamp file marks it ready) and reused by every later run;
# concurrent first runs wait on a lock instead of booting twice.
set -uo pipefail

: "${WINEPREFIX:?wine-run.sh: set WINEPREFIX}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
# No display is needed: the host is a console program. Without these overrides wine would try
# to offer its .NET and HTML engines while booting, which needs a window and costs time.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY
# wine wants $HOME, which a bare CI environment may lack.
export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}

wine=""
for w in wine64 wine /usr/lib/wine/wine64; do
  if command -v "$w" >/dev/null 2>&1; then wine=$(command -v "$w"); break; fi
done
[ -n "$wine" ] || { echo "wine-run.sh: wine is not installed (run scripts/install-deps.sh)" >&2; exit 127; }
wineserver=""
for w in wineserver /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
  if command -v "$w" >/dev/null 2>&1; then wineserver=$(command -v "$w"); break; fi
done

stamp=$WINEPREFIX/.vor7z-ready
if [ ! -f "$stamp" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$stamp" ]; then
    # A prefix without the stamp is a boot that was interrupted: start again from nothing.
    rm -rf "$WINEPREFIX"
    if ! timeout -k 10 600 "$wine" wineboot --init >"$WINEPREFIX.boot.log" 2>&1; then
      echo "wine-run.sh: wineboot failed in $WINEPREFIX; its output:" >&2
      cat "$WINEPREFIX.boot.log" >&2
      exit 1
    fi
    [ -n "$wineserver" ] && timeout -k 10 120 "$wineserver" -w
    touch "$stamp"
  fi
  exec 9>&-
fi

[ "${1:-}" = "--boot" ] && exit 0
exec "$wine" "$@"
