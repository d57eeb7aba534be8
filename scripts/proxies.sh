#!/usr/bin/env bash
# Starts or stops the real proxy servers that the end-to-end proxy tests use,
# all on 127.0.0.1 with free ports:
#   scripts/proxies.sh start DIR   configs, logs and pid files go into DIR;
#                                  DIR/proxies.env gets KEY=VALUE lines
#   scripts/proxies.sh stop DIR    stops exactly what start started there
#                                  (and the private servers below DIR)
# Servers and their keys:
#   danted     SOCKS4 + SOCKS5 without authentication (CONNECT, BIND, UDP)  DANTE_PORT
#   tinyproxy  HTTP CONNECT without / with Basic authentication            TINYPROXY_PORT, TINYPROXY_AUTH_PORT
#   microsocks SOCKS5 CONNECT without / with user name and password        MICROSOCKS_PORT, MICROSOCKS_AUTH_PORT
# A server that is not installed or did not start gets MISSING_KEY=why
# instead, for the tests to report. The user name and password (PROXY_USER,
# PROXY_PASSWORD) live only in the servers' own settings: no system account.
# Every wait is bounded; start never leaves a half-started server running
# unrecorded, stop never waits forever.
set -uo pipefail
port=0

PROXY_USER=oxproxy
PROXY_PASSWORD='Ox-proxy-test-1'
WAIT_TENTHS=100     # 10 s for a server to listen or to go away

usage() { echo "usage: $0 start|stop DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
action=$1
dir=$2

# True when some socket of any protocol and state uses the port locally.
port_in_use() {
  local hex f
  hex=$(printf '%04X' "$1")
  for f in /proc/net/tcp /proc/net/tcp6 /proc/net/udp /proc/net/udp6; do
    [ -r "$f" ] || continue
    awk -v h=":$hex" 'NR > 1 && substr($2, length($2) - 4) == h { found = 1 } END { exit !found }' "$f" && return 0
  done
  return 1
}

# True when something listens on 127.0.0.1 (or any address) at the TCP port.
port_listening() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v a="0100007F:$hex" -v b="00000000:$hex" \
    'NR > 1 && ($2 == a || $2 == b) && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp
}

# Sets port to a free one, never one picked before in this run.
picked=" "
pick_port() {
  local i
  for i in $(seq 1 200); do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    case "$picked" in *" $port "*) continue ;; esac
    if ! port_in_use "$port"; then
      picked="$picked$port "
      return 0
    fi
  done
  return 1
}

alive() { [ -d "/proc/$1" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null; }

# launch NAME PORT COMMAND...: runs the server in the foreground of its own
# session (so stop can end it and every child it forks), output to NAME.log,
# and waits until the port listens. Prints nothing; returns 1 on failure.
launch() {
  local name=$1 port=$2 pid i
  shift 2
  setsid "$@" </dev/null >"$dir/$name.log" 2>&1 &
  pid=$!
  echo "$pid" >"$dir/$name.pid"
  for i in $(seq 1 "$WAIT_TENTHS"); do
    port_listening "$port" && return 0
    alive "$pid" || break
    sleep 0.1
  done
  echo "proxies: $name did not listen on port $port (see $dir/$name.log)" >&2
  end_one "$dir/$name.pid"
  return 1
}

# Ends a server's whole process group (danted forks its workers) with TERM,
# then waits a bounded time; a group still there after that is killed.
end_one() {
  local pidfile=$1 pid i name
  pid=$(cat "$pidfile" 2>/dev/null) || return 0
  rm -f "$pidfile"
  case "$pid" in '' | *[!0-9]*) return 0 ;; esac
  # A stale pid file (say, after a reboot) may name someone else's process now.
  name=$(basename "$pidfile" .pid)
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "${name%-auth}" ] || return 0
  kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null
  for i in $(seq 1 "$WAIT_TENTHS"); do
    alive "$pid" || break
    sleep 0.1
  done
  kill -KILL -- "-$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# end_all DIR: end_one for every server started in DIR.
end_all() {
  local f
  for f in "$1"/*.pid; do
    [ -e "$f" ] && end_one "$f"
  done
}

write_dante_conf() { # FILE PORT
  cat >"$1" <<EOF
logoutput: stderr
internal: 127.0.0.1 port = $2
external: 127.0.0.1
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: bind connect udpassociate }
socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 command: bindreply udpreply }
EOF
}

write_tinyproxy_conf() { # FILE PORT [auth]
  {
    echo "Port $2"
    echo "Listen 127.0.0.1"
    echo "Allow 127.0.0.1"
    echo "Timeout 60"
    echo "MaxClients 50"
    echo "LogLevel Info"
    if [ "$(id -u)" = 0 ]; then echo "User nobody"; echo "Group nogroup"; fi
    if [ "${3:-}" = auth ]; then echo "BasicAuth $PROXY_USER $PROXY_PASSWORD"; fi
  } >"$1"
}

# record KEY NAME STATUS: KEY=port after a start that worked, else why not.
record() {
  if [ "$3" = 0 ]; then lines+=("$1=$port"); else lines+=("MISSING_$1=$2 did not start, see $dir/$2.log"); fi
}
absent() { lines+=("MISSING_$1=$2 is not installed (OXNET_WITH_PROXIES=1 scripts/setup.sh installs it)"); }

# Each starter records its ports (or why not) in the caller's lines.
start_danted() {
  if command -v danted >/dev/null 2>&1; then
    pick_port && write_dante_conf "$dir/danted.conf" "$port" &&
      launch danted "$port" danted -f "$dir/danted.conf" -p "$dir/danted.dpid"
    record DANTE_PORT danted $?
  else
    absent DANTE_PORT danted
  fi
}

# start_tinyproxy [auth]: with auth, a second server that asks for the password.
start_tinyproxy() {
  if command -v tinyproxy >/dev/null 2>&1; then
    pick_port && write_tinyproxy_conf "$dir/tinyproxy.conf" "$port" &&
      launch tinyproxy "$port" tinyproxy -d -c "$dir/tinyproxy.conf"
    record TINYPROXY_PORT tinyproxy $?
    if [ "${1:-}" = auth ]; then
      pick_port && write_tinyproxy_conf "$dir/tinyproxy-auth.conf" "$port" auth &&
        launch tinyproxy-auth "$port" tinyproxy -d -c "$dir/tinyproxy-auth.conf"
      record TINYPROXY_AUTH_PORT tinyproxy-auth $?
    fi
  else
    absent TINYPROXY_PORT tinyproxy
    if [ "${1:-}" = auth ]; then absent TINYPROXY_AUTH_PORT tinyproxy; fi
  fi
}

do_start() {
  local lines=()
  mkdir -p "$dir" || exit 1
  do_stop                       # a previous run's servers, if any
  start_danted
  start_tinyproxy auth
  if command -v microsocks >/dev/null 2>&1; then
    pick_port && launch microsocks "$port" microsocks -i 127.0.0.1 -p "$port"
    record MICROSOCKS_PORT microsocks $?
    # RFC 1929 user name and password, checked by microsocks itself.
    pick_port && launch microsocks-auth "$port" microsocks -i 127.0.0.1 -p "$port" -u "$PROXY_USER" -P "$PROXY_PASSWORD"
    record MICROSOCKS_AUTH_PORT microsocks-auth $?
  else
    absent MICROSOCKS_PORT microsocks
    absent MICROSOCKS_AUTH_PORT microsocks
  fi
  write_env
  echo "proxies: ${lines[*]}"
}

write_env() {
  local env="$dir/proxies.env" line
  {
    echo "PROXY_HOST=127.0.0.1"
    echo "PROXY_USER=$PROXY_USER"
    echo "PROXY_PASSWORD=$PROXY_PASSWORD"
    for line in "${lines[@]}"; do echo "$line"; done
  } >"$env.tmp" && mv "$env.tmp" "$env"
}

do_stop() {
  [ -d "$dir" ] || return 0
  end_all "$dir"
  rm -f "$dir/proxies.env" "$dir"/*.dpid
  return 0
}

case "$action" in
  start) do_start ;;
  stop) do_stop ;;
  *) usage ;;
esac
exit 0
