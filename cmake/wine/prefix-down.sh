#!/bin/sh
# Usage: prefix-down.sh PREFIX
# Ends the prefix's wineserver and with it every Windows process of the
# prefix, then fails loudly if anything of the prefix survived: a lingering
# process can hold CI's output open. The directory the server kept its
# socket in goes too, so that no run leaves anything behind in /tmp.
set -eu
. "$(dirname "$0")/common.sh"
use_wine_prefix "${1:-${WINEPREFIX:-}}"

# 'wineserver -k' ends every process the server knows and then the server.
# A server still up after a bounded wait, or up again a moment later
# (started by a process that was not yet known to the first one), means a
# survivor: it gets one more 'wineserver -k', and the script fails.
wineserver -k </dev/null >/dev/null 2>&1 || true
survived=
if ! wineserver_ended 15; then
    survived="still runs 15 s after 'wineserver -k'"
elif sleep 0.5 && ! wineserver_ended 1; then
    survived="was started again after 'wineserver -k'"
fi
if [ -n "$survived" ]; then
    echo "prefix-down: the wineserver of $WINEPREFIX $survived: a process of the prefix survived" >&2
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver_ended 15 || echo "prefix-down: and it outlived a second 'wineserver -k'" >&2
fi

# Once its directory is gone, the prefix forgets its name too: the next
# server then makes a fresh private one instead of re-making a name that is
# known in the shared /tmp.
if wineserver_ended 1; then
    wineserver_directories "$WINEPREFIX" | while read -r directory; do
        remove_wineserver_directory "$directory"
    done
    if [ -f "$WINEPREFIX/wineserver" ] &&
        ! [ -d "${TMPDIR:-/tmp}/$(cat "$WINEPREFIX/wineserver")" ]; then
        rm -f "$WINEPREFIX/wineserver"
    fi
fi

[ -z "$survived" ]
