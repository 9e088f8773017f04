#!/usr/bin/env bash
# Upload benchmark: the client's upload thread against rclone copy (Debian
# package "rclone", installed here when missing) to `rclone serve webdav`,
# on loopback unless --links names simulated links. Big data lands below
# /tmp and is removed afterwards. Run it alone on the machine (on a shared
# machine: flock /tmp/wexora-build.lock bench/upload_bench.sh ...).
#
# bench/upload_bench.sh [--links loopback,20ms-100mbit,60ms-20mbit] [--jobs 16]
#                       [--transfers 4,1] [--big-mib 1024] [--files 10000]
#                       [--folders 100] [--skip-big] [--skip-many] [--proxy-loopback]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WEXORA_BUILD_DIR:-$root/build}
"$root/scripts/deps.sh" rclone
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target bench_upload -- --no-print-directory >/dev/null
exec "$build/bench/bench_upload" "$@"
