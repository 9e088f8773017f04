#!/usr/bin/env bash
# The main job: build if needed, then start the client from its AppDir.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WEXORA_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
appdir=$build/AppDir
echo "client: $appdir/usr/bin/wexora (logs in $appdir/logs)"
if [ -z "${DISPLAY:-}" ]; then
  echo "no DISPLAY: running under a virtual X server"
  exec xvfb-run -a "$appdir/usr/bin/wexora"
fi
exec "$appdir/usr/bin/wexora"
