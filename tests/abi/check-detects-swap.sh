#!/usr/bin/env bash
# Shows that check-vtable-order.sh can fail: on a copy of ISocketMgr.h with
# two overloads swapped in the MSVC branch, and on one whose MSVC branch is
# dropped (MSVC then reverses each overload pair), it must report the
# differing slots.   tests/abi/check-detects-swap.sh HEADER_DIR WORK_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
hdr=$1 work=$2
rm -rf "$work"
mkdir -p "$work/swapped" "$work/nobranch"

# Swap the two Connect overloads after the header's #else (the MSVC branch).
awk '
  /^#else/ { msvc = 1 }
  msvc && !done && /virtual bool Connect\(SOCKET s, const sockaddr_in\*/ { held = $0; next }
  msvc && !done && held != "" && /virtual bool Connect\(SOCKET s, const char\*/ { print; print held; done = 1; next }
  { print }
  END { if (!done) exit 1 }' "$hdr/ISocketMgr.h" >"$work/swapped/ISocketMgr.h" ||
  { echo "FAIL: the Connect pair of the MSVC branch was not found"; exit 1; }
sed 's/^#ifndef _MSC_VER$/#if 1/' "$hdr/ISocketMgr.h" >"$work/nobranch/ISocketMgr.h"
cmp -s "$hdr/ISocketMgr.h" "$work/nobranch/ISocketMgr.h" && { echo "FAIL: no '#ifndef _MSC_VER' branch found"; exit 1; }

status=0
for variant in swapped nobranch; do
  if out=$("$here/check-vtable-order.sh" "$work/$variant" "$work/$variant.out"); then
    echo "FAIL: $variant header passed the slot order check:"; echo "$out"; status=1
  elif ! grep -q "Connect(SOCKET, const char \*, USHORT)" <<<"$out"; then
    echo "FAIL: $variant header failed without naming the swapped Connect slots:"; echo "$out"; status=1
  else
    echo "ok: $variant header rejected:"
    # sed reads to the end: a head that quit early would kill the echo by SIGPIPE, which pipefail turns into a failure
    printf "%s\n" "$out" | sed -n "1,8s/^/  /p"
  fi
done
exit $status
