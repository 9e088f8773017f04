#!/usr/bin/env bash
# Builds everything, builds the Debian packages and installs the client's
# (as root; apt-get install ./wexora_*.deb), then runs every test. Web views
# need a display, so the run goes under a virtual X server. The installed
# wexora-sync is tested as a user without root (tests/cli/tst_installedsync).
# The output ends with CTest's summary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WEXORA_BUILD_DIR:-$root/build}
"$root/scripts/package.sh" >/dev/null
if [ "$(id -u)" -eq 0 ]; then
  # --reinstall: a package of the same version from an earlier build is replaced.
  (cd "$build/packages" && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall ./wexora_*.deb >/dev/null)
  export WEXORA_INSTALLED_SYNC=/usr/bin/wexora-sync
else
  echo "not root: the package is built but not installed; tst_installedsync is skipped"
fi
export QTWEBENGINE_DISABLE_SANDBOX=1
cd "$build"
exec xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j"$(nproc)" "$@"
