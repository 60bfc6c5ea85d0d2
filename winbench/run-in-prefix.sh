#!/bin/sh
# Runs a Windows program under Wine in a prefix that bench-prefix.sh set up.
#   run-in-prefix.sh PREFIX REQUIRED PROGRAM [WORDS...]
# Exits with the program's status; 77 (skipped) when the prefix or the
# program is missing, or 1 for that when REQUIRED is ON.
set -u
prefix=$1
required=$2
program=$3
shift 3

wine64=${VELKOR_WINE64:-/usr/lib/wine/wine64}
export WINEPREFIX="$prefix" WINESERVER="${VELKOR_WINESERVER:-/usr/lib/wine/wineserver64}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

missing() {
  echo "$1"
  case "$required" in
    ON|on|TRUE|true|1|YES|yes) exit 1 ;;
    *) echo "SKIPPED"; exit 77 ;;
  esac
}

[ -f "$prefix/velkorbench-ready" ] ||
  missing "the bench prefix $prefix was not set up (see the WineBench.Setup test)"
[ -f "$program" ] || missing "no $program (build it with scripts/build-windows.sh)"
exec "$wine64" "$program" "$@" </dev/null
