#!/bin/sh
# usage: camera_host_end_to_end.sh WINE_RUN CAMERA_HOST DLL OUTPUT_FOLDER [sender]
# Without "sender": the camera-service stand-in through COM after regsvr32 (YUY2 640x480) and
# through the DLL's own DllGetClassObject (NV12 640x360). With "sender" (listening on
# 127.0.0.1:8080): YUY2 1280x720 scaled from the sender's 640x360, with decoded pictures.
set -e
wine_run=$1 host=$2 dll=$3 out=$4
check() { python3 "$(dirname "$0")/check_camera_output.py" "$@"; }
rm -rf "$out"
mkdir -p "$out"
if [ "$5" = sender ]; then
    python3 -c 'import urllib.request; urllib.request.urlopen("http://127.0.0.1:8091/reset", timeout=10).read()'
    "$wine_run" "$host" --dll "$dll" --format 7 --seconds 4 --pictures 2 --out "$out/sender"
    check "$out/sender" 1280 720 2 20 3
    exit 0
fi
"$wine_run" "$host" --register "$dll" --stream 1 --format 3 --seconds 3 --pictures 3 --out "$out/com"
check "$out/com" 640 480 3 20
"$wine_run" "$host" --dll "$dll" --stream 0 --format 0 --seconds 2 --pictures 2 --out "$out/dll"
check "$out/dll" 640 360 2 20
