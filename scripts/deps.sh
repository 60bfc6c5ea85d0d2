#!/usr/bin/env bash
# Installs the Debian packages of the named groups when they are missing.
# Safe to run again: packages already installed are left alone.
#
#   scripts/deps.sh [GROUP...]      (default: build)
#
# Groups:
#   build    compiler, CMake, Ninja and GoogleTest: velkor, kv30sim, the tests;
#            libusb for velkor's real handsets on Linux, umockdev for the
#            tests of that (an emulated USB bus)
#   windows  the mingw-w64 cross compilers and Wine's 64-bit loader: velkor.exe
#            and its checks (wine32 stays out: with it, the plain wine command
#            picks the 32-bit loader, which these hosts cannot run)
#   fuzz     clang 14 and its run-time libraries (libFuzzer): the fuzz targets
#   valgrind valgrind: velkor under memcheck in the black-box cases
set -euo pipefail

declare -A group_packages=(
  [build]="cmake ninja-build g++ libgtest-dev pkg-config libusb-1.0-0-dev umockdev libumockdev-dev"
  [windows]="g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64"
  [fuzz]="clang-14 libclang-rt-14-dev"
  [valgrind]="valgrind"
)

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(build)

missing=()
for group in "${groups[@]}"; do
  if [ -z "${group_packages[$group]+set}" ]; then
    echo "deps: unknown group '$group' (known: ${!group_packages[*]})" >&2
    exit 2
  fi
  for package in ${group_packages[$group]}; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "deps: these Debian packages are missing: ${missing[*]}" >&2
  echo "deps: installing them needs root; run as root:" >&2
  echo "  apt-get install --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
echo "deps: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# Recommendations stay out (wine64 recommends wine32).
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
