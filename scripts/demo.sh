#!/usr/bin/env bash
# Builds everything, then runs the demo host oxdemo under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=${BUILD_DIR:-build}
scripts/build.sh
status=0
BUILD_DIR="$build" scripts/wine-run.sh "$build/bin/oxdemo.exe" "$@" || status=$?
case "$build" in /*) ;; *) build="$top/$build" ;; esac
WINEPREFIX="$build/wineprefix" wineserver -k </dev/null >/dev/null 2>&1 || true
exit $status
