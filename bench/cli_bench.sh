#!/usr/bin/env bash
# Whole-process benchmark: `wexora-sync run --once` against the reference
# server versus `rclone copy` (Debian's rclone) to and from `rclone serve
# webdav`, on the same data in the same run: one big file and many small
# files, upload and download. Each process is timed whole (start, login or
# listing, comparison, transfers, exit) with GNU time: seconds, files/s,
# MiB/s, peak resident memory, and the ratio wexora-sync / rclone (below 1:
# wexora-sync is faster or smaller). rclone runs with its defaults.
# Data lives below /tmp and is removed afterwards. Run it alone on the
# machine (on a shared one: flock /tmp/wexora-build.lock bench/cli_bench.sh).
#
#   bench/cli_bench.sh [--big-mib 1024] [--files 10000] [--file-kib 4] [--folders 100]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WEXORA_BUILD_DIR:-$root/build}
big_mib=1024 files=10000 file_kib=4 folders=100
while [ $# -gt 0 ]; do
  case "$1" in
    --big-mib) big_mib=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --file-kib) file_kib=$2; shift 2 ;;
    --folders) folders=$2; shift 2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done

"$root/scripts/deps.sh" rclone time
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j2 --target wexora-sync wexora-drive-server -- --no-print-directory >/dev/null
sync_bin=$build/AppDir/usr/bin/wexora-sync
server_bin=$build/server/wexora-drive-server

work=$(mktemp -d /tmp/wexora-clibench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# The reference server and rclone's WebDAV server, both on 127.0.0.1.
"$server_bin" serve --root "$work/server" --port 0 >"$work/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do grep -q '^listening ' "$work/server.log" && break; sleep 0.1; done
server_url=$(sed -n 's/^listening //p' "$work/server.log")
dav_port=$(free_port)
mkdir -p "$work/dav"
rclone serve webdav "$work/dav" --addr "127.0.0.1:$dav_port" >"$work/dav.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do curl -s -o /dev/null "http://127.0.0.1:$dav_port/" && break; sleep 0.1; done
dav=":webdav,url='http://127.0.0.1:$dav_port':"

export WEXORA_PASSWORD=demo123
ws() { "$sync_bin" --base "$work/base" "$@"; }
ws login --server "$server_url" --user demo >/dev/null

# Data: one big file; many small files spread over folders.
mkdir -p "$work/data/big" "$work/data/many"
head -c "$((big_mib * 1024 * 1024))" /dev/urandom >"$work/data/big/big.bin"
python3 - "$work/data/many" "$files" "$file_kib" "$folders" <<'PY'
import os, sys
root, files, kib, folders = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
for i in range(files):
    folder = os.path.join(root, "d%03d" % (i % folders))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(kib * 1024))
PY

# measure NAME COUNT BYTES COMMAND...: one line of figures into $work/results.
measure() {
  local name=$1 count=$2 bytes=$3; shift 3
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$work/out" 2>&1 || { cat "$work/out"; echo "$name failed" >&2; exit 1; }
  read -r seconds peak_kib <"$work/time"
  echo "$name $count $bytes $seconds $peak_kib" >>"$work/results"
}

# same_tree A B: the two folders hold the same files with the same bytes.
same_tree() { diff -r -q "$1" "$2" >/dev/null || { echo "trees differ: $1 $2" >&2; exit 1; }; }

pair_id() { ws --json pair list | python3 -c "import sys, json; print([json.loads(l)['id'] for l in sys.stdin if json.loads(l)['local'] == sys.argv[1]][0])" "$1"; }

for case in big many; do
  src=$work/data/$case
  count=$(find "$src" -type f | wc -l)
  bytes=$(du -sb "$src" | cut -f1)
  # Each case has a server space of its own; the command logs in anew at
  # every start, so the new space is in its session.
  "$server_bin" add-space --root "$work/server" "bench-$case" "bench $case" --member demo >/dev/null
  ws pair add "$src" "@bench-$case" --mode upload >/dev/null
  measure "$case-upload wexora-sync" "$count" "$bytes" "$sync_bin" --base "$work/base" run --once --pair "$(pair_id "$src")"
  measure "$case-upload rclone" "$count" "$bytes" rclone copy "$src" "$dav$case"
  same_tree "$src" "$work/dav/$case"
  # Download into empty folders.
  mkdir -p "$work/down-ws-$case" "$work/down-rc-$case"
  ws pair add "$work/down-ws-$case" "@bench-$case" --mode download >/dev/null
  measure "$case-download wexora-sync" "$count" "$bytes" "$sync_bin" --base "$work/base" run --once --pair "$(pair_id "$work/down-ws-$case")"
  measure "$case-download rclone" "$count" "$bytes" rclone copy "$dav$case" "$work/down-rc-$case"
  same_tree "$src" "$work/down-ws-$case"
  same_tree "$src" "$work/down-rc-$case"
done

python3 - "$work/results" <<'PY'
import sys
rows = [line.split() for line in open(sys.argv[1])]
print("%-16s %-12s %9s %10s %9s %10s %12s %12s" % ("case", "tool", "seconds", "files/s", "MiB/s", "peak MiB", "time ratio", "memory ratio"))
by = {}
for case, tool, count, size, seconds, peak in rows:
    by[(case, tool)] = (int(count), int(size), float(seconds), int(peak) / 1024)
for case, tool, *_ in rows:
    count, size, seconds, peak = by[(case, tool)]
    seconds = max(seconds, 0.01)
    ratio_t = ratio_m = ""
    if tool == "wexora-sync":
        _, _, peer_s, peer_m = by[(case, "rclone")]
        ratio_t = "%.2f" % (seconds / max(peer_s, 0.01))
        ratio_m = "%.2f" % (peak / peer_m)
    print("%-16s %-12s %9.2f %10.1f %9.1f %10.1f %12s %12s" % (case, tool, seconds, count / seconds, size / 1048576 / seconds, peak, ratio_t, ratio_m))
PY
