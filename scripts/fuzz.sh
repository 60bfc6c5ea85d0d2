#!/usr/bin/env bash
# Long fuzzing runs of the parsers of velkor (and kv30sim) with libFuzzer.
# Builds the fuzz configuration (clang-14, -fsanitize=fuzzer,address,undefined)
# in build-fuzz, then runs the chosen targets, JOBS at a time, for SECONDS
# each. Each target starts from its seeds (fuzz/corpus/TARGET) and what
# earlier runs found (build-fuzz/fuzz/corpus/TARGET, kept between runs);
# inputs that crash go to build-fuzz/fuzz/artifacts. Prints each target's
# executions and outcome; exits nonzero when one found a fault.
# Usage: scripts/fuzz.sh [-t SECONDS] [-j JOBS] [TARGET...]
#        (default: 600 seconds, 2 jobs, every target; scripts/fuzz.sh -l lists them)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=600
jobs=2
list=0
while getopts "t:j:l" option; do
  case $option in
    t) seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    l) list=1 ;;
    *) echo "usage: scripts/fuzz.sh [-t SECONDS] [-j JOBS] [-l] [TARGET...]"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

bash scripts/deps.sh build fuzz || exit 1
folder=build-fuzz
bash scripts/build.sh "$folder" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DVELKOR_SANITIZE=fuzzer -DVELKOR_TESTS=OFF \
  -DVELKOR_FUZZ_SECONDS="$seconds" || exit 1

if [ "$list" -eq 1 ]; then
  (cd "$folder" && ctest -N -L fuzz) | sed -n 's/.*Test *#[0-9]*: fuzz\.//p' | grep -v '^folders$'
  exit 0
fi

pattern="fuzz\\."
if [ $# -gt 0 ]; then
  pattern="fuzz\\.(folders|$(IFS='|'; echo "$*"))\$"
fi
(cd "$folder" && ctest -L fuzz -R "$pattern" -j "$jobs" --output-on-failure)
status=$?

# Executions per target, from the runs' final statistics.
awk '/^[0-9]+\/[0-9]+ Test: fuzz\./ { name = $3 }
     /stat::number_of_executed_units/ { print name ": " $2 " executions" }' \
  "$folder/Testing/Temporary/LastTest.log"
ls "$folder/fuzz/artifacts" 2>/dev/null | sed 's/^/artifact: /'
exit $status
