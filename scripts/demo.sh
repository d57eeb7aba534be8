#!/usr/bin/env bash
# Builds the demo host oxdemo and the DLL (nothing else: the tests may be
# configured off, OXNET_CMAKE_OPTIONS=-DOXNET_TESTS=OFF), then runs oxdemo
# under Wine. For the demo's proxied connection a SOCKS5 proxy is started on
# 127.0.0.1 (through scripts/proxies.sh) and stopped afterwards; without one,
# oxdemo says it skipped that part.
# Arguments go to oxdemo.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=${BUILD_DIR:-build}
OXNET_WITH_PROXIES=1 scripts/setup.sh ||
  echo "demo: proxy servers could not be installed; the proxied part will be skipped" >&2
scripts/build.sh oxdemo
case "$build" in /*) abs="$build" ;; *) abs="$top/$build" ;; esac

proxydir="$abs/demo-proxies"
socks=""

cleanup() {
  bash scripts/proxies.sh stop "$proxydir" >/dev/null 2>&1 || true
  WINEPREFIX="$abs/wineprefix" wineserver -k </dev/null >/dev/null 2>&1 || true
}
trap cleanup EXIT

bash scripts/proxies.sh start "$proxydir" >/dev/null 2>&1 || true
env_file="$proxydir/proxies.env"
if [ -f "$env_file" ]; then
  port=$(sed -n 's/^MICROSOCKS_PORT=//p' "$env_file")
  [ -n "$port" ] || port=$(sed -n 's/^DANTE_PORT=//p' "$env_file")
  [ -n "$port" ] && socks="127.0.0.1:$port"
fi

args=()
if [ -n "$socks" ]; then
  echo "demo: SOCKS5 proxy on $socks"
  args=(--socks5 "$socks")
fi
status=0
BUILD_DIR="$build" scripts/wine-run.sh "$abs/bin/oxdemo.exe" "${args[@]}" "$@" || status=$?

# The network fault simulator: oxdemo and the DLL in a folder of their own,
# beside an oxnet.ini, so only this run is affected.
simdir=$(mktemp -d "$abs/demo-simulator.XXXXXX")
cp "$abs/bin/oxdemo.exe" "$abs/bin/oxnet.dll" "$simdir/"
# Windows line ends: the reader splits lines at CR LF only.
printf '%s\r\n' '[oxnet]' 'simulator=1' 'maxaffect=10' '[udp]' 'lost=20,20' \
  '[tcp]' 'delay=100,200' 'break=3600,3600' 'connfail=10,10' > "$simdir/oxnet.ini"
echo "demo: network fault simulator, configured: 20% of datagrams lost, 10% of connects failed, TCP sends held 100 to 200 ms"
BUILD_DIR="$build" scripts/wine-run.sh "$simdir/oxdemo.exe" --simulator || status=$?
rm -rf "$simdir"
exit $status
