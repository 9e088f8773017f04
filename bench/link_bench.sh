#!/usr/bin/env bash
# Every transfer case over every link: uploads and downloads of one big file
# and of many 4 KiB files, on loopback, at 20 ms / 100 Mbit/s and at
# 60 ms / 20 Mbit/s (wexora-linksim in front of both our server and rclone's),
# our client against rclone copy at --transfers=4 and 1. One line per case,
# link and peer run: our figure, the peer's and the ratio.
#
# bench/link_bench.sh [--links loopback,20ms-100mbit,60ms-20mbit] [--big-mib 1024]
#                     [--files 10000] [--jobs 16] [--transfers 4,1] [--skip-big]
#                     [--skip-many] [--upload-only | --download-only] [more options of both drivers]
# A quick run: bench/link_bench.sh --big-mib 64 --files 200
# Run it alone on the machine (on a shared machine:
# flock /tmp/wexora-build.lock bench/link_bench.sh ...).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WEXORA_BUILD_DIR:-$root/build}
links=(--links loopback,20ms-100mbit,60ms-20mbit)
up=1
down=1
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --links) links=(--links "$2"); shift ;;
    --upload-only) down=0 ;;
    --download-only) up=0 ;;
    *) args+=("$1") ;;
  esac
  shift
done

"$root/scripts/deps.sh" rclone
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target bench_upload bench_download -- --no-print-directory >/dev/null
[ $up -eq 1 ] && "$build/bench/bench_upload" "${links[@]}" "${args[@]+"${args[@]}"}"
[ $down -eq 1 ] && "$build/bench/bench_download" "${links[@]}" "${args[@]+"${args[@]}"}"
exit 0
