#!/bin/sh
# Runs one Direct3D test in a Wine session of its own under xvfb-run.
# usage: wine-xvfb-session.sh WINEPREFIX XVFB_RUN WINE_RUN PROGRAM [ARGS...]
# Wine picks a session's display driver once, when the session's desktop starts: in the
# test run's shared session (started without a display) Direct3D device creation fails.
# So the shared session ends first, the test starts a session with a display, and that
# one ends afterwards so the tests after it get a session without a display again.
prefix=$1
xvfb_run=$2
wine_run=$3
shift 3
WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
WINEPREFIX="$prefix" wineserver -w
"$xvfb_run" -a "$wine_run" "$@"
status=$?
WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
WINEPREFIX="$prefix" wineserver -w
exit $status
