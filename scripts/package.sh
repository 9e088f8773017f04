#!/usr/bin/env bash
# Builds the Debian packages into ${WEXORA_BUILD_DIR:-build}/packages:
#   wexora_<version>_amd64.deb               desktop program, wexora-sync, pages,
#                                            desktop entry, icon
#   wexora-drive-server_<version>_amd64.deb  reference server, systemd unit
# Install with: apt-get install ./build/packages/wexora_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WEXORA_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB -B "$build/packages" >/dev/null)
rm -rf "$build/packages/_CPack_Packages"
ls "$build/packages/"*.deb
