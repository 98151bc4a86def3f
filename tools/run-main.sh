#!/usr/bin/env bash
# Sets everything up, builds both trees and shows where the deliverables are.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh"
bash "$root/tools/build.sh"

echo
echo "Deliverables:"
for f in "$root/build/windows/bin/VelmoraSource.dll" "$root/build/windows/bin/VelmoraRegistrar.exe"; do
    if [ -f "$f" ]; then
        echo "  $f"
    fi
done
