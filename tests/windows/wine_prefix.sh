#!/bin/sh
# Makes (setup) or ends (cleanup) the Wine prefix of the smoke tests.
#   wine_prefix.sh setup|cleanup PREFIX WINE64 WINESERVER REQUIRED
# setup: a fresh prefix, a persistent wineserver for it (each run then takes
# well under 0.1 s instead of more than a second), and the file
# PREFIX/velkor-ready once Wine has run in it. Where Wine cannot run, it
# prints why and exits 77 (skipped), or 1 when REQUIRED is ON.
# cleanup: stops that wineserver.
set -u

action=$1
prefix=$2
wine64=$3
wineserver=$4
required=$5

case "$prefix" in
  */wine-prefix) ;;
  *) echo "refusing prefix '$prefix': its name must be wine-prefix"; exit 1 ;;
esac

export WINEPREFIX="$prefix" WINESERVER="$wineserver" WINEDEBUG=-all
# No Mono or Gecko installers, and no menu entries in the home folder.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

cannot_run() {
  echo "Wine cannot run here: $1"
  case "$required" in
    ON|on|TRUE|true|1|YES|yes) exit 1 ;;
    *) echo "SKIPPED"; exit 77 ;;
  esac
}

case "$action" in
  setup)
    rm -f "$prefix/velkor-ready"
    [ -x "$wine64" ] || cannot_run "no 64-bit loader at $wine64 (install Debian's wine64)"
    [ -x "$wineserver" ] || cannot_run "no wineserver at $wineserver (install Debian's wine64)"
    # A server left by an earlier run would hold the old prefix.
    "$wineserver" -k >/dev/null 2>&1
    rm -rf "$prefix"
    mkdir -p "$prefix" || cannot_run "cannot create $prefix"
    log="$prefix/../wine-prefix.log"
    start=$(date +%s.%N)
    # The server and the services that wineboot starts outlive this script:
    # none of them may keep CTest's output pipe open.
    "$wineserver" -p </dev/null >"$log" 2>&1 || { cat "$log"; cannot_run "wineserver did not start"; }
    timeout 300 "$wine64" wineboot -i </dev/null >>"$log" 2>&1
    status=$?
    end=$(date +%s.%N)
    if [ "$status" -ne 0 ]; then
      cat "$log"
      "$wineserver" -k >/dev/null 2>&1
      cannot_run "wineboot -i failed with status $status"
    fi
    echo "Wine prefix $prefix made in $(awk "BEGIN { printf \"%.1f\", $end - $start }") s"
    touch "$prefix/velkor-ready"
    ;;
  cleanup)
    rm -f "$prefix/velkor-ready"
    [ -x "$wineserver" ] || exit 0
    "$wineserver" -k >/dev/null 2>&1
    echo "wineserver for $prefix stopped"
    ;;
  *)
    echo "usage: wine_prefix.sh setup|cleanup PREFIX WINE64 WINESERVER REQUIRED"
    exit 2
    ;;
esac
exit 0
