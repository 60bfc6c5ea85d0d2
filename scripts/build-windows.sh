#!/bin/sh
# Builds the Windows executables from this tree with Debian's mingw-w64 cross
# compilers, warnings as errors:
#   $VELKOR_WIN32_BUILD/app/velkor.exe  the shipped 32-bit console program
#   $VELKOR_WIN64_BUILD/app/velkor.exe  its 64-bit twin, for running under Wine
# The build folders default to build-win32 and build-win64 in the tree.
# Installs the cross compilers and Wine's 64-bit loader when they are missing
# (scripts/deps.sh).
# Safe to run again: it reconfigures and rebuilds what changed.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
win32_build=${VELKOR_WIN32_BUILD:-$root/build-win32}
win64_build=${VELKOR_WIN64_BUILD:-$root/build-win64}
jobs=${VELKOR_JOBS:-2}

now() { date +%s.%N; }
seconds() { awk "BEGIN { printf \"%.1f\", $2 - $1 }"; }

bash "$root/scripts/deps.sh" build windows

if command -v ninja >/dev/null 2>&1; then
  generator="Ninja"
else
  generator="Unix Makefiles"
fi

# build TRIPLE FOLDER
build() {
  folder=$2
  # An existing folder keeps the generator it was made with.
  if [ -f "$folder/CMakeCache.txt" ]; then
    set -- "$1" "$folder" "$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$folder/CMakeCache.txt")"
  else
    set -- "$1" "$folder" "$generator"
  fi
  start=$(now)
  cmake -S "$root" -B "$folder" -G "$3" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$1.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVELKOR_WERROR=ON
  cmake --build "$folder" --target velkor --parallel "$jobs"
  echo "windows: $1 build in $folder took $(seconds "$start" "$(now)") s"
}

build i686-w64-mingw32 "$win32_build"
build x86_64-w64-mingw32 "$win64_build"

echo "windows: built $win32_build/app/velkor.exe"
echo "windows: built $win64_build/app/velkor.exe"
