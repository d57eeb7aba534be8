#!/usr/bin/env bash
# Relay throughput: downloads through SOCKS5 servers, run by scripts/bench.sh
# relay (see there). A local HTTP server (python3 http.server) serves a file
# of random bytes from 127.0.0.1; curl (native) fetches it directly, then
# through oxsocks on each engine (under Wine) and through microsocks and
# danted (native, from Debian, started by scripts/proxies.sh), each proxy
# alone: one download of SIZE MiB, then PARALLEL downloads of PSIZE MiB at
# once. Every download's bytes are compared with the file by hash.
#
#   scripts/bench-relay.sh BUILD_ABS [--size MiB] [--parallel N] [--parallel-size MiB]
#                          [--proxies LIST] [--repeat N]
# LIST (default iocp,select,async,microsocks,danted,direct): iocp, select and
# async are oxsocks on that engine. Prints a table of MB/s (median of N runs)
# and the ratios of oxsocks to each native server.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
abs=$1
shift
size=256 parallel=32 psize=32 repeat=1 proxies="direct,iocp,select,async,microsocks,danted"
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --parallel) parallel=$2; shift 2 ;;
    --parallel-size) psize=$2; shift 2 ;;
    --proxies) proxies=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    *) echo "bench-relay: unknown argument $1" >&2; exit 2 ;;
  esac
done
. "$top/scripts/bench-util.sh" # median, ratio
export WINEPREFIX="$abs/wineprefix" WINEARCH=win64 WINEDEBUG=-all
work="$abs/bench-logs/relay"
rm -rf "$work/proxies" "$work/out" "$work/fetch.log"
mkdir -p "$work/www" "$work/proxies" "$work/out"
pids=()
cleanup() {
  [ -z "${ox_pid:-}" ] || stop_oxsocks
  "$top/scripts/proxies.sh" stop "$work/proxies" >/dev/null 2>&1 || true
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
listening() { # PORT: something listens on 127.0.0.1:PORT
  python3 -c 'import socket, sys; s = socket.socket(); s.settimeout(1); sys.exit(s.connect_ex(("127.0.0.1", int(sys.argv[1]))) != 0)' "$1"
}
wait_listening() { # PORT: bounded, 30 s
  local i
  for i in $(seq 1 300); do
    listening "$1" && return 0
    sleep 0.1
  done
  return 1
}

# The files, made once per size and kept between runs.
make_file() { # MiB
  local f="$work/www/blob-$1"
  [ -f "$f" ] || head -c $(($1 * 1048576)) /dev/urandom >"$f"
  [ -f "$f.sha256" ] || sha256sum <"$f" | cut -d' ' -f1 >"$f.sha256"
}
make_file "$size"
make_file "$psize"

http_port=$(free_port)
python3 -m http.server "$http_port" --bind 127.0.0.1 --directory "$work/www" >"$work/http.log" 2>&1 &
pids+=($!)
wait_listening "$http_port" || { echo "bench-relay: the HTTP server did not start" >&2; exit 1; }

"$top/scripts/proxies.sh" start "$work/proxies" >/dev/null 2>&1 || true
# shellcheck disable=SC1091
. "$work/proxies/proxies.env"

# oxsocks stops when its standard input ends: a FIFO held open here.
ox_fd="" ox_pid=""
start_oxsocks() { # ENGINE: sets proxy_port
  local i
  rm -f "$work/oxsocks.in"
  mkfifo "$work/oxsocks.in"
  OXNET_WINE_UP=1 "$abs/wine-run.sh" "$abs/bin/oxsocks.exe" --listen 127.0.0.1:0 --engine "$1" \
    --stop-on-stdin-eof <"$work/oxsocks.in" >"$work/oxsocks-$1.log" 2>&1 &
  ox_pid=$!
  exec {ox_fd}>"$work/oxsocks.in"
  proxy_port=""
  for i in $(seq 1 300); do
    proxy_port=$(sed -n 's/^oxsocks: SOCKS5 on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/oxsocks-$1.log")
    [ -n "$proxy_port" ] && return 0
    kill -0 "$ox_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
stop_oxsocks() {
  local i
  exec {ox_fd}>&-
  ox_fd=""
  for i in $(seq 1 200); do
    kill -0 "$ox_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$ox_pid" 2>/dev/null || true
  wait "$ox_pid" 2>/dev/null || true
  ox_pid=""
}

# fetch N MiB PROXY_PORT: N downloads of blob-MiB at once (PROXY_PORT empty:
# direct); prints MB/s over all of them, or "failed" (the reason goes to
# fetch.log).
fetch() {
  local n=$1 mib=$2 port=$3 i start end ok=1 via=() curls=()
  [ -z "$port" ] || via=(--socks5 "127.0.0.1:$port")
  rm -f "$work/out/"*
  start=$(date +%s.%N)
  for i in $(seq 1 "$n"); do
    curl -sS --max-time 600 "${via[@]}" -o "$work/out/$i" "http://127.0.0.1:$http_port/blob-$mib" 2>>"$work/fetch.log" &
    curls+=($!)
  done
  for i in "${curls[@]}"; do
    wait "$i" || ok=0
  done
  end=$(date +%s.%N)
  for i in $(seq 1 "$n"); do
    if [ "$(sha256sum <"$work/out/$i" | cut -d' ' -f1)" != "$(cat "$work/www/blob-$mib.sha256")" ]; then
      echo "download $i of $n ($mib MiB, proxy port ${port:-none}): other bytes" >>"$work/fetch.log"
      ok=0
    fi
  done
  rm -f "$work/out/"*
  if [ $ok = 1 ]; then
    awk -v b=$((n * mib * 1048576)) -v s="$start" -v e="$end" 'BEGIN { printf "%.0f", b / (e - s) / 1e6 }'
  else
    echo failed
  fi
}

label() {
  case "$1" in
    iocp | select | async) echo "oxsocks, $1 engine" ;;
    microsocks) echo "microsocks" ;;
    danted) echo "danted" ;;
    direct) echo "direct (no proxy)" ;;
  esac
}


declare -A one=() many=()
IFS=, read -r -a list <<<"$proxies"
for p in "${list[@]}"; do
  for r in $(seq 1 "$repeat"); do
    port="" up=1
    case "$p" in
      direct) ;;
      microsocks) port=${MICROSOCKS_PORT:-}; [ -n "$port" ] || up=0 ;;
      danted) port=${DANTE_PORT:-}; [ -n "$port" ] || up=0 ;;
      *) start_oxsocks "$p" || up=0; port=${proxy_port:-} ;;
    esac
    if [ $up = 0 ]; then
      echo "  $(label "$p"): not available"
      one[$p]+="n/a " many[$p]+="n/a "
      break
    fi
    a=$(fetch 1 "$size" "$port")
    b=$(fetch "$parallel" "$psize" "$port")
    case "$p" in iocp | select | async) stop_oxsocks ;; esac
    printf "  %-24s run %d: 1 x %d MiB %8s MB/s   %d x %d MiB %8s MB/s\n" "$(label "$p")" "$r" "$size" "$a" "$parallel" "$psize" "$b"
    one[$p]+="$a " many[$p]+="$b "
  done
done

cell() { # the median of a list, or the word it holds
  case "$1" in '') echo n/a ;; *failed*) echo failed ;; *n/a*) echo n/a ;; *) echo "$1" | tr ' ' '\n' | grep . | median ;; esac
}
echo
echo "Downloads through SOCKS5 (curl --socks5, MB/s over all bytes, median of $repeat):"
echo
echo "| server | 1 x $size MiB | $parallel x $psize MiB | / microsocks (1, $parallel) | / danted (1, $parallel) |"
echo "|---|---:|---:|---:|---:|"
ms1=$(cell "${one[microsocks]:-}") msn=$(cell "${many[microsocks]:-}")
da1=$(cell "${one[danted]:-}") dan=$(cell "${many[danted]:-}")
for p in "${list[@]}"; do
  o=$(cell "${one[$p]}") m=$(cell "${many[$p]}")
  echo "| $(label "$p") | $o | $m | $(ratio "$o" "$ms1"), $(ratio "$m" "$msn") | $(ratio "$o" "$da1"), $(ratio "$m" "$dan") |"
done
echo
echo "HTTP server: python3 http.server on 127.0.0.1; client: curl; oxsocks under Wine, the others native."
echo "Command: scripts/bench.sh relay --size $size --parallel $parallel --parallel-size $psize --proxies $proxies --repeat $repeat"
