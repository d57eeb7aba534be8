#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
# Extra arguments go to ctest (for example -R Map).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=${BUILD_DIR:-build}
# The end-to-end proxy tests run against real proxy servers (see proxies.sh).
export OXNET_WITH_PROXIES=1
scripts/build.sh
case "$build" in /*) ;; *) build="$top/$build" ;; esac
export WINEPREFIX="$build/wineprefix"
status=0
ctest --test-dir "$build" --output-on-failure --timeout 180 "$@" || status=$?
# Leave no Wine server of this prefix behind, whatever ctest ran.
WINEPREFIX="$build/wineprefix" wineserver -k </dev/null >/dev/null 2>&1 || true
exit $status
