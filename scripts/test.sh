#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the plain build, the
# build under AddressSanitizer with UndefinedBehaviorSanitizer, the build
# under ThreadSanitizer, and the Windows executables with their checks and
# smoke tests under Wine, and the fuzz configuration (clang, libFuzzer), which
# runs each fuzz target for 30 s. Warnings are errors in every build.
# Usage: scripts/test.sh [plain|address|thread|fuzz ...]   (default: all of them)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/deps.sh || exit 1

configs=("$@")
[ ${#configs[@]} -eq 0 ] && configs=(plain address thread fuzz)

windows_options=()
if [ -f scripts/build-windows.sh ]; then
  bash scripts/build-windows.sh || { echo "test: the Windows builds failed"; exit 1; }
  windows_options=(-DVELKOR_WIN32_EXE="$root/build-win32/app/velkor.exe"
                   -DVELKOR_WIN64_EXE="$root/build-win64/app/velkor.exe"
                   -DVELKOR_WINDOWS_TESTS_REQUIRED=ON)
fi

passed=0
failed=0
status=0
jobs=$(( $(nproc) * 2 ))
for config in "${configs[@]}"; do
  case $config in
    plain) folder=build-test; options=("${windows_options[@]}") ;;
    address) folder=build-asan; options=(-DVELKOR_SANITIZE=address) ;;
    thread) folder=build-tsan; options=(-DVELKOR_SANITIZE=thread) ;;
    fuzz) folder=build-fuzz
          options=(-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
                   -DVELKOR_SANITIZE=fuzzer -DVELKOR_TESTS=OFF -DVELKOR_FUZZ_SECONDS=30) ;;
    *) echo "test: unknown configuration $config"; exit 2 ;;
  esac
  echo "== $config build ($folder)"
  if ! bash scripts/build.sh "$folder" "${options[@]}"; then
    echo "test: the $config build failed"
    status=1
    failed=$((failed + 1))
    continue
  fi
  echo "== $config tests"
  log="$folder/ctest.log"
  (cd "$folder" && ctest --output-on-failure -j "$jobs" 2>&1) | tee "$log"
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "test: no test summary from the $config run"
    status=1
    continue
  fi
  bad=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
  all=$(echo "$summary" | sed -E 's/.* tests failed out of ([0-9]+).*/\1/')
  passed=$((passed + all - bad))
  failed=$((failed + bad))
  [ "$bad" -ne 0 ] && status=1
done

echo "total: $passed passed, $failed failed"
exit $status
