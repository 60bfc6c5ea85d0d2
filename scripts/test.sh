#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the plain build (with
# the Windows executables' checks under Wine and velkor under valgrind's
# memcheck in a subset of the black-box cases), the build under
# AddressSanitizer with UndefinedBehaviorSanitizer, and the build under
# ThreadSanitizer, and the fuzz configuration (clang, libFuzzer: each fuzz
# target runs for 30 s). Warnings are errors in every build. A configuration
# passes when it builds and ctest ends with status 0.
# Usage: scripts/test.sh [plain|address|thread|fuzz ...]   (default: all of them)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/deps.sh build || exit 1

configs=("$@")
[ ${#configs[@]} -eq 0 ] && configs=(plain address thread fuzz)

jobs=$(( $(nproc) * 2 ))
status=0
passed=0
failed=0
results=()
for config in "${configs[@]}"; do
  case $config in
    plain)
      folder=build-test
      bash scripts/deps.sh valgrind || exit 1
      if ! bash scripts/build-windows.sh; then
        echo "test: the Windows builds failed"
        results+=("$config: the Windows builds failed")
        status=1
        continue
      fi
      options=(-DVELKOR_WINDOWS_TESTS=ON -DVELKOR_WINDOWS_TESTS_REQUIRED=ON
               -DVELKOR_WIN32_EXE="$root/build-win32/app/velkor.exe"
               -DVELKOR_WIN64_EXE="$root/build-win64/app/velkor.exe"
               -DVELKOR_WINBENCH_BUILD="$root/build-winbench") ;;
    # The Windows executables are checked once, in the plain configuration.
    address) folder=build-asan; options=(-DVELKOR_SANITIZE=address -DVELKOR_WINDOWS_TESTS=OFF) ;;
    thread) folder=build-tsan; options=(-DVELKOR_SANITIZE=thread -DVELKOR_WINDOWS_TESTS=OFF) ;;
    fuzz)
      folder=build-fuzz
      bash scripts/deps.sh fuzz || exit 1
      options=(-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
               -DVELKOR_SANITIZE=fuzzer -DVELKOR_TESTS=OFF
               -DVELKOR_FUZZ_SECONDS=30) ;;
    *) echo "test: unknown configuration $config"; exit 2 ;;
  esac
  # The libusb tests fail rather than skip where umockdev is missing (the
  # fuzz configuration builds no tests).
  [ "$config" != fuzz ] && options+=(-DVELKOR_LIBUSB_TESTS_REQUIRED=ON)
  echo "== $config build ($folder)"
  if ! bash scripts/build.sh "$folder" "${options[@]}"; then
    echo "test: the $config build failed"
    results+=("$config: the build failed")
    status=1
    continue
  fi
  echo "== $config tests"
  log="$folder/ctest.log"
  (cd "$folder" && ctest --output-on-failure -j "$jobs") 2>&1 | tee "$log"
  ctest_status=${PIPESTATUS[0]}
  # The counts are for the summary only; ctest's status decides.
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$summary" ]; then
    bad=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
    all=$(echo "$summary" | sed -E 's/.* tests failed out of ([0-9]+).*/\1/')
    passed=$((passed + all - bad))
    failed=$((failed + bad))
  fi
  if [ "$ctest_status" -ne 0 ]; then
    results+=("$config: ctest failed (status $ctest_status)")
    status=1
  else
    results+=("$config: passed")
  fi
done

for result in "${results[@]}"; do echo "test: $result"; done
echo "total: $passed passed, $failed failed"
exit $status
