#!/usr/bin/env bash
# Uploads a 1 MiB image with velkor.exe to kv30sim.exe, both under Wine
# through the test kernel driver (scripts/wine-bench.sh), and prints the wall
# time, its ratio to the protocol's floor (2048 chunks, each followed by a
# 10 ms pause), the CPU time of velkor.exe, and that of the bench's other Wine
# processes (kv30sim.exe, wineserver, the driver's winedevice.exe and the
# rest of the prefix's services) over the same time. Then, when it is built,
# bench/upload_bench prints the same upload on Linux, in the same sitting.
#
#   bench/wine_upload_bench.sh [RUNS] [LINUX_UPLOAD_BENCH]
#
# The bench folder is VELKOR_WINE_BENCH_DIR as for scripts/wine-bench.sh; a
# bench that runs there is stopped first.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-1}
linux_bench=${2:-$root/build/bench/upload_bench}
script=$root/scripts/wine-bench.sh
bench=${VELKOR_WINE_BENCH_DIR:-$root/build-wine-bench}
prefix=$bench/wine-prefix
work=$(mktemp -d /tmp/velkor-wine-bench-XXXXXX)
trap 'bash "$script" stop >/dev/null 2>&1; rm -rf "$work"' EXIT

ticks=$(getconf CLK_TCK)

# CPU time (user and system, in clock ticks) used so far by the prefix's
# running Wine processes.
prefix_cpu() {
  local total=0 dir fields
  for dir in /proc/[0-9]*; do
    { tr '\0' '\n' <"$dir/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$prefix" || continue
    # utime and stime, fields 14 and 15: the 12th and 13th after the
    # command's parentheses.
    read -r -a fields <<<"$(sed 's/^.*) //' "$dir/stat" 2>/dev/null)"
    [ ${#fields[@]} -gt 12 ] || continue
    total=$((total + fields[11] + fields[12]))
  done
  echo "$total"
}

python3 - "$work/kv30.bin" <<'EOF'
import sys
image = bytearray((i * 31 + 7) & 0xFF for i in range(1 << 20))
image[4], image[5], image[6] = 0x90, 0, 0
open(sys.argv[1], "wb").write(image)
EOF

floor=20.48
for ((run = 1; run <= runs; run++)); do
  bash "$script" start --image "$work/received.bin" >/dev/null || exit 1
  before=$(prefix_cpu)
  start=$(date +%s.%N)
  # `time` reports velkor.exe's own process (wine-bench.sh runs it in place).
  TIMEFORMAT='%U %S'
  cpu=$( { time (cd "$work" && bash "$script" run upload kv30.bin >"$work/out" 2>/dev/null
                  echo $? >"$work/status"); } 2>&1)
  end=$(date +%s.%N)
  after=$(prefix_cpu)
  pending=$(bash "$script" stop 2>/dev/null)
  status=$(cat "$work/status")
  same=differs
  cmp -s "$work/kv30.bin" "$work/received.bin" && same="received whole"
  awk -v wall="$(awk "BEGIN { print $end - $start }")" -v cpu="$cpu" -v floor="$floor" \
    -v others="$(( after - before ))" -v ticks="$ticks" -v status="$status" -v same="$same" \
    -v pending="$pending" 'BEGIN {
      split(cpu, c, " ");
      printf "wine: upload of 1048576 bytes: status %d, image %s, wall %.3f s, wall/floor %.3f (floor %.2f s), velkor.exe cpu %.3f s, other bench processes cpu %.3f s; %s\n",
        status, same, wall, wall / floor, floor, c[1] + c[2], others / ticks, pending
    }'
done

if [ -x "$linux_bench" ]; then
  "$linux_bench" "$runs" 2>&1 | sed 's/^/linux: /'
else
  echo "linux: no $linux_bench (build it: scripts/build.sh build)"
fi
