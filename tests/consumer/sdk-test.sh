#!/usr/bin/env bash
# The SDK tests' steps, run by ctest (cmake/SdkTests.cmake):
#   sdk-test.sh install BUILD PREFIX            fresh install of BUILD into PREFIX
#   sdk-test.sh check PREFIX VERSION SRC        the install tree's layout and contents
#   sdk-test.sh build PREFIX BINDIR GENERATOR [TOOLCHAIN]
#                                               this host project, configured and
#                                               built from a clean BINDIR against PREFIX
#   sdk-test.sh pkgbuild PREFIX BINDIR CXX      the same host built by CXX with the
#                                               flags of pkg-config --cflags --libs oxnet
#   sdk-test.sh run RUNNER EXE                  EXE under Wine: exit code 0 and its
#                                               closing line both needed
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
action=$1
shift

fail() { echo "FAIL: $*"; exit 1; }

case "$action" in
install)
  build=$1 prefix=$2
  rm -rf "$prefix"
  cmake --install "$build" --prefix "$prefix"
  ;;

check)
  prefix=$1 version=$2 src=$3
  want="include/oxnet/ISocketMgr.h lib/oxnet.lib lib/liboxnet.dll.a bin/oxnet.dll bin/oxrecdump.exe bin/oxsocks.exe
        lib/cmake/oxnet/oxnetConfig.cmake lib/cmake/oxnet/oxnetConfigVersion.cmake lib/pkgconfig/oxnet.pc
        share/doc/oxnet/README.md share/doc/oxnet/oxnet.ini"
  for f in $want; do
    [ -f "$prefix/$f" ] || fail "$f is missing from the install tree"
  done
  cmp -s "$prefix/lib/oxnet.lib" "$prefix/lib/liboxnet.dll.a" || fail "liboxnet.dll.a differs from oxnet.lib"
  cmp -s "$prefix/include/oxnet/ISocketMgr.h" "$src/net/ISocketMgr.h" || fail "the installed header differs from net/ISocketMgr.h"
  # Every page of docs/ present when installing went along.
  for doc in "$src"/docs/*.md; do
    [ -e "$doc" ] || continue
    cmp -s "$doc" "$prefix/share/doc/oxnet/$(basename "$doc")" || fail "docs/$(basename "$doc") is not installed"
  done
  # The sample oxnet.ini: CR LF lines (the reader splits at CR LF only) and
  # the simulator off.
  ini="$prefix/share/doc/oxnet/oxnet.ini"
  lines=$(wc -l <"$ini")
  crlf=$(grep -c $'\r$' "$ini" || true)
  [ "$lines" -gt 0 ] && [ "$crlf" = "$lines" ] || fail "oxnet.ini: $crlf of $lines lines end in CR LF"
  grep -qx $'simulator=0\r' "$ini" || fail "oxnet.ini does not keep the simulator off"
  grep -qx "Version: $version" "$prefix/lib/pkgconfig/oxnet.pc" || fail "oxnet.pc does not give version $version"
  grep -q "PACKAGE_VERSION \"$version\"" "$prefix/lib/cmake/oxnet/oxnetConfigVersion.cmake" ||
    fail "oxnetConfigVersion.cmake does not give version $version"
  # The DLL: five undecorated exports, system imports only, and a version
  # resource with this version (its strings are UTF-16).
  "$here/../../scripts/check-dll.sh" "$prefix/bin/oxnet.dll"
  strings -e l "$prefix/bin/oxnet.dll" >"$prefix.strings"
  for s in FileVersion ProductVersion ProductName oxnet "$version"; do
    grep -qx -- "$s" "$prefix.strings" || fail "oxnet.dll's version resource lacks \"$s\""
  done
  # The fixed part, which the loader reads: after its signature FEEF04BD come
  # the structure version, then the file version's high and low DWORDs
  # (little-endian: minor, major, then -, patch).
  at=$(LC_ALL=C grep -m 1 -obUaP '\xBD\x04\xEF\xFE' "$prefix/bin/oxnet.dll" | cut -d: -f1 || true)
  read -r -a b <<<"$(od -An -tx1 -v -j $((${at:-0} + 4)) -N 12 "$prefix/bin/oxnet.dll")"
  [ -n "$at" ] && [ ${#b[@]} = 12 ] || fail "oxnet.dll has no fixed version information"
  fixed=$((0x${b[7]}${b[6]})).$((0x${b[5]}${b[4]})).$((0x${b[11]}${b[10]}))
  [ "$fixed" = "$version" ] || fail "oxnet.dll's fixed file version is $fixed, not $version"
  echo "install tree of oxnet $version complete:"
  (cd "$prefix" && find . -type f | sort | sed 's|^\./|  |')
  ;;

build)
  prefix=$1 bindir=$2 generator=$3 toolchain=${4:-}
  rm -rf "$bindir"
  args=(-S "$here" -B "$bindir" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release
        -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON)
  [ -n "$toolchain" ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
  cmake "${args[@]}" --log-level=VERBOSE >"$bindir.configure.log" 2>&1 || { cat "$bindir.configure.log"; fail "configure"; }
  cmake --build "$bindir" || fail "build"
  # The package must be the installed one, not one from anywhere else.
  found=$(sed -n 's/^oxnet_DIR:PATH=//p' "$bindir/CMakeCache.txt")
  [ "$found" = "$prefix/lib/cmake/oxnet" ] || fail "oxnet found in '$found', not in $prefix/lib/cmake/oxnet"
  [ -f "$bindir/oxnet.dll" ] || fail "oxnet.dll was not copied beside host.exe"
  echo "host built against $found"
  ;;

pkgbuild)
  prefix=$1 bindir=$2 cxx=$3
  rm -rf "$bindir"
  mkdir -p "$bindir"
  command -v pkg-config >/dev/null 2>&1 || fail "pkg-config not found (scripts/setup.sh installs it)"
  export PKG_CONFIG_PATH="$prefix/lib/pkgconfig" PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig"
  flags=$(pkg-config --cflags --libs oxnet) || fail "pkg-config does not know oxnet"
  echo "pkg-config --cflags --libs oxnet: $flags"
  # -static: the host takes the compiler's runtime in, so it needs only oxnet.dll.
  # shellcheck disable=SC2086 # the flags are words
  "$cxx" -std=c++17 -O2 -Wall -Wextra -Werror "$here/host.cpp" $flags -static -o "$bindir/host.exe" ||
    fail "build with pkg-config's flags"
  cp "$prefix/bin/oxnet.dll" "$bindir/"
  ;;

run)
  runner=$1 exe=$2
  rc=0
  out=$("$runner" "$exe" 2>&1) || rc=$?
  echo "$out"
  [ $rc = 0 ] || fail "$(basename "$exe") exited with $rc"
  # A program that never ran can exit 0 under Wine too: its last line counts.
  echo "$out" | tr -d '\r' | tail -n 1 | grep -qx "consumer: passed" || fail "$(basename "$exe") did not finish"
  ;;

*)
  fail "unknown action $action"
  ;;
esac
