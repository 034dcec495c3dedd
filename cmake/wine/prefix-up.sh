#!/bin/sh
# Usage: prefix-up.sh [--bits 32|64] PREFIX
# Makes PREFIX a Wine prefix for headless runs (null graphics driver, no
# display, quiet) and leaves its wineserver running until prefix-down.sh.
# A prefix made before by the same Wine is reused in a fraction of a second.
# --bits names the kind of Windows programs the prefix is for: when Wine
# cannot run them on this host, nothing is made and the exit status is 77.
set -eu
. "$(dirname "$0")/common.sh"
if [ "${1:-}" = --bits ]; then
    require_program_bits "${2:-}"
    shift 2
fi
use_wine_prefix "${1:-${WINEPREFIX:-}}"

if [ -f "$WINE_READY_STAMP" ] && [ "$(cat "$WINE_READY_STAMP")" = "$(wine_ready_text)" ]; then
    wineserver -p </dev/null >/dev/null 2>&1 || true
    start_wine_session_processes
    exit 0
fi

rm -f "$WINE_READY_STAMP"
started=$(date +%s)
if [ -f "$WINEPREFIX/system.reg" ]; then
    boot=-u  # made by another Wine version: bring it up to date
else
    boot=-i
fi
echo "prefix-up: preparing Wine prefix $WINEPREFIX (wineboot $boot)"
"$WINE" wineboot "$boot" </dev/null >"$WINEPREFIX/wineboot.log" 2>&1
"$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f \
    </dev/null >/dev/null 2>&1
if ! "$WINE" reg query 'HKCU\Software\Wine\Drivers' /v Graphics </dev/null 2>/dev/null |
    grep -q 'null'; then
    echo "prefix-up: could not select the null graphics driver in $WINEPREFIX" >&2
    exit 1
fi
keep_profile_folders_inside
# Writes the registry to disk now, so the stamp never outlives its contents.
wineserver -k </dev/null >/dev/null 2>&1 || true
wineserver -w </dev/null >/dev/null 2>&1 || true
wine_ready_text >"$WINE_READY_STAMP"
start_persistent_wineserver
echo "prefix-up: prefix ready in $(($(date +%s) - started)) s"
