#!/usr/bin/env bash
# Echo benchmarks of oxnet.dll against plain Winsock and Asio servers, driven
# by native Linux clients (a client inside the Wine process would cap every
# server at a few thousand round trips per second).
#
#   scripts/bench.sh [echo] [--stream] [--seconds S] [--repeat N] [--servers LIST] [--rows LIST]
#                           [--engine-threads N] [--client-threads T] [--raw-recv-size R]
#                           [--baseline-build DIR] [--no-build]
#       The ping-pong table: for each row (C connections x M bytes) and each
#       server, the server is started alone under Wine (bench_echo.exe or
#       bench_echo_asio.exe --serve), the native client bench/native/echo_load
#       runs S seconds against it (default 3), the server is stopped; with
#       --repeat N (default 3) the servers take turns N times per row and the
#       table shows medians. Servers (default the first five): select (engine
#       ISelectSocketMgr1.0), iocp (engine IIocpSocketMgr1.0), raw-select,
#       raw-iocp, asio; also async (engine IAsyncSocketMgr1.0), raw-async (raw
#       WSAAsyncSelect, one thread with a hidden window), raw-iocp-skip (raw
#       IOCP with FILE_SKIP_COMPLETION_PORT_ON_SUCCESS, as the IOCP engine
#       uses it) and engine:NAME for any interface name. Rows (default
#       all): 1x64,64x64,64x4096,8x65536. --engine-threads N is handed to the
#       engines' Initialize (default 0: the engine's own default);
#       --client-threads T spreads the client's connections over T epoll
#       threads (default 1; one thread does about 16,000 round trips/s of
#       64 KiB and 60,000 of 64 B against a native server here);
#       --raw-recv-size R makes the raw servers read R bytes at a time
#       (default 65536), to compare with an engine's own read size.
#       --stream: the engines' servers ask for any bytes (Recv(s, 1)) and send
#       back what arrived, as a relay or a proxy does, instead of asking for
#       one whole message; rows default to 64x4096,8x65536,1x1048576.
#       --baseline-build DIR adds servers base:KIND (e.g. base:iocp): KIND
#       served by DIR/bin/bench_echo.exe, an earlier build of the same tree,
#       so that two builds are compared in one run.
#   scripts/bench.sh conns [--count N] [--server KIND] [--parallel K] [--seconds LIMIT] [--no-build]
#       Idle connections: bench_conns opens up to N (default 10000) connections
#       to the echo server of KIND (default iocp) and prints the count reached,
#       accepts/s and the server's memory per idle connection.
#   scripts/bench.sh relay [--size MiB] [--parallel N] [--parallel-size MiB] [--proxies LIST]
#                          [--repeat N] [--no-build]
#       Downloads through SOCKS5 (scripts/bench-relay.sh): curl fetches a file
#       from python3's http.server directly, then through oxsocks on each
#       engine and through microsocks and danted; one download of SIZE MiB
#       (default 256), then N (default 32) of PSIZE MiB (default 32) at once.
#   scripts/bench.sh burst [--rows LIST] [--servers LIST] [--repeat N] [--baseline-build DIR] [--no-build]
#       Sends that queue: bench_burst.exe (one host thread, one connection)
#       hands N messages of M bytes to Send as fast as it takes them, to a
#       native reader (python3) that counts every byte; sends/s from the first
#       Send to the last one's report. Rows NxM (default
#       100000x512,20000x4096,2000x65536); servers iocp, select, async
#       (default all three) and base:KIND with --baseline-build.
#   scripts/bench.sh all [OPTIONS]         the table, then conns (options of both)
#   scripts/bench.sh in-process [ARGS]     the first form of the benchmark:
#       bench_echo.exe with its client in the same Wine process (ARGS go to it:
#       [SECONDS] [--repeat N] [--engine NAME] [--engine-only | --baseline-only])
#
# BUILD_DIR as for the other scripts (default build). Logs of every run go to
# $BUILD_DIR/bench-logs/, the last table to $BUILD_DIR/bench-logs/echo-table.md.
# An engine this build does not have is shown as "n/a", never as a failure.
# Exit code: 0, or 1 when a measurement failed (a wrong echo, a server that
# did not start or answer).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=${BUILD_DIR:-build}
case "$build" in /*) abs="$build" ;; *) abs="$top/$build" ;; esac
export WINEPREFIX="$abs/wineprefix" WINEARCH=win64 WINEDEBUG=-all

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }

mode=echo
case "${1:-}" in
  echo | conns | all | in-process | relay | burst) mode=$1; shift ;;
  -h | --help) usage ;;
esac

seconds=3 repeat=3 servers="select,iocp,raw-select,raw-iocp,asio" servers_set=0 rows="" stream=0 baseline=""
engine_threads=0 client_threads=1 raw_recv_size=65536 count=10000 conns_server=iocp parallel=64 conns_limit=120 no_build=0
relay_args=()
if [ "$mode" = relay ]; then
  for a in "$@"; do
    if [ "$a" = --no-build ]; then no_build=1; else relay_args+=("$a"); fi
  done
elif [ "$mode" != in-process ]; then
  while [ $# -gt 0 ]; do
    case "$1" in
      --seconds) seconds=$2; conns_limit=$2; shift 2 ;;
      --repeat) repeat=$2; shift 2 ;;
      --servers) servers=$2; servers_set=1; shift 2 ;;
      --rows) rows=$2; shift 2 ;;
      --engine-threads) engine_threads=$2; shift 2 ;;
      --client-threads) client_threads=$2; shift 2 ;;
      --raw-recv-size) raw_recv_size=$2; shift 2 ;;
      --stream) stream=1; shift ;;
      --baseline-build) baseline=$(cd "$2" && pwd); shift 2 ;;
      --count) count=$2; shift 2 ;;
      --server) conns_server=$2; shift 2 ;;
      --parallel) parallel=$2; shift 2 ;;
      --no-build) no_build=1; shift ;;
      *) echo "bench: unknown argument $1" >&2; usage ;;
    esac
  done
fi

if [ "$mode" = burst ]; then
  [ -n "$rows" ] || rows="100000x512,20000x4096,2000x65536"
  [ $servers_set = 1 ] || servers="iocp,select,async"
fi
if [ -z "$rows" ]; then
  if [ $stream = 1 ]; then rows="64x4096,8x65536,1x1048576"; else rows="1x64,64x64,64x4096,8x65536"; fi
fi
logs="$abs/bench-logs"
native="$abs/native"

build_all() {
  scripts/setup.sh
  if ! command -v g++ >/dev/null 2>&1; then
    echo "bench: installing g++ for the native clients"
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends g++ >/dev/null
  fi
  # Configured every time, so that Asio headers installed since are seen.
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  # Only what the benchmark runs: the test suite need not compile for it.
  local targets=(oxnet bench_echo bench_burst oxsocks)
  [ -f /usr/include/asio.hpp ] && targets+=(bench_echo_asio)
  cmake --build "$build" --target "${targets[@]}" -- -j"$(nproc)" >"$abs/bench-build.log" 2>&1 || {
    tail -30 "$abs/bench-build.log" >&2
    echo "bench: the build failed (log: $abs/bench-build.log)" >&2
    exit 1
  }
  scripts/wineprefix.sh "$WINEPREFIX"
  mkdir -p "$native"
  g++ -std=c++17 -O2 -Wall -Wextra -pthread -o "$native/echo_load" bench/native/echo_load.cpp
  g++ -std=c++17 -O2 -Wall -Wextra -Ibench -o "$native/bench_conns" bench/bench_conns.cpp
}

# The wineserver of this prefix, if one runs.
wineserver_pid() {
  local p
  for p in $(pgrep -x 'wineserver64|wineserver' 2>/dev/null); do
    if { tr '\0' '\n' <"/proc/$p/environ"; } 2>/dev/null | grep -x "WINEPREFIX=$WINEPREFIX" >/dev/null; then
      echo "$p"
      return 0
    fi
  done
  return 0
}

# start_server KIND MSGLEN [OPTIONS...]: starts a server alone under Wine and
# waits until it listens. Sets srv_pid, srv_port, srv_log, srv_stop; returns 0
# when it listens, 4 when the engine is not built, 1 when it failed. A server
# process that ends at once without a word is started once more (seen once
# under a loaded machine; the log keeps its exit code).
srv_seq=0
start_server() {
  local rc=0
  start_server_once "$@" || rc=$?
  if [ $rc = 1 ] && [ "${srv_again:-0}" = 1 ]; then
    echo "  (server $1 ended at once without output, $srv_why; starting it again)"
    rc=0
    start_server_once "$@" || rc=$?
  fi
  return $rc
}

start_server_once() {
  local kind=$1 msglen=$2 exe="$abs/bin/bench_echo.exe" i
  shift 2
  if [[ "$kind" == base:* ]]; then
    exe="$baseline/bin/bench_echo.exe"
    kind=${kind#base:}
  fi
  if [ "$kind" = asio ]; then
    exe="$abs/bin/bench_echo_asio.exe"
    if [ ! -f "$exe" ]; then
      srv_why="bench_echo_asio.exe not built (package libasio-dev missing at configure time)"
      return 4
    fi
  fi
  srv_seq=$((srv_seq + 1))
  srv_log="$logs/server-$srv_seq-${kind//[:\/]/_}.log"
  srv_stop="$logs/stop-$srv_seq"
  rm -f "$srv_stop"
  # The server ends by itself after the limit, whatever happens to this script.
  OXNET_WINE_UP=1 "$abs/wine-run.sh" "$exe" --serve "$kind" --port 0 --msg-len "$msglen" \
    --seconds "$server_limit" --stop-file "$srv_stop" "$@" </dev/null >"$srv_log" 2>&1 &
  srv_pid=$!
  srv_port=""
  srv_again=0
  for i in $(seq 1 300); do
    if grep -q '^UNAVAILABLE' "$srv_log" 2>/dev/null; then
      srv_why=$(sed -n '/^UNAVAILABLE kind=/{s/^UNAVAILABLE kind=[^ ]*: //p;q}' "$srv_log")
      wait "$srv_pid" 2>/dev/null || true
      return 4
    fi
    srv_port=$(sed -n '/^LISTENING port=/{s/^LISTENING port=\([0-9]*\).*/\1/p;q}' "$srv_log")
    [ -n "$srv_port" ] && return 0
    if ! kill -0 "$srv_pid" 2>/dev/null; then
      local rc=0
      wait "$srv_pid" 2>/dev/null || rc=$?
      if grep -q '^UNAVAILABLE' "$srv_log" 2>/dev/null; then # it printed that and ended meanwhile
        srv_why=$(sed -n '/^UNAVAILABLE kind=/{s/^UNAVAILABLE kind=[^ ]*: //p;q}' "$srv_log")
        return 4
      fi
      [ -s "$srv_log" ] || srv_again=1
      srv_why="ended with exit code $rc before listening: $(grep -m1 '' "$srv_log" 2>/dev/null || echo 'no output') (log $srv_log)"
      rm -f "$srv_stop"
      return 1
    fi
    sleep 0.1
  done
  srv_why="did not listen within 30 s: $(grep -m1 '' "$srv_log" 2>/dev/null || echo 'no output') (log $srv_log)"
  stop_server
  return 1
}

# Stops the server started last: its stop file first, then, after 20 s, kill.
stop_server() {
  local i
  touch "$srv_stop"
  for i in $(seq 1 200); do
    kill -0 "$srv_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$srv_pid" 2>/dev/null; then
    echo "bench: server $srv_pid did not stop within 20 s; killed" >&2
    kill -KILL "$srv_pid" 2>/dev/null || true
  fi
  wait "$srv_pid" 2>/dev/null || true
  rm -f "$srv_stop"
}

cleanup() {
  if [ -n "${srv_pid:-}" ] && kill -0 "$srv_pid" 2>/dev/null; then
    touch "$srv_stop" 2>/dev/null || true
    sleep 1
    kill -KILL "$srv_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# median, fmt_rate, ratio
. "$top/scripts/bench-util.sh"

label_of() {
  case "$1" in
    base:*) echo "$(label_of "${1#base:}") (baseline)" ;;
    select) echo "select engine" ;;
    iocp) echo "IOCP engine" ;;
    async) echo "async engine" ;;
    raw-select) echo "raw select" ;;
    raw-async) echo "raw WSAAsyncSelect" ;;
    raw-iocp) echo "raw IOCP" ;;
    raw-iocp-skip) echo "raw IOCP skip" ;;
    asio) echo "Asio" ;;
    *) echo "$1" ;;
  esac
}

row_label() { # CxM
  local c=${1%x*} m=${1#*x}
  if [ "$m" -ge 1024 ] && [ $((m % 1024)) -eq 0 ]; then echo "$c x $((m / 1024)) KiB"; else echo "$c x $m B"; fi
}

run_echo() {
  local IFS_old=$IFS server row r c m out status rate start_order i
  IFS=, read -r -a server_list <<<"$servers"
  IFS=, read -r -a row_list <<<"$rows"
  IFS=$IFS_old
  server_limit=$(awk -v s="$seconds" 'BEGIN { printf "%d", s + 120 }')
  declare -gA results=() unavailable=()
  local failed=0
  echo "echo ping-pong: native client bench/native/echo_load (Linux, epoll, $client_threads thread(s), TCP_NODELAY,"
  echo "every byte checked),"
  echo "each server alone under Wine, $seconds s per run, servers taking turns, median of $repeat; 127.0.0.1"
  for row in "${row_list[@]}"; do
    c=${row%x*}
    m=${row#*x}
    for r in $(seq 1 "$repeat"); do
      # Each repetition starts with another server, so none is always first.
      local n=${#server_list[@]}
      for i in $(seq 0 $((n - 1))); do
        server=${server_list[$(((i + r - 1) % n))]}
        [ -n "${unavailable[$server]:-}" ] && continue
        status=0
        local opts=()
        local msglen=$m
        case "${server#base:}" in
          select | iocp | async | engine:*)
            opts=(--threads "$engine_threads" --backlog 64)
            [ $stream = 0 ] || msglen=1 ;;
          raw-*) opts=(--recv-size "$raw_recv_size") ;;
        esac
        start_server "$server" "$msglen" "${opts[@]}" || status=$?
        if [ $status = 4 ]; then
          unavailable[$server]=1
          echo "  $(label_of "$server"): not available ($srv_why)"
          continue
        elif [ $status != 0 ]; then
          echo "  $(row_label "$row") $(label_of "$server") run $r: FAILED: server $srv_why"
          results[$server,$row]+="failed "
          failed=1
          continue
        fi
        out=$("$native/echo_load" --port "$srv_port" --conns "$c" --size "$m" --seconds "$seconds" \
          --threads "$client_threads" 2>&1) || true
        stop_server
        echo "$out" >>"$srv_log"
        rate=$(echo "$out" | sed -n 's/^RESULT ok=1 .*msgs_per_s=\([0-9.]*\).*/\1/p')
        if [ -z "$rate" ]; then
          echo "  $(row_label "$row") $(label_of "$server") run $r: FAILED: $(echo "$out" | grep -v '^RESULT' | tail -1) (log $srv_log)"
          results[$server,$row]+="failed "
          failed=1
        else
          printf "  %-14s %-18s run %d: %10s msgs/s %9s MB/s\n" "$(row_label "$row")" "$(label_of "$server")" "$r" \
            "$(fmt_rate "$rate")" "$(echo "$out" | sed -n 's/^RESULT .*mb_per_s=\([0-9.]*\).*/\1/p')"
          results[$server,$row]+="$rate "
        fi
      done
    done
  done

  # One table: medians, then the ratios the comparison is about.
  local cell
  declare -A med=()
  for row in "${row_list[@]}"; do
    for server in "${server_list[@]}"; do
      if [ -n "${unavailable[$server]:-}" ]; then
        med[$server,$row]="n/a"
      elif [[ "${results[$server,$row]:-}" == *failed* ]]; then
        med[$server,$row]="failed"
      else
        med[$server,$row]=$(echo "${results[$server,$row]:-}" | tr ' ' '\n' | grep . | median || true)
      fi
    done
  done
  local header="| C x M |" sep="|---|"
  for server in "${server_list[@]}"; do
    header+=" $(label_of "$server") |"
    sep+="---:|"
  done
  local ratios=()
  has() { [[ ",$servers," == *",$1,"* ]]; }
  has iocp && has base:iocp && ratios+=("iocp/base:iocp=IOCP engine / baseline build")
  has iocp && has asio && ratios+=("iocp/asio=IOCP engine / Asio")
  has iocp && has raw-iocp && ratios+=("iocp/raw-iocp=IOCP engine / raw IOCP")
  has iocp && has raw-iocp-skip && ratios+=("iocp/raw-iocp-skip=IOCP engine / raw IOCP skip")
  has select && has raw-select && ratios+=("select/raw-select=select engine / raw select")
  has async && has raw-async && ratios+=("async/raw-async=async engine / raw WSAAsyncSelect")
  for cell in "${ratios[@]}"; do
    header+=" ${cell#*=} |"
    sep+="---:|"
  done
  {
    echo
    echo "Messages per second (ping-pong round trips, median of $repeat runs of $seconds s):"
    echo
    echo "$header"
    echo "$sep"
    for row in "${row_list[@]}"; do
      local line="| $(row_label "$row") |"
      for server in "${server_list[@]}"; do
        line+=" $(fmt_rate "${med[$server,$row]}") |"
      done
      for cell in "${ratios[@]}"; do
        local pair=${cell%%=*}
        line+=" $(ratio "${med[${pair%%/*},$row]}" "${med[${pair#*/},$row]}") |"
      done
      echo "$line"
    done
    echo
    echo "MB/s one way = msgs/s x M / 10^6. Engines: Initialize(0, $engine_threads, 0, 0) (0: the engine's default"
    if [ $stream = 1 ]; then
      echo "worker count), the shared EchoHost.h sink in stream mode (Recv(s, 1), what arrived sent back);"
    else
      echo "worker count), the shared EchoHost.h sink (Recv(s, M), whole messages sent back);"
    fi
    echo "raw IOCP and Asio with 2 threads; raw select and raw WSAAsyncSelect one thread; the raw servers read"
    echo "up to $raw_recv_size bytes at a time, Asio up to 64 KiB; client $client_threads epoll thread(s)."
    [ -z "$baseline" ] || echo "base:KIND is the server of the build in $baseline."
    echo "Command: scripts/bench.sh echo$([ $stream = 1 ] && echo " --stream") --seconds $seconds --repeat $repeat --servers $servers --rows $rows" \
      "--engine-threads $engine_threads --client-threads $client_threads --raw-recv-size $raw_recv_size${baseline:+ --baseline-build $baseline}"
  } | tee "$logs/echo-table.md"
  return $failed
}

run_conns() {
  local status=0 hard wpid out
  hard=$(ulimit -Hn)
  # Room for the client's sockets; the server's sockets are fds of wineserver.
  if [ "$hard" != unlimited ] && [ "$hard" -lt $((count + 100)) ]; then
    echo "bench: open-file hard limit $hard caps the count"
  fi
  ulimit -n "$hard" 2>/dev/null || true
  wpid=$(wineserver_pid)
  if [ -n "$wpid" ]; then
    local lim
    lim=$(awk '/^Max open files/ { print $4 }' "/proc/$wpid/limits" 2>/dev/null || echo 0)
    if [ "$lim" != unlimited ] && [ "${lim:-0}" -lt $((count + 200)) ]; then
      echo "bench: restarting this prefix's wineserver (open-file limit $lim) with the raised limit"
      wineserver -k </dev/null >/dev/null 2>&1 || true
      wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
  fi
  scripts/wine-services.sh start "$WINEPREFIX"
  wpid=$(wineserver_pid)
  server_limit=$((conns_limit + 180))
  echo "idle connections: up to $count to the echo server of $(label_of "$conns_server") (bench_conns, $parallel at a time)"
  start_server "$conns_server" 1 --backlog 128 --status-ms 250 || status=$?
  if [ $status = 4 ]; then
    echo "  $(label_of "$conns_server"): not available ($srv_why); skipped"
    return 0
  elif [ $status != 0 ]; then
    echo "  FAILED: server $srv_why"
    return 1
  fi
  status=0
  "$native/bench_conns" --port "$srv_port" --count "$count" --parallel "$parallel" --seconds "$conns_limit" \
    --server-log "$srv_log" --server-pid "$srv_pid" ${wpid:+--wineserver-pid "$wpid"} >"$logs/conns.out" 2>&1 || status=$?
  stop_server
  cat "$logs/conns.out" >>"$srv_log"
  sed 's/^/  /' "$logs/conns.out"
  grep '^STOPPED' "$srv_log" | sed 's/^/  server: /' || true
  return $status
}

engine_name() { # KIND -> interface name
  case "$1" in
    iocp) echo IIocpSocketMgr1.0 ;;
    select) echo ISelectSocketMgr1.0 ;;
    async) echo IAsyncSocketMgr1.0 ;;
    engine:*) echo "${1#engine:}" ;;
  esac
}

# burst_once KIND N M: one run; prints the sends/s, or "failed" (why in the log).
burst_once() {
  local kind=$1 n=$2 m=$3 exe="$abs/bin/bench_burst.exe" log port out rpid i
  if [[ "$kind" == base:* ]]; then exe="$baseline/bin/bench_burst.exe"; kind=${kind#base:}; fi
  srv_seq=$((srv_seq + 1))
  log="$logs/burst-$srv_seq-${kind//[:\/]/_}.log"
  # The reader prints its port, then the bytes it got once the sender closes.
  python3 -u -c '
import socket, sys
l = socket.socket(); l.bind(("127.0.0.1", 0)); l.listen(1)
print("PORT", l.getsockname()[1])
c, _ = l.accept(); n = 0
while True:
    b = c.recv(1 << 20)
    if not b: break
    n += len(b)
print("GOT", n)' >"$log.reader" 2>&1 &
  rpid=$!
  for i in $(seq 1 100); do
    port=$(sed -n 's/^PORT //p' "$log.reader")
    [ -n "$port" ] && break
    sleep 0.1
  done
  out=$(OXNET_WINE_UP=1 "$abs/wine-run.sh" "$exe" --engine "$(engine_name "$kind")" --port "${port:-0}" \
    --count "$n" --msg-len "$m" </dev/null 2>&1) || true
  echo "$out" >"$log"
  for i in $(seq 1 300); do kill -0 "$rpid" 2>/dev/null || break; sleep 0.1; done
  kill "$rpid" 2>/dev/null || true
  wait "$rpid" 2>/dev/null || true
  if [ "$(sed -n 's/^GOT //p' "$log.reader")" != $((n * m)) ]; then
    echo "failed"
  else
    echo "$out" | sed -n 's/^RESULT ok=1 sends_per_s=\([0-9.]*\).*/\1/p' | grep . || echo failed
  fi
}

run_burst() {
  local IFS_old=$IFS row server r n m rate cell
  IFS=, read -r -a server_list <<<"$servers"
  IFS=, read -r -a row_list <<<"$rows"
  IFS=$IFS_old
  declare -A res=()
  echo "sends that queue: bench_burst.exe hands N messages of M bytes to Send at once, a native reader counts them"
  for row in "${row_list[@]}"; do
    n=${row%x*} m=${row#*x}
    for r in $(seq 1 "$repeat"); do
      for server in "${server_list[@]}"; do
        rate=$(burst_once "$server" "$n" "$m")
        printf "  %-16s %-22s run %d: %10s sends/s\n" "$(row_label "$row")" "$(label_of "$server")" "$r" "$rate"
        res[$server,$row]+="$rate "
      done
    done
  done
  local header="| N x M |" sep="|---|"
  for server in "${server_list[@]}"; do header+=" $(label_of "$server") |"; sep+="---:|"; done
  local pairs=()
  for server in "${server_list[@]}"; do
    [[ "$server" == base:* ]] || [[ ",$servers," != *",base:$server,"* ]] || pairs+=("$server")
  done
  for server in "${pairs[@]}"; do header+=" $(label_of "$server") / baseline |"; sep+="---:|"; done
  {
    echo
    echo "Sends per second (first Send to the last one's report, median of $repeat; MB/s = sends/s x M / 10^6):"
    echo
    echo "$header"
    echo "$sep"
    for row in "${row_list[@]}"; do
      local line="| $(row_label "$row") |"
      declare -A med=()
      for server in "${server_list[@]}"; do
        cell=${res[$server,$row]}
        if [[ "$cell" == *failed* ]]; then med[$server]=failed; else med[$server]=$(echo "$cell" | tr ' ' '\n' | grep . | median); fi
        line+=" $(fmt_rate "${med[$server]}") |"
      done
      for server in "${pairs[@]}"; do line+=" $(ratio "${med[$server]}" "${med[base:$server]}") |"; done
      echo "$line"
    done
    echo
    echo "Command: scripts/bench.sh burst --rows $rows --servers $servers --repeat $repeat${baseline:+ --baseline-build $baseline}"
  } | tee "$logs/burst-table.md"
}

mkdir -p "$logs"
[ $no_build = 1 ] || build_all
case "$mode" in
  in-process)
    exec env BUILD_DIR="$build" scripts/wine-run.sh "$abs/bin/bench_echo.exe" "$@"
    ;;
  echo)
    scripts/wine-services.sh start "$WINEPREFIX"
    run_echo
    ;;
  conns)
    run_conns
    ;;
  burst)
    scripts/wine-services.sh start "$WINEPREFIX"
    run_burst
    ;;
  relay)
    scripts/wine-services.sh start "$WINEPREFIX"
    exec scripts/bench-relay.sh "$abs" "${relay_args[@]}"
    ;;
  all)
    scripts/wine-services.sh start "$WINEPREFIX"
    status=0
    run_echo || status=1
    echo
    run_conns || status=1
    exit $status
    ;;
esac
