#!/usr/bin/env bash
# velkor.exe (the 64-bit twin of the shipped program) against a simulated
# handset, both under Wine, through the test kernel driver.
#
#   scripts/wine-bench.sh start [kv30sim options]   start kv30sim.exe
#   scripts/wine-bench.sh run WORDS...              run velkor.exe WORDS
#   scripts/wine-bench.sh stop                      end kv30sim.exe
#
# start installs and builds what is missing (Debian packages, the Windows
# programs, the driver), makes the Wine prefix with the driver installed once,
# and starts kv30sim.exe with the options kv30sim takes (kv30sim --help); a
# bench already running is stopped first. Linux paths are accepted for --log,
# --image and --settings. The handset keeps its state (login, settings,
# received image) from one run to the next until stop.
# run passes velkor.exe's standard output (with the Windows line ends) and its
# exit status through; without a started bench velkor.exe finds no handset. A
# Linux path after `upload` is accepted too.
# stop ends kv30sim.exe as Ctrl-C would and prints "pending requests: N",
# the requests of velkor's handles that the driver still held; its exit
# status is kv30sim.exe's. Without a running bench it does nothing and
# succeeds.
#
# Folders: VELKOR_WINE_BENCH_DIR (default build-wine-bench in the tree) holds
# the prefix and the bench's state; VELKOR_WIN64_BUILD (build-win64) and
# VELKOR_WINBENCH_BUILD (build-winbench) are the builds of
# scripts/build-windows.sh; VELKOR_WIN64_EXE names another velkor.exe.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bench=${VELKOR_WINE_BENCH_DIR:-$root/build-wine-bench}
win64_build=${VELKOR_WIN64_BUILD:-$root/build-win64}
winbench_build=${VELKOR_WINBENCH_BUILD:-$root/build-winbench}
velkor_exe=${VELKOR_WIN64_EXE:-$win64_build/app/velkor.exe}
kv30sim_exe=$winbench_build/sim/kv30sim/kv30sim.exe
benchctl_exe=$winbench_build/winbench/benchctl.exe
driver=$winbench_build/winbench/velkorbench.sys
prefix=$bench/wine-prefix
pid_file=$bench/kv30sim.pid
status_file=$bench/kv30sim.status
sim_output=$bench/kv30sim.out
sim_errors=$bench/kv30sim.err

wine64=${VELKOR_WINE64:-/usr/lib/wine/wine64}
export WINEPREFIX="$prefix" WINESERVER="${VELKOR_WINESERVER:-/usr/lib/wine/wineserver64}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

say() { echo "wine-bench: $*" >&2; }

# Builds (and installs packages for) what is missing.
ensure_programs() {
  if [ ! -f "$velkor_exe" ] || [ ! -f "$kv30sim_exe" ] || [ ! -f "$benchctl_exe" ] ||
     [ ! -f "$driver" ] || [ ! -x "$wine64" ]; then
    say "building the Windows programs (scripts/build-windows.sh)"
    VELKOR_WIN64_BUILD="$win64_build" VELKOR_WINBENCH_BUILD="$winbench_build" \
      bash "$root/scripts/build-windows.sh" >&2 || { say "the build failed"; exit 1; }
  fi
}

ensure_prefix() {
  mkdir -p "$bench" || exit 1
  # A prefix whose driver runs, and is the one built, is kept as it is.
  if [ -f "$prefix/velkorbench-ready" ] &&
     cmp -s "$driver" "$prefix/drive_c/windows/system32/drivers/velkorbench.sys" &&
     "$wine64" "$benchctl_exe" state </dev/null >/dev/null 2>&1; then
    return
  fi
  [ -f "$prefix/velkorbench-ready" ] || say "making the Wine prefix $prefix (once)"
  sh "$root/winbench/bench-prefix.sh" ensure "$prefix" "$driver" >&2 ||
    { say "the Wine prefix could not be made"; exit 1; }
}

# The process id of the running kv30sim.exe, or nothing.
running_pid() {
  [ -f "$pid_file" ] || return 1
  local pid
  pid=$(cat "$pid_file")
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    echo "$pid"
    return 0
  fi
  rm -f "$pid_file"
  return 1
}

# A Linux path as Wine's programs take it (already Windows-style: as it is).
windows_path() {
  case "$1" in
    [A-Za-z]:\\*|[A-Za-z]:/*|*\\*) echo "$1"; return ;;
  esac
  local absolute
  absolute=$(realpath -m -- "$1")
  "$wine64" winepath -w "$absolute" 2>/dev/null </dev/null | tr -d '\r'
}

benchctl() { "$wine64" "$benchctl_exe" "$@" </dev/null | tr -d '\r'; }

# Ends a running kv30sim.exe; its exit status (0 when none ran).
stop_bench() {
  local pid
  pid=$(running_pid) || return 0
  # What velkor left pending; the driver gets a moment to see the last
  # program's handles closed.
  local pending
  pending=$(benchctl pending 3000)
  benchctl stop 10000 >/dev/null
  local waited=0
  while [ ! -f "$status_file" ] && [ "$waited" -lt 100 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if [ ! -f "$status_file" ]; then
    say "kv30sim.exe did not end; killing it"
    kill -9 "$pid" 2>/dev/null
    sleep 0.5
  fi
  rm -f "$pid_file"
  echo "${pending:-pending requests: unknown}"
  tr -d '\r' <"$sim_errors" >&2
  local status=1
  [ -f "$status_file" ] && status=$(cat "$status_file")
  return "$status"
}

start_bench() {
  ensure_programs
  [ -n "$(running_pid)" ] && stop_bench >/dev/null 2>&1
  ensure_prefix
  local words=() option
  while [ $# -gt 0 ]; do
    option=$1
    shift
    case "$option" in
      --log|--image|--settings)
        [ $# -gt 0 ] || { say "missing value for $option"; exit 2; }
        words+=("$option" "$(windows_path "$1")")
        shift
        ;;
      *) words+=("$option") ;;
    esac
  done
  # kv30sim.exe outlives this script: its output goes to files, not to a
  # pipe anyone waits on, and a shell of its own keeps its exit status.
  : >"$sim_output"
  : >"$sim_errors"
  rm -f "$status_file" "$pid_file"
  (
    "$wine64" "$kv30sim_exe" "${words[@]}" </dev/null >"$sim_output" 2>"$sim_errors" &
    echo $! >"$pid_file.new"
    mv "$pid_file.new" "$pid_file"
    wait $!
    echo $? >"$status_file"
  ) </dev/null >/dev/null 2>&1 &
  local waited=0 pid=""
  until grep -q "^kv30sim: ready" "$sim_output" 2>/dev/null; do
    [ -z "$pid" ] && [ -f "$pid_file" ] && pid=$(cat "$pid_file")
    if [ -f "$status_file" ]; then
      rm -f "$pid_file"
      tr -d '\r' <"$sim_errors" >&2
      local status
      status=$(cat "$status_file")
      [ "$status" -eq 0 ] && status=1
      exit "$status"
    fi
    if [ "$waited" -ge 600 ]; then
      say "kv30sim.exe did not get ready within 60 s"
      tr -d '\r' <"$sim_output" >&2
      stop_bench >/dev/null
      exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  tr -d '\r' <"$sim_output"
}

run_velkor() {
  ensure_programs
  if [ -z "$(running_pid)" ] && [ ! -f "$prefix/velkorbench-ready" ]; then
    ensure_prefix
  fi
  local words=("$@")
  if [ ${#words[@]} -ge 2 ]; then
    local i
    for ((i = 0; i + 1 < ${#words[@]}; i++)); do
      if [ "${words[$i]}" = upload ] && [ "${words[$((i + 1))]#/}" != "${words[$((i + 1))]}" ]; then
        words[$((i + 1))]=$(windows_path "${words[$((i + 1))]}")
        break
      fi
    done
  fi
  exec "$wine64" "$velkor_exe" "${words[@]}"
}

case "${1:-}" in
  start) shift; start_bench "$@" ;;
  run) shift; run_velkor "$@" ;;
  stop) stop_bench; exit $? ;;
  *)
    echo "usage: scripts/wine-bench.sh start [kv30sim options] | run WORDS... | stop" >&2
    exit 2
    ;;
esac
