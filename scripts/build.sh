#!/usr/bin/env bash
# Installs what is missing, configures and builds into $BUILD_DIR (default:
# build). Arguments name the targets to build (default: everything: DLL,
# import library, demo host, tests, benchmarks). OXNET_CMAKE_OPTIONS holds
# extra configure options, for example OXNET_CMAKE_OPTIONS=-DOXNET_TESTS=OFF.
# OXNET_ARCH=i686 makes a new tree a 32-bit one (default x86_64).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=${BUILD_DIR:-build}
scripts/setup.sh
first=()
if [ ! -f "$build/CMakeCache.txt" ]; then
  first=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-${OXNET_ARCH:-x86_64}.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
# Configured every time, so changed options take effect; on an existing tree
# this only re-reads the cache (about a second).
# shellcheck disable=SC2086 # the options are meant to split at spaces
cmake -S . -B "$build" "${first[@]}" ${OXNET_CMAKE_OPTIONS:-} >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$build" "${targets[@]}" -- -j"$(nproc)"
case "$build" in /*) ;; *) build="$top/$build" ;; esac
scripts/wineprefix.sh "$build/wineprefix"
