#!/usr/bin/env bash
# Runs a Windows program under the Wine prefix of a build tree:
#   BUILD_DIR=build scripts/wine-run.sh build/bin/oxdemo.exe [args]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build}
case "$build" in /*) ;; *) build="$top/$build" ;; esac
exec "$build/wine-run.sh" "$@"
