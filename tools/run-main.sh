#!/usr/bin/env bash
# The main job on a fresh machine: sets everything up, builds both trees, then runs the
# camera end to end. A sender serves a test pattern on 127.0.0.1:8080, camera-host.exe
# plays the camera service under Wine (registers the built VelmoraSource.dll with regsvr32,
# activates it through COM, starts a stream and pulls samples), and leaves PNG pictures of
# what the camera delivered and a summary (format, frames per second, picture ages) in the
# output folder.
#
# usage: tools/run-main.sh [--no-sender] [--stream 0-2] [--format 0-19] [--seconds S]
#                          [--pictures N] [--out DIR] [--tree DIR]
#   --no-sender  run without a sender: the camera shows its fallback picture
#   --format     catalogue index (camera-host --list prints them); default 0, NV12 640x360 30/1
#   --tree DIR   skip setup and build; run the camera of this already built Windows tree
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

sender=1
stream=0
format=0
seconds=10
pictures=5
out="$root/build/camera-output"
tree=""
while [ $# -gt 0 ]; do
    case "$1" in
    --no-sender) sender=0; shift ;;
    --stream) stream=$2; shift 2 ;;
    --format) format=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --pictures) pictures=$2; shift 2 ;;
    --out) out=$(realpath -m "$2"); shift 2 ;;
    --tree) tree=$(realpath "$2"); shift 2 ;;
    *) sed -n '9,13p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done

if [ -z "$tree" ]; then
    bash "$root/tools/setup.sh"
    bash "$root/tools/build.sh"
    tree="$root/build/windows"
    echo
    echo "Deliverables:"
    for f in "$tree/bin/VelmoraSource.dll" "$tree/bin/VelmoraRegistrar.exe"; do
        if [ -f "$f" ]; then
            echo "  $f"
        fi
    done
fi

rm -rf "$out"
mkdir -p "$out"
# The tree's own Wine prefix, with a fresh data directory (so a fresh source.log).
"$tree/wine-prefix.sh" setup
sender_dir="$root/build/sender"
stop_sender() {
    if [ -f "$sender_dir/main.pid" ]; then
        python3 "$root/tools/sender/sender.py" --stop --pid-file "$sender_dir/main.pid" || true
    fi
}
finish() {
    stop_sender
    "$tree/wine-prefix.sh" cleanup >/dev/null || true
}
trap finish EXIT
if [ "$sender" = 1 ]; then
    mkdir -p "$sender_dir"
    echo "Starting the sender (test pattern, 640x360 at 30 fps) on 127.0.0.1:8080"
    python3 "$root/tools/sender/sender.py" --daemon --pid-file "$sender_dir/main.pid" \
        --log-file "$sender_dir/main.log" --cache "$sender_dir/cache" --wait-port 600
fi

echo "Running the camera for $seconds s (stream $stream, catalogue format $format)"
status=0
"$tree/wine-run.sh" "$tree/bin/camera-host.exe" --register "$tree/bin/VelmoraSource.dll" \
    --stream "$stream" --format "$format" --seconds "$seconds" --pictures "$pictures" --out "$out" \
    >"$out/camera-host.txt" 2>&1 || status=$?
cp "$tree/wineprefix/drive_c/ProgramData/Velmora/source.log" "$out/source.log" 2>/dev/null || true

echo
if [ -f "$out/summary.txt" ]; then
    cat "$out/summary.txt"
else
    cat "$out/camera-host.txt"
fi
echo
echo "Camera output (pictures, summary.txt, camera-host.txt, source.log): $out"
exit $status
