#!/usr/bin/env bash
# Configures and builds everything (client AppDir, reference server, tests,
# benchmarks) into ${WEXORA_BUILD_DIR:-build}.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WEXORA_BUILD_DIR:-$root/build}
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=${WEXORA_BUILD_TYPE:-RelWithDebInfo} >/dev/null
cmake --build "$build" -j"$(nproc)" -- --no-print-directory >/dev/null
