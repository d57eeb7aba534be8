#!/usr/bin/env bash
# Builds the release SDKs and zips them into dist/ (or $OXNET_DIST_DIR):
#   oxnet-<version>-win64.zip  (x86_64, from build-release)
#   oxnet-<version>-win32.zip  (i686, from build-release-i686)
# Each is the install tree of cmake --install (bin, include, lib, share/doc)
# under one folder oxnet-<version>-<arch>. Every build starts clean and must
# compile without a warning. The 32-bit test suite runs only where a 32-bit
# Wine (wine32:i386) is installed; OXNET_TRY_WINE32=1 lets the script add the
# i386 architecture and try to install it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh

SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
apt_install() {
  echo "package: installing $*"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
need=()
command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-i686-posix)
command -v zip >/dev/null 2>&1 || need+=(zip)
command -v unzip >/dev/null 2>&1 || need+=(unzip)
[ ${#need[@]} -eq 0 ] || apt_install "${need[@]}"

version=$(sed -n 's/^project(oxnet VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt"; exit 1; }
dist=${OXNET_DIST_DIR:-$top/dist}
mkdir -p "$dist"

# release ARCH TOOLCHAIN BUILD: clean build, install into a staging folder, zip.
release() {
  local arch=$1 toolchain=$2 build=$3
  local name=oxnet-$version-$arch
  echo "== $name ($build)"
  rm -rf "$build"
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DOXNET_TESTS=OFF -DOXNET_BENCH=OFF >/dev/null
  cmake --build "$build" -- -j"$(nproc)" >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }
  if grep -q "warning:" "$build/build.log"; then
    grep -B2 -A4 "warning:" "$build/build.log"
    echo "package: $name does not build without warnings"; exit 1
  fi
  echo "built without warnings"
  local stage=$build/stage
  rm -rf "$stage"
  cmake --install "$build" --prefix "$stage/$name" >/dev/null
  scripts/check-dll.sh "$stage/$name/bin/oxnet.dll"
  rm -f "$dist/$name.zip"
  (cd "$stage" && zip -q -r -X "$dist/$name.zip" "$name")
}

release win64 mingw-w64-x86_64.cmake build-release
release win32 mingw-w64-i686.cmake build-release-i686

# The 32-bit test suite needs Wine's 32-bit loader (scripts/wine32.sh).
win32_tests="not run"
if ! scripts/wine32.sh installed &&
   { dpkg --print-foreign-architectures | grep -x i386 >/dev/null || [ "${OXNET_TRY_WINE32:-0}" = 1 ]; }; then
  scripts/wine32.sh install package || true
fi
if scripts/wine32.sh installed; then
  echo "== 32-bit tests (build-i686-tests)"
  rm -rf build-i686-tests
  cmake -S . -B build-i686-tests -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DOXNET_BENCH=OFF >/dev/null
  cmake --build build-i686-tests -- -j"$(nproc)"
  export WINEPREFIX=$top/build-i686-tests/wineprefix
  scripts/wine-services.sh start "$WINEPREFIX"
  if scripts/wine32.sh runs build-i686-tests/wine-run.sh build-i686-tests/bin/oxnet_base_tests.exe; then
    status=0
    ctest --test-dir build-i686-tests --output-on-failure --timeout 180 || status=$?
    win32_tests=$([ $status = 0 ] && echo passed || echo FAILED)
  else
    win32_tests="not run: 32-bit programs print nothing under this Wine"
  fi
  scripts/wine-services.sh stop "$WINEPREFIX"
else
  win32_tests="not run: no 32-bit Wine (wine32:i386) on this machine; set OXNET_TRY_WINE32=1 to let this script try to install it"
fi

echo
for arch in win64 win32; do
  echo "== $dist/oxnet-$version-$arch.zip"
  unzip -l "$dist/oxnet-$version-$arch.zip"
done
echo
echo "win64: built without warnings, zipped"
echo "win32: built without warnings, zipped; tests $win32_tests"
[ "$win32_tests" != FAILED ]
