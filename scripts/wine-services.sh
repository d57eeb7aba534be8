#!/usr/bin/env bash
# Starts or stops Wine's background services for a prefix, detached from the
# caller's output pipes: scripts/wine-services.sh start|stop PREFIX
# Started from inside a test they would inherit ctest's pipe and hang it.
set -euo pipefail
action=$1
export WINEPREFIX=$2 WINEARCH=win64 WINEDEBUG=-all
case "$action" in
  start)
    # Makes the prefix if need be and starts the services; a prefix that
    # can no longer start a program is made anew there.
    "$(dirname "$0")/wineprefix.sh" "$WINEPREFIX" --start
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
