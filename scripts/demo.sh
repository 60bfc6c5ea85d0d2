#!/usr/bin/env bash
# The main job on a fresh Debian machine: install what is needed, build, and
# run a short session of velkor against the simulated handset kv30sim.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
bash scripts/build.sh build
if [ -f scripts/demo-session.sh ]; then
  bash scripts/demo-session.sh build
else
  ./build/app/velkor help
fi
