#!/usr/bin/env bash
# Makes a Wine prefix for headless tests, once: scripts/wineprefix.sh DIR
# Null graphics driver (hidden windows and message loops work without X) and
# no crash debugger (a crash ends the process instead of waiting forever).
set -euo pipefail
prefix=$1
[ -f "$prefix/.oxnet-ready" ] && exit 0
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.oxnet-ready" ] && exit 0
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
echo "wine: creating prefix $prefix" >&2
wineboot -i </dev/null >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f </dev/null >/dev/null 2>&1
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 0 /f </dev/null >/dev/null 2>&1
wineserver -w </dev/null >/dev/null 2>&1 || true
touch "$prefix/.oxnet-ready"
