#!/usr/bin/env bash
# Installs every Debian package the project needs (as root), skipping apt entirely when
# all of them are present already.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ python3 pkg-config
    mingw-w64 g++-mingw-w64-x86-64-posix
    # tests: Windows binaries under Wine, Direct3D through Xvfb, host tests with GoogleTest
    wine wine64 xvfb xauth libgl1-mesa-dri
    googletest libgtest-dev
    # the H.264 decoder transform under Wine, and the sender's encoder
    gstreamer1.0-libav gstreamer1.0-plugins-good gstreamer1.0-plugins-bad ffmpeg
    # the installer package (built with wixl, read back with msitools) and its signing
    wixl msitools osslsigncode openssl
    # the soak and mutation tools run in a private network namespace (unshare, ip)
    util-linux iproute2
    # benchmarks and reference implementations
    libbenchmark-dev libyuv-dev libswscale-dev libavutil-dev
)

if dpkg -s "${packages[@]}" >/dev/null 2>&1; then
    echo "setup: all ${#packages[@]} packages present"
    exit 0
fi

if [ "$(id -u)" != 0 ]; then
    echo "setup: packages are missing; run this as root (apt-get needs it)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${packages[@]}"
