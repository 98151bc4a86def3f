#!/bin/sh
# usage: camera_host_end_to_end.sh WINE_RUN CAMERA_HOST DLL OUTPUT_FOLDER
# Runs the camera-service stand-in twice: through COM after regsvr32 (YUY2 640x480) and
# through the DLL's own DllGetClassObject (NV12 640x360), and checks what it saved.
set -e
wine_run=$1 host=$2 dll=$3 out=$4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$out"
mkdir -p "$out"

"$wine_run" "$host" --register "$dll" --stream 1 --format 3 --seconds 3 --pictures 3 --out "$out/com"
python3 "$here/check_camera_output.py" "$out/com" 640 480 3 20

"$wine_run" "$host" --dll "$dll" --stream 0 --format 0 --seconds 2 --pictures 2 --out "$out/dll"
python3 "$here/check_camera_output.py" "$out/dll" 640 360 2 20
