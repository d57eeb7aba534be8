#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, once.
# Safe to run again: it only calls apt-get when a tool is missing.
# OXNET_WITH_32BIT=1 (scripts/test.sh) adds what the 32-bit suite needs: the
# i686 cross compiler and Wine's 32-bit loader (scripts/wine32.sh); when the
# loader cannot be installed, one line says so and the 64-bit suite still runs.
set -euo pipefail

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null 2>&1 || need+=(wine64 wine)
if [ "${OXNET_WITH_32BIT:-0}" = 1 ]; then
  command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-i686-posix)
fi
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
[ -f /usr/include/asio.hpp ] || need+=(libasio-dev) # standalone Asio, for the Asio echo server of bench/
# Clang lays out the interfaces for an MSVC and a MinGW target (tests/abi/).
command -v clang++ >/dev/null 2>&1 || need+=(clang)
command -v pkg-config >/dev/null 2>&1 || need+=(pkg-config) # the SDK test's pkg-config host
# Real clients of the example programs' tests: curl and python3 drive
# oxsocks, tshark opens what oxrecdump --pcap writes.
command -v curl >/dev/null 2>&1 || need+=(curl)
command -v python3 >/dev/null 2>&1 || need+=(python3)
command -v tshark >/dev/null 2>&1 || need+=(tshark)
# The proxy servers of the end-to-end proxy tests (scripts/proxies.sh);
# scripts/test.sh and scripts/demo.sh turn this on.
if [ "${OXNET_WITH_PROXIES:-0}" = 1 ]; then
  command -v danted >/dev/null 2>&1 || need+=(dante-server)
  command -v tinyproxy >/dev/null 2>&1 || need+=(tinyproxy)
  command -v microsocks >/dev/null 2>&1 || need+=(microsocks)
fi

if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

if [ "${OXNET_WITH_32BIT:-0}" = 1 ]; then
  "$(dirname "$0")/wine32.sh" install setup || true
fi
