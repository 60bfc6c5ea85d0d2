#!/bin/sh
# Makes, keeps and ends a Wine prefix with the test driver installed.
#   bench-prefix.sh setup PREFIX DRIVER [REQUIRED]   a fresh prefix; with
#                                                    DRIVER "none", one without
#                                                    the driver (for programs
#                                                    that need no device)
#   bench-prefix.sh ensure PREFIX DRIVER             the prefix as it is, made
#                                                    when missing, its driver
#                                                    replaced when DRIVER differs;
#                                                    Wine processes still running
#                                                    in it are ended
#   bench-prefix.sh cleanup PREFIX                   stops its wineserver
# PREFIX must end in /wine-prefix (it is removed and made anew). A persistent
# wineserver is kept for it, so that each later Wine run takes a fraction of
# a second, and the driver (the velkorbench service) is running when setup
# or ensure return; setup then leaves the file PREFIX/velkorbench-ready.
# Where Wine cannot run, setup prints why and exits 77 (skipped), or 1 when
# REQUIRED is ON; ensure exits 1.
set -u

action=${1:-}
prefix=${2:-}
driver=${3:-}
required=${4:-OFF}

case "$prefix" in
  */wine-prefix) ;;
  *) echo "refusing prefix '$prefix': its name must be wine-prefix"; exit 1 ;;
esac

wine64=${VELKOR_WINE64:-/usr/lib/wine/wine64}
wineserver=${VELKOR_WINESERVER:-/usr/lib/wine/wineserver64}
export WINEPREFIX="$prefix" WINESERVER="$wineserver" WINEDEBUG=-all
# No Mono or Gecko installers, and no menu entries in the home folder.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
log="$prefix/../bench-prefix.log"
installed="$prefix/drive_c/windows/system32/drivers/velkorbench.sys"

cannot_run() {
  echo "Wine cannot run here: $1"
  [ "$action" = ensure ] && exit 1
  case "$required" in
    ON|on|TRUE|true|1|YES|yes) exit 1 ;;
    *) echo "SKIPPED"; exit 77 ;;
  esac
}

now() { date +%s.%N; }
seconds() { awk "BEGIN { printf \"%.1f\", $2 - $1 }"; }

# Starts the persistent server; the server and the services that Wine starts
# outlive this script, so none of them may keep its output open.
start_server() {
  "$wineserver" -p </dev/null >>"$log" 2>&1 || { cat "$log"; cannot_run "wineserver did not start"; }
}

make_prefix() {
  "$wineserver" -k >/dev/null 2>&1
  "$wineserver" -w >/dev/null 2>&1
  rm -rf "$prefix"
  mkdir -p "$prefix" || cannot_run "cannot create $prefix"
  : >"$log"
  start_server
  timeout 300 "$wine64" wineboot -i </dev/null >>"$log" 2>&1
  status=$?
  if [ "$status" -ne 0 ]; then
    cat "$log"
    "$wineserver" -k >/dev/null 2>&1
    cannot_run "wineboot -i failed with status $status"
  fi
}

# The service entry. services.exe reads its list when it starts, so the
# running Wine processes are ended before the service is started.
install_driver() {
  cp "$driver" "$installed" || cannot_run "cannot copy $driver into the prefix"
  reg="$prefix/../velkorbench.reg"
  cat >"$reg" <<'EOF'
REGEDIT4

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\velkorbench]
"Type"=dword:00000001
"Start"=dword:00000003
"ErrorControl"=dword:00000001
"ImagePath"="C:\\windows\\system32\\drivers\\velkorbench.sys"
"DisplayName"="velkor test bench driver"
EOF
  "$wine64" regedit /S "$reg" </dev/null >>"$log" 2>&1 || cannot_run "regedit failed"
  "$wine64" wineboot -k </dev/null >>"$log" 2>&1
}

start_driver() {
  # Output to a file: the services net starts would hold a pipe open.
  "$wine64" net start velkorbench </dev/null >"$log.net" 2>&1
  status=$?
  out=$(cat "$log.net")
  cat "$log.net" >>"$log"
  case "$out" in
    *"already been started"*|*"started successfully"*) return 0 ;;
  esac
  [ "$status" -eq 0 ] && return 0
  cat "$log"
  cannot_run "the test driver did not start"
}

[ -n "$action" ] || { echo "usage: bench-prefix.sh setup|ensure|cleanup PREFIX [DRIVER [REQUIRED]]"; exit 2; }

case "$action" in
  setup)
    rm -f "$prefix/velkorbench-ready"
    [ -x "$wine64" ] || cannot_run "no 64-bit loader at $wine64 (install Debian's wine64)"
    [ -x "$wineserver" ] || cannot_run "no wineserver at $wineserver (install Debian's wine64)"
    start=$(now)
    if [ "$driver" = none ]; then
      make_prefix
      echo "Wine prefix $prefix made in $(seconds "$start" "$(now)") s"
    else
      [ -f "$driver" ] || cannot_run "no test driver at $driver (build it with scripts/build-windows.sh)"
      make_prefix
      install_driver
      start_driver
      echo "Wine prefix $prefix with the test driver made in $(seconds "$start" "$(now)") s"
    fi
    touch "$prefix/velkorbench-ready"
    ;;
  ensure)
    [ -x "$wine64" ] || cannot_run "no 64-bit loader at $wine64 (install Debian's wine64)"
    [ -f "$driver" ] || cannot_run "no test driver at $driver"
    if [ ! -f "$prefix/velkorbench-ready" ]; then
      make_prefix
      install_driver
      touch "$prefix/velkorbench-ready"
    else
      "$wineserver" -k >/dev/null 2>&1
      "$wineserver" -w >/dev/null 2>&1
      start_server
      if ! cmp -s "$driver" "$installed"; then
        "$wine64" net stop velkorbench </dev/null >>"$log" 2>&1
        install_driver
      fi
    fi
    start_driver
    ;;
  cleanup)
    rm -f "$prefix/velkorbench-ready"
    [ -x "$wineserver" ] || exit 0
    "$wineserver" -k >/dev/null 2>&1
    echo "wineserver for $prefix stopped"
    ;;
  *)
    echo "usage: bench-prefix.sh setup|ensure|cleanup PREFIX [DRIVER [REQUIRED]]"
    exit 2
    ;;
esac
exit 0
