#!/usr/bin/env bash
# oxrecdump --pcap on a recording the library made, read back with tshark:
#   tests/examples/pcap-tshark.sh BIN_DIR WINE_RUN WORK_DIR
# bench_echo serves on a recording engine ("IIocpSocketMgr1.1", echoing
# every byte, so it consumes all it gets) in WORK_DIR, where oxnet.rec is
# written; a native client opens three connections one after another: an
# HTTP GET closed gracefully, 100,000 binary bytes closed gracefully, a few
# bytes closed with a reset. Each client reads its echo back before closing,
# so the server has consumed (and recorded) everything by then.
set -euo pipefail
bin=$1 run=$2 work=$3
fail=0
check() { # check WHAT WANT GOT
  if [ "$2" != "$3" ]; then echo "FAIL $1: want [$2], got [$3]"; fail=1; else echo "ok   $1"; fi
}
command -v tshark >/dev/null || { echo "FAIL tshark is not installed (scripts/setup.sh installs it)"; exit 1; }
rm -rf "$work" && mkdir -p "$work" && cd "$work"

"$run" "$bin/bench_echo.exe" --serve engine:IIocpSocketMgr1.1 --port 0 --stop-file "$work/stop" >server.log 2>&1 &
server=$!
stop_server() {
  touch "$work/stop"
  for _ in $(seq 300); do kill -0 $server 2>/dev/null || return 0; sleep 0.1; done
  kill $server
}
trap stop_server EXIT
for _ in $(seq 300); do grep -q LISTENING server.log && break; kill -0 $server 2>/dev/null || break; sleep 0.1; done
port=$(sed -n 's/^LISTENING port=\([0-9]*\).*/\1/p' server.log)
[ -n "$port" ] || { echo "FAIL the server did not listen:"; cat server.log; exit 1; }

python3 - "$port" <<'EOF'
import socket, struct, sys
port = int(sys.argv[1])
sends = [b"GET /index.html HTTP/1.0\r\nHost: example\r\n\r\n",
         bytes((i * 7919 >> 3) & 0xFF for i in range(100000)),
         b"reset me\n"]
for n, data in enumerate(sends):
    s = socket.create_connection(("127.0.0.1", port), timeout=20)
    s.sendall(data)
    got = b""
    while len(got) < len(data):
        chunk = s.recv(65536)
        if not chunk:
            sys.exit("connection %d: echo ended after %d bytes" % (n, len(got)))
        got += chunk
    if n == 2:  # no FIN: a reset
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
    open("sent%d" % n, "wb").write(data)
EOF

# The close records come after the server saw the closes: wait for all three.
for _ in $(seq 300); do
  "$run" "$bin/oxrecdump.exe" oxnet.rec 2>&1 | tr -d '\r' >dump.txt || true
  grep -q ' 3 close,' dump.txt && break
  sleep 0.1
done
check "recording of 3 accepts and 3 closes" 1 "$(grep -c ': 3 accept, .* 3 close, 0 unknown$' dump.txt || true)"
stop_server
trap - EXIT

"$run" "$bin/oxrecdump.exe" --pcap out.pcap oxnet.rec >pcap.txt 2>&1 && rc=0 || rc=$?
sed -i 's/\r$//' pcap.txt
check "oxrecdump --pcap exit code" 0 "$rc"
check "oxrecdump --pcap summary" 1 "$(grep -c '^[0-9]* records: 3 connections, [0-9]* packets written to out.pcap$' pcap.txt || true)"

ts() { tshark -o tcp.check_checksum:TRUE -o ip.check_checksum:TRUE -r "$@" 2>tshark.err; }
# Everything tshark says on stderr but its warning about running as root.
ts_errors() { grep -v 'Running as user' tshark.err || true; }
# Opens cleanly; every checksum verified good; no malformed packet, no
# expert warning or error but the reset itself.
check "tshark reads all packets" "$(sed -n 's/.* \([0-9]*\) packets written.*/\1/p' pcap.txt)" \
  "$(ts out.pcap -T fields -e frame.number | wc -l)"
check "tshark stderr" "" "$(ts_errors)"
check "checksums verified good" "" \
  "$(ts out.pcap -Y 'ip.checksum.status != 1 || tcp.checksum.status != 1' -T fields -e frame.number)"
check "malformed or expert warnings" "" "$(ts out.pcap -T fields -e frame.number \
  -Y '_ws.malformed || _ws.expert.severity >= 0x600000 && !(tcp.flags.reset == 1)')"

# Each stream gives back exactly the bytes its client sent (all from node 0).
hex() { od -An -tx1 -v | tr -d ' \n'; }
for n in 0 1 2; do
  got=$(tshark -q -r out.pcap -z follow,tcp,raw,$n 2>/dev/null | sed -n '/^Node 1:/,/^====/p' |
        grep -E '^[0-9a-f]+$' | tr -d '\n')
  check "stream $n bytes" "$(hex <sent$n)" "$got"
done

check "HTTP GET dissected" "0 /index.html" \
  "$(ts out.pcap -Y 'http.request.method == "GET"' -T fields -e tcp.stream -e http.request.uri | tr '\t' ' ')"
check "handshakes, server ports" "0 80 1 40000 2 40000" \
  "$(ts out.pcap -Y 'tcp.flags.syn == 1 && tcp.flags.ack == 0' -T fields -e tcp.stream -e tcp.dstport | xargs)"
# Every segment starts where its side's last one ended (data, SYN and FIN
# count) and acknowledges all the other side sent.
seq_errors() {
  ts "$1" -T fields -e tcp.stream -e ip.src -e tcp.seq -e tcp.ack -e tcp.len -e tcp.flags.syn -e tcp.flags.fin \
    -e tcp.flags.ack | awk '{ k = $1 " " $2; o = $1 " " ($2 == "10.0.0.1" ? "10.0.0.2" : "10.0.0.1")
      if ((k in nx) && $3 != nx[k]) bad++; if ($8 == 1 && $4 != nx[o]) bad++; nx[k] = $3 + $5 + $6 + $7 }
      END { print bad + 0 }'
}
check "sequence and ack numbers" 0 "$(seq_errors out.pcap)"
# Each stream ends as its close record says: error 0 a FIN, any error a RST.
# (The engine reports the client's reset as an error, though under Wine at
# times as a graceful close, so the recording is the reference.)
close_kinds() { ts "$1" -Y 'tcp.flags.fin == 1 || tcp.flags.reset == 1' -T fields -e tcp.stream -e tcp.flags.reset |
  awk '!($1 in seen) { seen[$1]; printf "%s ", $2 == 1 ? "RST" : "FIN" }'; }
check "close kinds" "$(close_kinds out.pcap)" \
  "$(sed -n 's/.* close .*error=\([-0-9]*\) .*/\1/p' dump.txt | awk '{ printf "%s ", $1 == 0 ? "FIN" : "RST" }')"

# A hand-made recording: a connection the host made (no accept record), an
# HTTP response consumed, then a reset: the host is the client, the peer
# serves HTTP at port 80, the stream ends in a RST.
le32() { printf '\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
rec_head() { printf "$(le32 "$1")$(le32 "$2")$(le32 500)$(le32 0)$(le32 0)"; } # TYPE LEN, socket 500
resp=$'HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi'
{ rec_head 1 ${#resp}; printf %s "$resp"; rec_head 4 8; printf "$(le32 10054)$(le32 5)"; } >made.rec
"$run" "$bin/oxrecdump.exe" --pcap made.pcap made.rec >/dev/null 2>&1 && rc=0 || rc=$?
check "made recording: exit code" 0 "$rc"
check "made recording: host connects to the HTTP peer" "10.0.0.2 80 200" \
  "$(ts made.pcap -T fields -e ip.src -e tcp.dstport -Y 'tcp.flags.syn == 1 && tcp.flags.ack == 0' | tr '\t' ' ') $(
     ts made.pcap -T fields -e http.response.code -Y http.response)"
check "made recording: close kind, sequence numbers" "RST 0" "$(close_kinds made.pcap)$(seq_errors made.pcap)"

# A truncated recording: its whole records are written, exit code 1.
head -c -3 oxnet.rec >cut.rec
"$run" "$bin/oxrecdump.exe" --pcap cut.pcap cut.rec >cut.txt 2>&1 && rc=0 || rc=$?
check "truncated input exit code" 1 "$rc"
check "truncated input message" 2 "$(grep -c 'truncated' cut.txt || true)"
check "truncated input pcap stderr" "" "$(ts cut.pcap -T fields -e frame.number >/dev/null; ts_errors)"
# Not a recording at all (the capture itself): no crash, whatever it makes of it.
"$run" "$bin/oxrecdump.exe" --pcap junk.pcap out.pcap >junk.txt 2>&1 && rc=0 || rc=$?
check "junk input ends normally" 1 "$([ "$rc" -le 1 ] && echo 1 || echo "$rc")"
"$run" "$bin/oxrecdump.exe" --pcap >/dev/null 2>&1 && rc=0 || rc=$?
check "--pcap without OUT" 2 "$rc"
exit $fail
