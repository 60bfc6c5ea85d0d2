#!/bin/sh
# Builds the Windows executables from this tree with Debian's mingw-w64 cross
# compilers, warnings as errors:
#   $VELKOR_WIN32_BUILD/app/velkor.exe  the shipped 32-bit console program
#   $VELKOR_WIN64_BUILD/app/velkor.exe  its 64-bit twin, for running under Wine
#   $VELKOR_WINBENCH_BUILD              the Wine test bench (winbench/): the
#                                       test driver, kv30sim.exe, benchctl.exe
#                                       and the Windows test programs, with the
#                                       posix-thread compilers
# The build folders default to build-win32, build-win64 and build-winbench in
# the tree.
# Installs the cross compilers and Wine's 64-bit loader with apt-get when they
# are missing (as root, or through sudo). Never installs wine32: with it, the
# generic wine command picks the 32-bit loader, which these hosts cannot run.
# Safe to run again: it reconfigures and rebuilds what changed.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
win32_build=${VELKOR_WIN32_BUILD:-$root/build-win32}
win64_build=${VELKOR_WIN64_BUILD:-$root/build-win64}
winbench_build=${VELKOR_WINBENCH_BUILD:-$root/build-winbench}
jobs=${VELKOR_JOBS:-2}

packages="g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64 libgtest-dev"

now() { date +%s.%N; }
seconds() { awk "BEGIN { printf \"%.1f\", $2 - $1 }"; }

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
if [ -n "$missing" ]; then
  echo "windows: installing$missing"
  if [ "$(id -u)" -eq 0 ]; then
    as_root=""
  elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
  else
    echo "windows: need root (or sudo) to install:$missing" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  $as_root apt-get update -q
  # wine64 recommends wine32; recommendations stay out.
  # shellcheck disable=SC2086
  $as_root apt-get install -y -q --no-install-recommends $missing
fi

if command -v ninja >/dev/null 2>&1; then
  generator="Ninja"
else
  generator="Unix Makefiles"
fi

# build TOOLCHAIN FOLDER TARGET [cmake options...]
build() {
  toolchain=$1
  folder=$2
  target=$3
  shift 3
  # An existing folder keeps the generator it was made with.
  if [ -f "$folder/CMakeCache.txt" ]; then
    folder_generator=$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$folder/CMakeCache.txt")
  else
    folder_generator=$generator
  fi
  start=$(now)
  cmake -S "$root" -B "$folder" -G "$folder_generator" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVELKOR_WERROR=ON "$@"
  cmake --build "$folder" --target "$target" --parallel "$jobs"
  echo "windows: $toolchain build in $folder took $(seconds "$start" "$(now)") s"
}

build i686-w64-mingw32 "$win32_build" velkor
build x86_64-w64-mingw32 "$win64_build" velkor
build x86_64-w64-mingw32-posix "$winbench_build" velkor_winbench -DVELKOR_WINBENCH=ON

echo "windows: built $win32_build/app/velkor.exe"
echo "windows: built $win64_build/app/velkor.exe"
echo "windows: built the Wine test bench in $winbench_build"
