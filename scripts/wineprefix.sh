#!/usr/bin/env bash
# Makes a Wine prefix for headless tests, once: scripts/wineprefix.sh DIR [--start]
# Null graphics driver (hidden windows and message loops work without X) and
# no crash debugger (a crash ends the process instead of waiting forever).
# One win64 prefix runs 64-bit and, with wine32 installed, 32-bit programs.
#
# --start also starts the prefix's wineserver and services, detached from the
# caller's output pipes (started from inside a test they would inherit
# ctest's pipe and hang it), and so checks that the prefix still starts a
# program. A prefix made before wine32 was installed starts none, 64-bit ones
# included ("could not load kernel32.dll", exit code 53), and no update
# repairs it: such a prefix is made anew, as is one made with other settings
# than these (an older version of this script).
set -euo pipefail
prefix=$1
start=${2:-}
ready=$prefix/.oxnet-ready
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Starts the services (the first program does) and tells whether a program
# ran; what Wine said goes to $probe. A file, not a pipe: the services keep
# the first program's output open. They would keep the lock (fd 9) too.
probe=""
started() {
  [ -n "$probe" ] || probe=$(mktemp)
  wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
  wine cmd /c exit </dev/null >"$probe" 2>&1 9>&- || return 1
  desktop_up
}

# The desktop process (explorer.exe /desktop) serves every window a program
# makes. Started by a test, it would hold that test's stderr (ctest's pipe)
# until it ends, a second after its desktop's last user left; and a test
# starting while it closed down could find no desktop. A windowed program
# that waits (Notepad; no display is needed) keeps the desktop in use, so its
# process is started once, here, detached, and stays up with the wineserver.
desktop_up() {
  local p
  for p in $(pgrep -f 'notepad.exe' || true); do
    grep -qxz "WINEPREFIX=$WINEPREFIX" "/proc/$p/environ" 2>/dev/null && return 0
  done
  setsid wine notepad.exe </dev/null >/dev/null 2>&1 9>&- &
}
trap '[ -z "$probe" ] || rm -f "$probe"' EXIT

# The settings below, as .oxnet-ready records them; a prefix with others is
# made anew.
settings="graphics=null aedebug=off32,off64"
# Whether the prefix can be used as it is; if not, $why says why.
usable() {
  local have=""
  why=""
  [ -f "$ready" ] || { why=new; return 1; }
  if [ "$start" = --start ] && ! started; then
    why="cannot start a program ($(head -n 1 "$probe"))"
    return 1
  fi
  read -r have <"$ready" || true
  [ "$have" = "$settings" ] || { why="was made with other settings"; return 1; }
}

usable && exit 0
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
usable && exit 0 # made (anew) by another caller meanwhile
if [ "$why" != new ]; then
  echo "wine: prefix $prefix $why; making it anew" >&2
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
  rm -rf "$prefix"
fi
echo "wine: creating prefix $prefix" >&2
wineboot -i </dev/null >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
# Both registry views: with wine32 installed, "wine reg" is the 32-bit reg.exe,
# which alone would leave 64-bit programs with the debugger.
key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
for view in 32 64; do
  wine reg add "$key" /v Debugger /d '' /f /reg:$view </dev/null >/dev/null 2>&1
  wine reg add "$key" /v Auto /d 0 /f /reg:$view </dev/null >/dev/null 2>&1
done
wineserver -w </dev/null >/dev/null 2>&1 || true
echo "$settings" >"$ready"
[ "$start" = --start ] || exit 0
started || { echo "wine: the new prefix $prefix cannot start a program either: $(head -n 1 "$probe")" >&2; exit 1; }
