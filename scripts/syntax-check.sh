#!/usr/bin/env bash
# Compile-checks single C++ files with the project's compiler, flags and include
# paths, without building anything: scripts/syntax-check.sh FILE...
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
for f in "$@"; do
  x86_64-w64-mingw32-g++-posix -std=c++17 -Wall -Wextra -fsyntax-only \
    -I"$top/VZ_Base/Include" -I"$top/net" -I/usr/src/googletest/googletest/include \
    -D_WIN32_WINNT=0x0601 "$f"
done
