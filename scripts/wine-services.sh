#!/usr/bin/env bash
# Starts or stops Wine's background services for a prefix, detached from the
# caller's output pipes: scripts/wine-services.sh start|stop PREFIX
# Started from inside a test they would inherit ctest's pipe and hang it.
set -euo pipefail
action=$1
export WINEPREFIX=$2 WINEARCH=win64 WINEDEBUG=-all
case "$action" in
  start)
    "$(dirname "$0")/wineprefix.sh" "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1 || true
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
