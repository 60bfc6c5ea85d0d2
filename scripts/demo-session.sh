#!/usr/bin/env bash
# A short real session of velkor against the simulated handset kv30sim:
# starts kv30sim in the background in a fresh folder, uploads a generated
# firmware image, applies the usage text's example 1 configuration, logs in
# and runs "command config show", then shows what the handset received (its
# transcript, its stored settings and the image) and stops kv30sim.
#
#   scripts/demo-session.sh BUILD-FOLDER
#
# Exits 0 when every step ended as expected.
set -uo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD-FOLDER" >&2
  exit 2
fi
build=$(cd "$1" && pwd) || exit 2
velkor=$build/app/velkor
kv30sim=$build/sim/kv30sim/kv30sim
for program in "$velkor" "$kv30sim"; do
  if [ ! -x "$program" ]; then
    echo "demo-session: $program is missing; build first" >&2
    exit 2
  fi
done

work=$(mktemp -d /tmp/velkor-demo-XXXXXX)
export KV30SIM_DIR=$work/kv30sim
simpid=
cleanup() {
  if [ -n "$simpid" ] && kill -0 "$simpid" 2>/dev/null; then
    kill -TERM "$simpid" 2>/dev/null
    wait "$simpid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

section() { printf '\n=== %s\n' "$1"; }

section "starting kv30sim (KV30SIM_DIR=$KV30SIM_DIR)"
"$kv30sim" --log "$work/transcript" --settings "$work/settings" \
  --image "$work/received.bin" >"$work/kv30sim.out" 2>"$work/kv30sim.err" &
simpid=$!
for _ in $(seq 1 100); do
  grep -q '^kv30sim: ready' "$work/kv30sim.out" 2>/dev/null && break
  if ! kill -0 "$simpid" 2>/dev/null; then
    echo "demo-session: kv30sim ended before it was ready:" >&2
    cat "$work/kv30sim.err" >&2
    exit 1
  fi
  sleep 0.1
done
if ! grep -q '^kv30sim: ready' "$work/kv30sim.out"; then
  echo "demo-session: kv30sim did not get ready" >&2
  exit 1
fi
cat "$work/kv30sim.out"

# A firmware image of 1000 bytes: byte 4 is 0x90, bytes 5 and 6 are 0.
{
  printf 'KV30\220\000\000\001'
  head -c 992 /dev/zero | tr '\000' 'U'
} >"$work/kv30.bin"

failures=0
# Runs velkor in the work folder, shows its output and its exit status, and
# counts a status other than the expected one.
step() {
  local expected=$1
  shift
  section "velkor $*"
  (cd "$work" && "$velkor" "$@")
  local status=$?
  printf '\n[exit status %d]\n' "$status"
  if [ "$status" -ne "$expected" ]; then
    echo "demo-session: expected exit status $expected" >&2
    failures=$((failures + 1))
  fi
}

step 0 upload kv30.bin
step 0 config /ssid myssid /wep-key 4be07d21a9c3f5e8617d0b2c94 /cipher wep128 \
  /wep-index 1 /prot h323 /gk-addr 192.168.0.10 /e164 501
step 0 login
step 0 command config show

section "stopping kv30sim"
kill -TERM "$simpid"
wait "$simpid"
status=$?
simpid=
echo "kv30sim exit status $status"
[ "$status" -eq 0 ] || failures=$((failures + 1))

section "what the handset received: transcript (OUT/IN, endpoint, bytes)"
cat "$work/transcript"
section "the handset's stored settings"
cat "$work/settings"
section "the image the handset received"
if cmp -s "$work/kv30.bin" "$work/received.bin"; then
  echo "identical to kv30.bin ($(wc -c <"$work/received.bin") bytes)"
else
  echo "differs from kv30.bin"
  failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
  printf '\ndemo-session: %d step(s) did not end as expected\n' "$failures" >&2
  exit 1
fi
printf '\ndemo-session: complete\n'
