#!/bin/sh
# Usage: run.sh [--prefix PREFIX] [--bits 32|64] PROGRAM.exe [ARGUMENT...]
# Runs a Windows program under Wine in PREFIX (default: $WINEPREFIX), which is
# prepared first when it is not ready yet. The program's exit status is ours.
# --bits names the kind of program: when Wine cannot run it on this host, it
# is not started and the exit status is 77, with the reason on stderr.
# This is the build's CMAKE_CROSSCOMPILING_EMULATOR.
# The prefix's wineserver is kept running between programs (warm start-ups);
# end it with prefix-down.sh PREFIX when done.
set -eu
. "$(dirname "$0")/common.sh"
prefix=${WINEPREFIX:-}
if [ "${1:-}" = --prefix ]; then
    prefix=${2:-}
    shift 2
fi
bits=
if [ "${1:-}" = --bits ]; then
    bits=${2:-}
    shift 2
fi
require_program_bits "$bits"
use_wine_prefix "$prefix"
if [ $# -eq 0 ]; then
    echo "usage: run.sh [--prefix PREFIX] [--bits 32|64] PROGRAM.exe [ARGUMENT...]" >&2
    exit 2
fi
if [ -f "$WINE_READY_STAMP" ]; then
    start_persistent_wineserver
else
    "$(dirname "$0")/prefix-up.sh" "$WINEPREFIX" >&2
fi
exec "$WINE" "$@"
