#!/usr/bin/env bash
# Configures and builds velkor, kv30sim and the tests in a build folder.
# Usage: scripts/build.sh FOLDER [cmake options...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
folder=$1
shift
cmake -S "$root" -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_WERROR=ON "$@" >/dev/null
cmake --build "$folder" -j "$(nproc)"
