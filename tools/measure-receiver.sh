#!/usr/bin/env bash
# Measures the receiver under Wine against the sender: for each size, one connection of
# 600 pictures at 60 fps; prints pictures published per second and the receiver's own
# per-picture read, decode and store times.
# usage: tools/measure-receiver.sh [--tree build/windows] [SIZE...]   (default 1280x720 1920x1080)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tree="$root/build/windows"
if [ "${1:-}" = "--tree" ]; then
    tree=$(realpath "$2")
    shift 2
fi
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1280x720 1920x1080)

sender_dir="$tree/sender-measure"
mkdir -p "$sender_dir"
"$tree/wine-prefix.sh" setup >/dev/null
python3 "$root/tools/sender/sender.py" --daemon --pid-file "$sender_dir/sender.pid" \
    --log-file "$sender_dir/sender.log" --cache "$tree/sender/cache" --wait-port 600
stop_all() {
    python3 "$root/tools/sender/sender.py" --stop --pid-file "$sender_dir/sender.pid" >/dev/null
    "$tree/wine-prefix.sh" cleanup >/dev/null
}
trap stop_all EXIT

for size in "${sizes[@]}"; do
    python3 - "$size" <<'PY'
import sys, urllib.request
urllib.request.urlopen("http://127.0.0.1:8091/scenario?size=%s&fps=60&frames=600&seconds=4" % sys.argv[1],
                       timeout=600).read()
PY
    echo "== $size at 60 fps"
    "$tree/wine-run.sh" "$tree/bin/receiver-measure.exe"
done
