#!/usr/bin/env bash
# Upload benchmark: the client's upload thread against rclone (Debian package
# "rclone", installed here when missing) copying the same data with
# --transfers=1 to `rclone serve webdav` on 127.0.0.1. Big data lands below
# /tmp and is removed afterwards. Run it alone on the machine (on a shared
# machine: flock /tmp/wexora-build.lock bench/upload_bench.sh ...).
#
# bench/upload_bench.sh [--big-mib 1024] [--files 10000]
#                       [--folders 100] [--skip-big] [--skip-many]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WEXORA_BUILD_DIR:-$root/build}
"$root/scripts/deps.sh" rclone
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target bench_upload -- --no-print-directory >/dev/null
exec "$build/bench/bench_upload" "$@"
