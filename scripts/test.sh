#!/usr/bin/env bash
# Builds and runs every test. Web views need a display, so the whole run goes
# under a virtual X server. The output ends with CTest's summary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WEXORA_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
export QTWEBENGINE_DISABLE_SANDBOX=1
cd "$build"
exec xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j"$(nproc)" "$@"
