#!/usr/bin/env bash
# Checks the delivered DLL: exactly the five exports, undecorated, and imports
# from Windows system DLLs only (the runtime is linked in statically).
set -euo pipefail
dll=$1
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^[[:space:]]*\[ *[0-9]+\]' | awk '{print $NF}' | sort | tr '\n' ' ')
want="oxCreateInstance oxDestroyInstance oxGetInterfaceName oxInitialize oxUninitialize "
if [ "$exports" != "$want" ]; then
  echo "exports: got '$exports', want '$want'"; exit 1
fi
imports=$(echo "$dump" | awk '/DLL Name:/{print tolower($3)}' | sort -u)
system='^(kernel32|user32|ws2_32|mswsock|winmm|ole32|advapi32|msvcrt|gdi32|ntdll|api-ms-win-[a-z0-9-]+)\.dll$'
bad=$(echo "$imports" | grep -Ev "$system" || true)
if [ -n "$bad" ]; then
  echo "non-system imports: $bad"; exit 1
fi
echo "exports: $exports"
echo "imports: $(echo $imports)"
