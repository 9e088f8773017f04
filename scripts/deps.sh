#!/usr/bin/env bash
# Installs what the client, the reference server and the tests need on
# Debian 12. Idempotent; prints nothing when everything is present.
# Extra packages (for example the benchmarks' peers) can be passed as arguments.
set -euo pipefail

packages=(
  g++ make cmake pkg-config
  qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite
  qtwebengine5-dev libqt5webchannel5-dev qtdeclarative5-dev
  libcpp-httplib-dev libssl-dev
  xvfb xauth openssl curl ca-certificates fonts-noto-cjk
  dpkg-dev file
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "deps: missing ${missing[*]}; run as root (or install them) first" >&2
  exit 1
fi
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
