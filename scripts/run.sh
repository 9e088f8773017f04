#!/usr/bin/env bash
# The main job: build if needed, start the reference drive server with its
# demo account (data kept in .demo/server), pre-fill the client's login page
# with that server and account, and start the client from its AppDir. The
# server stops when the client ends.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WEXORA_BUILD_DIR:-$root/build}
port=${WEXORA_DEMO_PORT:-18765}
"$root/scripts/build.sh"

appdir=$build/AppDir
server_root=$root/.demo/server
mkdir -p "$server_root"
log=$root/.demo/server.log
"$build/server/wexora-drive-server" serve --root "$server_root" --port "$port" >"$log" 2>&1 &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
  grep -q '^listening ' "$log" 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$log"; echo "the reference server did not start" >&2; exit 1; }
  sleep 0.1
done
echo "reference server: $(grep '^listening ' "$log") (root $server_root, user demo / demo123)"

# Login settings: the four fields Base64-encoded, as the client writes them.
config=$appdir/config/config.json
if [ ! -e "$config" ]; then
  mkdir -p "$appdir/config" && chmod 700 "$appdir/config"
  b64() { printf '%s' "$1" | base64 -w0; }
  umask 077
  printf '{"address":"%s","password":"%s","protocol":"%s","title":"Wexora云盘","username":"%s"}' \
    "$(b64 "127.0.0.1:$port")" "$(b64 demo123)" "$(b64 http://)" "$(b64 demo)" >"$config"
fi

# Chromium refuses to run its sandbox as root.
[ "$(id -u)" -eq 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
echo "client: $appdir/usr/bin/wexora (logs in $appdir/logs); press 登录 to sign in"
if [ -z "${DISPLAY:-}" ]; then
  echo "no DISPLAY: running under a virtual X server"
  xvfb-run -a "$appdir/usr/bin/wexora"
else
  "$appdir/usr/bin/wexora"
fi
