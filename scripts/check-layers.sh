#!/usr/bin/env bash
# The layers of net/: core/ includes nothing of the folders above it; each of
# iocp/, async/, select/, replay/ and container/ includes only core/, the base
# library and itself (its own headers by plain name). Exit 1 names each breach.
set -uo pipefail
net=${1:-$(dirname "$0")/../net}
layers="core iocp async select replay container"
bad=0
for layer in $layers; do
  for f in "$net/$layer"/*.cpp "$net/$layer"/*.h; do
    [ -e "$f" ] || continue
    while IFS= read -r inc; do
      case "$inc" in
        core/*) [ "$layer" != core ] || { echo "$f: core includes $inc"; bad=1; } ;;
        */*) echo "$f: includes $inc (another layer)"; bad=1 ;;
        ISocketMgr.h) ;;
        VZ_NetworkEx.h) [ "$layer" = container ] || { echo "$f: includes $inc"; bad=1; } ;;
        *) [ -e "$net/$layer/$inc" ] || [ ! -e "$net/$inc" ] || { echo "$f: includes $inc of net/"; bad=1; } ;;
      esac
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$f")
  done
done
[ $bad = 0 ] && echo "layers: every include stays within its layer"
exit $bad
