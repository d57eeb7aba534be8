#!/usr/bin/env bash
# Wine's 32-bit loader (wine32:i386), which the 32-bit test suite needs; wine64
# alone runs a 32-bit program as nothing at all (no output, exit code 0).
#   scripts/wine32.sh installed         exit 0 when wine32:i386 is installed
#   scripts/wine32.sh install WHO       adds the i386 architecture and installs it;
#                                       when that fails, prints one line (starting
#                                       "WHO:") saying why, puts apt back as it was
#                                       and exits 1
#   scripts/wine32.sh runs RUNNER EXE   exit 0 when the 32-bit GoogleTest program
#                                       EXE lists its tests through RUNNER
set -euo pipefail

installed() { dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep "ok installed" >/dev/null; }
has_i386() { dpkg --print-foreign-architectures | grep -x i386 >/dev/null; }

# Undoes an architecture this script added: an i386 index that cannot be used
# would make every later apt-get update fail.
undo_i386() {
  local left
  left=$(dpkg-query -W -f='${Package}:${Architecture}\n' 2>/dev/null | grep ':i386$' || true)
  # shellcheck disable=SC2086 # one package a word
  [ -z "$left" ] || DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -y -qq $left >/dev/null 2>&1 || true
  $SUDO dpkg --remove-architecture i386 || true
  $SUDO apt-get update -qq >/dev/null 2>&1 || true
}

install() {
  local who=$1 added=0 log why
  installed && return 0
  echo "$who: installing the 32-bit Wine (wine32:i386)"
  has_i386 || { $SUDO dpkg --add-architecture i386; added=1; }
  log=$(mktemp)
  if $SUDO apt-get update -qq >"$log" 2>&1 &&
     DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends wine32:i386 >>"$log" 2>&1 &&
     installed; then
    rm -f "$log"
    return 0
  fi
  why=$(grep -E '^(E|W):' "$log" | tail -n 1 || true)
  [ -n "$why" ] || why=$(tail -n 1 "$log")
  rm -f "$log"
  echo "$who: the 32-bit suite will not be run: wine32:i386 could not be installed (${why:-apt-get failed})"
  [ $added = 0 ] || undo_i386
  return 1
}

SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
case "$1" in
  installed) installed ;;
  install) install "$2" ;;
  # A program that ran prints its list; an exit code of 0 alone proves nothing.
  runs) "$2" "$3" --gtest_list_tests 2>/dev/null | grep . >/dev/null ;;
  *) echo "usage: $0 installed | install WHO | runs RUNNER EXE" >&2; exit 2 ;;
esac
