#!/usr/bin/env bash
# Sets everything up and runs every test: host tests under the sanitizers, then the
# Windows tests under Wine (the Direct3D ones under xvfb-run).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh"
bash "$root/tools/build.sh"

status=0
ctest --test-dir "$root/build/host" --output-on-failure -j "$(nproc)" || status=1
ctest --test-dir "$root/build/windows" --output-on-failure || status=1
exit $status
