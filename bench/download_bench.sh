#!/usr/bin/env bash
# Download benchmark: the client's download thread and transfer against
# rclone copy from `rclone serve webdav`, on loopback unless --links names
# simulated links. Builds bench_download, makes sure rclone is installed, and
# runs the named cases (default both); the temporary data lives in /tmp and
# is removed by the driver. Run it alone on the machine (on a shared machine:
# flock /tmp/wexora-build.lock bench/download_bench.sh ...).
#
# bench/download_bench.sh [build-dir] [big|small ...] [--links ...] [--jobs 16]
#                         [--transfers 4,1] [--big-mib 1024] [--files 10000]
#                         [--rounds N] [--unverified] [--proxy-loopback]
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build"
if [ $# -gt 0 ] && [ -d "$1" ]; then
  build="$1"
  shift
fi
big=0
small=0
extra=()
for a in "$@"; do
  case "$a" in
    big) big=1 ;;
    small) small=1 ;;
    *) extra+=("$a") ;;
  esac
done
[ $big -eq 1 ] && [ $small -eq 0 ] && extra+=(--skip-many)
[ $small -eq 1 ] && [ $big -eq 0 ] && extra+=(--skip-big)

"$here/scripts/deps.sh" rclone
cmake --build "$build" -j2 --target bench_download -- --no-print-directory >/dev/null
exec "$build/bench/bench_download" "${extra[@]+"${extra[@]}"}"
