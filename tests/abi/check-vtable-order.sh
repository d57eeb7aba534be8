#!/usr/bin/env bash
# Checks that a host built by MSVC and one built by GCC/Clang see the same
# function at every virtual slot of ISocketMgr and ISocketMgrSink.
#   tests/abi/check-vtable-order.sh [HEADER_DIR] [WORK_DIR]
# HEADER_DIR holds ISocketMgr.h (default: net/). Clang lays out each table
# once for an MSVC target and once for a MinGW target and dumps the slots;
# the lists are compared slot by slot, for 64-bit and 32-bit Windows.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
hdr=${1:-$here/../../net}
work=${2:-$(mktemp -d)}
mkdir -p "$work"
clang=${CLANGXX:-clang++}
command -v "$clang" >/dev/null 2>&1 || { echo "FAIL: $clang not found (scripts/setup.sh installs clang)"; exit 1; }

# dump TARGET OUT [defines...]: the raw layout dump of the probe.
dump() {
  local target=$1 out=$2
  shift 2
  "$clang" --target="$target" -std=c++17 -nostdinc -I"$here/stub" -I"$hdr" "$@" \
    -Xclang -fdump-vtable-layouts -S -emit-llvm -o /dev/null "$here/vtable_probe.cpp" >"$out" 2>"$out.err" || {
    echo "FAIL: $clang --target=$target could not compile the probe:"; cat "$out.err"; exit 1; }
}

# slots DUMP CLASS KIND: "index function(params)" for each slot of CLASS,
# at the index a host calls it through, from the dump's index section. The
# destructors differ by design: MSVC has one slot (scalar deleting), GNU two
# (complete, deleting). A host never calls them across the DLL boundary (it
# destroys through oxDestroyInstance), so GNU's pair is shown as one slot when
# it ends the table; anywhere else it stays two and shifts every later slot.
slots() {
  awk -v cls="$2" -v kind="$3" '
    BEGIN { inside = 0; n = 0 }
    $0 ~ "^(VFTable|VTable) indices for '\''" cls "'\''" { inside = 1; next }
    inside && /^[[:space:]]*$/ { inside = 0; next }
    inside {
      line = $0
      sub(/^[[:space:]]*[0-9]+ \| /, "", line)
      sub(/ \[pure\]$/, "", line)
      if (line ~ /~/) {
        line = "~" cls "() (destructor)"
      } else {
        # drop the return type: the name starts at the class qualifier
        at = index(line, cls "::")
        if (at == 0) { print "unparsed slot: " $0 > "/dev/stderr"; exit 1 }
        line = substr(line, at + length(cls) + 2)
      }
      slot[n++] = line
    }
    END {
      if (kind == "gnu" && n >= 2 && slot[n - 1] ~ /^~/ && slot[n - 2] ~ /^~/) n--
      for (i = 0; i < n; i++) print i " " slot[i]
    }' "$1"
}

status=0
for bits in 64 32; do
  if [ $bits = 64 ]; then msvc=x86_64-pc-windows-msvc gnu=x86_64-w64-windows-gnu
  else msvc=i686-pc-windows-msvc gnu=i686-w64-windows-gnu; fi
  dump $msvc "$work/msvc$bits.txt" -DOXNET_PROBE_MSVC
  dump $gnu "$work/gnu$bits.txt"
  for cls in ISocketMgr ISocketMgrSink; do
    slots "$work/msvc$bits.txt" $cls msvc >"$work/$cls-msvc$bits.slots"
    slots "$work/gnu$bits.txt" $cls gnu >"$work/$cls-gnu$bits.slots"
    nm=$(wc -l <"$work/$cls-msvc$bits.slots")
    ng=$(wc -l <"$work/$cls-gnu$bits.slots")
    if [ "$nm" -lt 10 ] || [ "$ng" -lt 10 ]; then
      echo "FAIL: $cls ($bits-bit): no slot list found in the dump (msvc $nm, gnu $ng entries)"
      status=1
      continue
    fi
    if diff_out=$(diff "$work/$cls-msvc$bits.slots" "$work/$cls-gnu$bits.slots"); then
      echo "ok: $cls ($bits-bit): $nm slots, same function at every slot for MSVC and GNU"
    else
      echo "FAIL: $cls ($bits-bit): slots differ (< MSVC host, > GNU host):"
      echo "$diff_out"
      status=1
    fi
  done
done
if [ $status = 0 ]; then
  echo "ISocketMgr slots as both compilers see them:"
  sed 's/^/  /' "$work/ISocketMgr-gnu64.slots"
fi
exit $status
