#!/usr/bin/env bash
# Download benchmark against rclone (not a CTest test). Builds bench_download,
# makes sure rclone is installed, and runs both cases; the temporary data
# (up to 4 GiB for the big case) lives in /tmp and is removed by the driver.
#   bench/download_bench.sh [build-dir] [big|small ...] [--rounds N]
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
shift || true
cases=()
extra=()
for a in "$@"; do
  case "$a" in
    big|small) cases+=("$a") ;;
    *) extra+=("$a") ;;
  esac
done
[ ${#cases[@]} -eq 0 ] && cases=(big small)

"$here/scripts/deps.sh" rclone
cmake --build "$build" -j2 --target bench_download wexora-drive-server >/dev/null

for c in "${cases[@]}"; do
  "$build/bench/bench_download" "$c" "${extra[@]+"${extra[@]}"}"
done
