#!/usr/bin/env bash
# Builds everything and runs the whole test suite under 64-bit Wine, then
# builds what the suite runs for 32-bit Windows and runs it again under
# 32-bit Wine. Without a 32-bit Wine (wine32:i386) one line says so and only
# the 64-bit suite runs. Ends with a line per architecture; exits non-zero
# when either suite fails. Extra arguments go to both ctest runs (for
# example -R Map). BUILD_DIR is the 64-bit tree (default build),
# BUILD_DIR_I686 the 32-bit one (default build-i686).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
abs() { case "$1" in /*) echo "$1" ;; *) echo "$top/$1" ;; esac; }
build64=$(abs "${BUILD_DIR:-build}")
build32=$(abs "${BUILD_DIR_I686:-build-i686}")
# The end-to-end proxy tests run against real proxy servers (see proxies.sh).
export OXNET_WITH_PROXIES=1
OXNET_WITH_32BIT=1 scripts/setup.sh

declare -A result
status=0

# suite ARCH BUILD [ctest args]: the whole suite of one tree; its result line
# is ctest's own summary and test time.
suite() {
  local arch=$1 build=$2 rc=0 summary took
  shift 2
  echo "== $arch suite ($build)"
  WINEPREFIX="$build/wineprefix" ctest --test-dir "$build" --output-on-failure --timeout 180 \
    --output-log "$build/ctest.log" "$@" || rc=$?
  # Leave no Wine server of this prefix behind, whatever ctest ran.
  WINEPREFIX="$build/wineprefix" wineserver -k </dev/null >/dev/null 2>&1 || true
  summary=$(grep -E '^[0-9]+% tests passed' "$build/ctest.log" | tail -n 1 || true)
  took=$(sed -n 's/^Total Test time (real) = *//p' "$build/ctest.log" | tail -n 1)
  result[$arch]="$([ $rc = 0 ] && echo passed || echo FAILED): ${summary:-no summary from ctest}${took:+, $took}"
  [ $rc = 0 ] || status=1
}

if BUILD_DIR="$build64" scripts/build.sh; then
  suite x86_64 "$build64" "$@"
else
  result[x86_64]="FAILED: the build failed"; status=1
fi

# setup.sh has said why when wine32 could not be installed.
if ! scripts/wine32.sh installed; then
  result[i686]="not run: no 32-bit Wine (wine32:i386 is not installed)"
# The soak runs shorter here, to keep this architecture's run as short as the
# first one's.
elif ! BUILD_DIR="$build32" OXNET_ARCH=i686 OXNET_CMAKE_OPTIONS="${OXNET_CMAKE_OPTIONS:-} -DOXNET_SOAK_SECONDS=2" \
       scripts/build.sh oxnet_test_programs; then
  result[i686]="FAILED: the build failed"; status=1
elif scripts/wine32.sh runs "$build32/wine-run.sh" "$build32/bin/oxnet_base_tests.exe"; then
  suite i686 "$build32" "$@"
else
  WINEPREFIX="$build32/wineprefix" wineserver -k </dev/null >/dev/null 2>&1 || true
  result[i686]="not run: 32-bit programs print nothing under this Wine"
  echo "test: the 32-bit suite will not be run: 32-bit programs print nothing under this Wine"
fi

echo
echo "x86_64 (64-bit Wine): ${result[x86_64]}"
echo "i686 (32-bit Wine): ${result[i686]}"
exit $status
