#!/bin/sh
# usage: camera_host_end_to_end.sh WINE_RUN CAMERA_HOST DLL OUTPUT_FOLDER [sender]
# Without "sender": runs the camera-service stand-in through COM after regsvr32 (YUY2
# 640x480) and through the DLL's own DllGetClassObject (NV12 640x360), and checks what it
# saved. With "sender" (a sender listening on 127.0.0.1:8080): YUY2 1280x720, scaled from
# the sender's 640x360 pictures, and the camera must have delivered decoded pictures.
set -e
wine_run=$1 host=$2 dll=$3 out=$4 mode=$5
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$out"
mkdir -p "$out"

if [ "$mode" = sender ]; then
    python3 -c 'import urllib.request; urllib.request.urlopen("http://127.0.0.1:8091/reset", timeout=10).read()'
    "$wine_run" "$host" --dll "$dll" --format 7 --seconds 4 --pictures 2 --out "$out/sender"
    python3 "$here/check_camera_output.py" "$out/sender" 1280 720 2 20 3
    exit 0
fi

"$wine_run" "$host" --register "$dll" --stream 1 --format 3 --seconds 3 --pictures 3 --out "$out/com"
python3 "$here/check_camera_output.py" "$out/com" 640 480 3 20

"$wine_run" "$host" --dll "$dll" --stream 0 --format 0 --seconds 2 --pictures 2 --out "$out/dll"
python3 "$here/check_camera_output.py" "$out/dll" 640 360 2 20
