#!/usr/bin/env bash
# Installs what is missing, configures and builds everything (DLL, import
# library, demo host, tests, benchmarks) into $BUILD_DIR (default: build).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=${BUILD_DIR:-build}
scripts/setup.sh
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -- -j"$(nproc)"
case "$build" in /*) ;; *) build="$top/$build" ;; esac
scripts/wineprefix.sh "$build/wineprefix"
