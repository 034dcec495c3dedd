#!/bin/sh
# Usage: prefix-down.sh PREFIX
# Ends the prefix's wineserver and with it every Windows process of the
# prefix, then fails loudly if any process of the prefix is still alive:
# a lingering one can hold CI's output open. Survivors are listed and killed.
# The directory the server kept its socket in goes too, so that no run
# leaves anything behind in /tmp.
set -eu
. "$(dirname "$0")/common.sh"
use_wine_prefix "${1:-${WINEPREFIX:-}}"

wineserver -k </dev/null >/dev/null 2>&1 || true
prefix=$WINEPREFIX
unset WINEPREFIX

waited=0
while [ -n "$(wine_prefix_processes "$prefix")" ] && [ $waited -lt 100 ]; do
    sleep 0.1
    waited=$((waited + 1))
done
survivors=$(wine_prefix_processes "$prefix")
if [ -n "$survivors" ]; then
    echo "prefix-down: processes of $prefix outlived 'wineserver -k':" >&2
    echo "$survivors" >&2
    echo "$survivors" | while read -r pid _; do
        kill -KILL "$pid" 2>/dev/null || true
    done
fi

# Once its directory is gone, the prefix forgets its name too: the next
# server then makes a fresh private one instead of re-making a name that is
# known in the shared /tmp.
wineserver_directories "$prefix" | while read -r directory; do
    remove_wineserver_directory "$directory"
done
if [ -f "$prefix/wineserver" ] && ! [ -d "${TMPDIR:-/tmp}/$(cat "$prefix/wineserver")" ]; then
    rm -f "$prefix/wineserver"
fi

[ -z "$survivors" ]
