#!/bin/sh
# Builds the Windows executables from this tree with Debian's mingw-w64 cross
# compilers, warnings as errors:
#   $VELKOR_WIN32_BUILD/app/velkor.exe  the shipped 32-bit console program
#   $VELKOR_WIN64_BUILD/app/velkor.exe  its 64-bit twin, for running under Wine
#   $VELKOR_WINBENCH_BUILD              the Wine test bench (winbench/): the
#                                       test driver, kv30sim.exe, benchctl.exe
#                                       and the Windows test programs, built
#                                       with the posix-thread compilers
# The build folders default to build-win32, build-win64 and build-winbench in
# the tree.
# Installs the cross compilers and Wine's 64-bit loader when they are missing
# (scripts/deps.sh).
# Safe to run again: it reconfigures and rebuilds what changed.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
win32_build=${VELKOR_WIN32_BUILD:-$root/build-win32}
win64_build=${VELKOR_WIN64_BUILD:-$root/build-win64}
winbench_build=${VELKOR_WINBENCH_BUILD:-$root/build-winbench}
jobs=${VELKOR_JOBS:-2}

now() { date +%s.%N; }
seconds() { awk "BEGIN { printf \"%.1f\", $2 - $1 }"; }

bash "$root/scripts/deps.sh" build windows

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
# The bench's build needs GoogleTest's sources (the build group's
# libgtest-dev) for its Windows test programs.
build x86_64-w64-mingw32-posix "$winbench_build" velkor_winbench -DVELKOR_WINBENCH=ON

echo "windows: built $win32_build/app/velkor.exe"
echo "windows: built $win64_build/app/velkor.exe"
echo "windows: built the Wine test bench in $winbench_build"
