#!/usr/bin/env bash
# The first host of docs/getting-started.md as a newcomer meets it: its source
# and its mingw commands taken from the page, run in a folder laid out as the
# release archive (the install tree); the host started under Wine on a free
# port of 127.0.0.1, one line echoed through it, then ended by Enter.
#   getting-started.sh PREFIX WORKDIR CXX RUNNER DOC
# CXX replaces the page's compiler only when it is not the 64-bit one (the
# 32-bit suite's install tree needs the 32-bit compiler).
set -euo pipefail
prefix=$1 work=$2 cxx=$3 runner=$4 doc=$5
fail() { echo "FAIL: $*"; [ -f "$work/host.out" ] && cat "$work/host.out"; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cp -r "$prefix/include" "$prefix/lib" "$prefix/bin" "$work/"
awk '/^```cpp/ { n++; if (n == 1) { f = 1; next } } /^```/ { f = 0 } f' "$doc" >"$work/host.cpp"
[ -s "$work/host.cpp" ] || fail "no host source on the page"
build=$(grep -m1 '^x86_64-w64-mingw32-g++ .*host\.cpp.* -o host\.exe$' "$doc") || fail "no mingw command on the page"
grep -qx 'cp bin/oxnet.dll .' "$doc" || fail "the page does not copy oxnet.dll beside the host"
case "$(basename "$cxx")" in x86_64-*) ;; *) build=${build/x86_64-w64-mingw32-g++/$cxx} ;; esac
echo "$build"
(cd "$work" && eval "$build" && cp bin/oxnet.dll .) || fail "the page's commands failed"

# The host reads Enter from a FIFO that this script holds open.
mkfifo "$work/stdin"
in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for try in 1 2 3 4 5; do
  port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
  in_use "$port" && continue
  (cd "$work" && exec "$runner" ./host.exe "$port") <"$work/stdin" >"$work/host.out" 2>&1 &
  pid=$!
  exec 4>"$work/stdin"
  for i in $(seq 1 600); do
    grep -q "echo server on 127.0.0.1:$port" "$work/host.out" && break
    grep -q "cannot listen" "$work/host.out" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q "echo server on 127.0.0.1:$port" "$work/host.out" && break
  exec 4>&-
  wait "$pid" 2>/dev/null || true
  grep -q "cannot listen" "$work/host.out" || fail "the host did not start"
  pid=""
done
[ -n "${pid:-}" ] || fail "no free port in $try tries"

exec 5<>"/dev/tcp/127.0.0.1/$port"
printf 'hello from the getting-started page\n' >&5
IFS= read -r -t 10 line <&5 || fail "no echo within 10 s"
exec 5>&-
[ "$line" = "hello from the getting-started page" ] || fail "echoed '$line'"
printf '\n' >&4
exec 4>&-
rc=0
for i in $(seq 1 300); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; fail "the host did not end after Enter"; }
wait "$pid" || rc=$?
[ $rc = 0 ] || fail "the host ended with $rc"
echo "getting-started host built as the page says, echoed on 127.0.0.1:$port, ended by Enter"
