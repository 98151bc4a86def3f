#!/usr/bin/env bash
# Configures and builds both trees:
#   build/windows  the deliverables and the Windows tests (mingw-w64, run under Wine)
#   build/host     the code without Windows headers, its sanitizer tests and benchmarks
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${VELMORA_JOBS:-$(nproc)}

cmake -S "$root" -B "$root/build/windows" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build/windows" -j "$jobs"

cmake -S "$root" -B "$root/build/host" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_SANITIZE=ON
cmake --build "$root/build/host" -j "$jobs"
