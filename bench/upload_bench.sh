#!/usr/bin/env bash
# Upload benchmark: the client's upload thread against rclone (Debian package
# "rclone", installed here when missing) copying the same data with
# --transfers=1 to `rclone serve webdav` on 127.0.0.1. Big data lands below
# /tmp and is removed afterwards. Run it alone on the machine (on a shared
# machine: flock /tmp/wexora-build.lock bench/upload_bench.sh ...).
#
# bench/upload_bench.sh [--server-quickack] [--big-mib 1024] [--files 10000]
#                       [--folders 100] [--skip-big] [--skip-many]
#
# --server-quickack preloads bench/quickack_shim.c, so the reference server
# acknowledges request headers at once (see the shim for why that matters).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WEXORA_BUILD_DIR:-$root/build}
"$root/scripts/deps.sh" rclone
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target bench_upload -- --no-print-directory >/dev/null
preload=()
if [ "${1:-}" = "--server-quickack" ]; then
  shift
  gcc -O2 -shared -fPIC -o "$build/bench/quickack_shim.so" "$root/bench/quickack_shim.c" -ldl
  preload=(env "LD_PRELOAD=$build/bench/quickack_shim.so")
fi
exec "${preload[@]}" "$build/bench/bench_upload" "$@"
