#!/usr/bin/env bash
# Soak run of the camera under Wine (see tools/soak.py --help for every option), in a
# private network namespace so its sender's ports 8080 and 8091 never meet another run's.
#
# usage: tools/soak.sh [--xvfb] [soak.py options]
#   --xvfb   run the Wine session with a display (xvfb-run): Direct3D devices can be created
# examples:
#   tools/soak.sh --minutes 30 --format 16 --size 1280x720 --fps 60 --scenario frames=600
#   tools/soak.sh --xvfb --minutes 10 --no-sender --mode gpu
#   tools/soak.sh --minutes 20 --phase 300:frames=600 --phase 20:off --phase 120:name=garbage
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ -z "${VELMORA_SOAK_NAMESPACE:-}" ]; then
    exec unshare -n env VELMORA_SOAK_NAMESPACE=1 bash "$0" "$@"
fi
ip link set lo up

xvfb=0
args=()
for arg in "$@"; do
    if [ "$arg" = --xvfb ]; then
        xvfb=1
    else
        args+=("$arg")
    fi
done
if [ "$xvfb" = 1 ]; then
    exec xvfb-run -a python3 "$root/tools/soak.py" "${args[@]}"
fi
exec python3 "$root/tools/soak.py" "${args[@]}"
