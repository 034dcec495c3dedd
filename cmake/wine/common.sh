# Sourced by the scripts beside it: the settings every Wine run of this
# project uses. Headless, quiet, and never the user's own ~/.wine.

# Every Wine process of these scripts starts without address randomization,
# where the host allows it: the script runs itself again under setarch -R,
# and what it starts inherits that. Debian's Wine has no preloader to keep
# free the addresses Wine needs; the kernel puts the heap of its 64-bit
# loader (a fixed program at 0x7d000000) anywhere in the GiB above it, and
# about once in a thousand starts the heap covers 0x7ffe0000, where Wine maps
# the shared user data. That process dies before the program runs ("failed
# to map the shared user data: c0000018", Windows error 1359 for the one
# that started it). Without randomization the heap starts right after the
# loader, far below.
# Only a script run as a file can run itself again; sourced by "sh -c", as
# bench/run asks which loader serves, $0 names no file.
if [ -f "$0" ] && [ "$(cat /proc/self/personality 2>/dev/null)" = 00000000 ] &&
    setarch "$(uname -m)" -R true 2>/dev/null; then
    exec setarch "$(uname -m)" -R sh "$0" "$@"
fi

# The exit status of a script that cannot do its work on this host at all;
# the build's CTest entries take it as "skipped".
WINE_SKIP_STATUS=77

# The Wine loader every script uses. "wine" starts the 32-bit loader first
# (which then hands 64-bit programs on); a host that cannot execute 32-bit
# programs fails there at once, and gets the 64-bit loader instead, which
# runs 64-bit Windows programs only. Asking each loader for its version is
# enough to tell, and costs a few milliseconds. When neither runs, "wine"
# stays, so that its own error is the one shown.
choose_wine_loader() {
    WINE=wine
    WINE_RUNS_32_BIT=yes
    if "$WINE" --version >/dev/null 2>&1 || ! command -v wine >/dev/null 2>&1; then
        return 0
    fi
    for loader in wine64 /usr/lib/wine/wine64; do
        if command -v "$loader" >/dev/null 2>&1 && "$loader" --version >/dev/null 2>&1; then
            WINE=$loader
            WINE_RUNS_32_BIT=no
            return 0
        fi
    done
}
choose_wine_loader

# require_program_bits BITS: ends the script with WINE_SKIP_STATUS and a
# one-line reason when the Windows programs it is to run are BITS-bit and
# Wine cannot run such programs here. An empty BITS asks for nothing.
require_program_bits() {
    case "${1:-}" in
        "" | 64) ;;
        32)
            if [ "$WINE_RUNS_32_BIT" = no ]; then
                echo "skipped: this host cannot run 32-bit programs ('wine --version' fails where '$WINE --version' runs), so Wine cannot run the win32 build" >&2
                exit "$WINE_SKIP_STATUS"
            fi
            ;;
        *)
            echo "wine: --bits takes 32 or 64, not '$1'" >&2
            exit 2
            ;;
    esac
}

# use_wine_prefix DIR: selects DIR (made absolute) as WINEPREFIX.
use_wine_prefix() {
    if [ -z "${1:-}" ]; then
        echo "wine: no prefix given (pass --prefix DIR or set WINEPREFIX)" >&2
        exit 2
    fi
    mkdir -p "$1"
    WINEPREFIX=$(cd "$1" && pwd -P)
    export WINEPREFIX
    # No debug channels; no Mono or Gecko download prompts; no desktop menu
    # entries written into the host's home.
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    # The prefix uses Wine's null graphics driver, so no display is needed
    # and none must be picked up from the caller.
    unset DISPLAY WAYLAND_DISPLAY
    # Wine links the profile's Desktop, Documents, ... to the Unix home and
    # reads and writes other things below it: Wine gets a home of its own
    # inside the prefix, so no run touches the user's.
    HOME="$WINEPREFIX/home"
    export HOME
    unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_STATE_HOME
    mkdir -p "$HOME"
    WINE_READY_STAMP="$WINEPREFIX/.tarnpost-prefix-ready"
}

# The line a ready prefix records; a new Wine version, a prefix made before
# its folders were kept inside it, or one made by the 64-bit loader alone
# (without the 32-bit side) for a host that runs both, refreshes the prefix.
wine_ready_text() {
    only_64_bit=
    [ "$WINE_RUNS_32_BIT" = yes ] || only_64_bit=" loader=64-bit-only"
    printf '%s graphics=null folders=inside%s\n' "$("$WINE" --version)" "$only_64_bit"
}

# Makes every folder of the Windows profiles that Wine linked into the Unix
# home (Desktop, Documents, ...) a plain directory inside the prefix. A prefix
# made with the user's own home keeps such links until this is done.
keep_profile_folders_inside() {
    for link in "$WINEPREFIX"/drive_c/users/*/*; do
        if [ -L "$link" ]; then
            rm -f "$link"
            mkdir "$link"
        fi
    done
}

# Brings up the prefix's services (services.exe, winedevice, ...) and its
# desktop process (explorer.exe /desktop, which the first window of a session
# would otherwise start) detached from the caller's streams. Started from
# inside a program, they would inherit its output and, living as long as the
# wineserver, hold a test's pipe open and keep CTest (or CI) waiting.
start_wine_session_processes() {
    "$WINE" wineboot </dev/null >/dev/null 2>&1
    "$WINE" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
}

# Starts the prefix's wineserver for good (until prefix-down.sh) unless it
# runs already; a new server gets its session processes at once.
start_persistent_wineserver() {
    if wineserver -p </dev/null >/dev/null 2>&1; then
        start_wine_session_processes
    fi
}

# True when the wineserver of the prefix (WINEPREFIX) has ended, or ends
# within $1 seconds: 'wineserver -w' returns once the server's lock is free,
# which a live server holds for as long as it runs. On Debian it makes the
# server's directory anew when there is none, so it comes before that
# directory is removed.
wineserver_ended() {
    timeout "$1" wineserver -w </dev/null >/dev/null 2>&1
}

# Prints the directories the wineserver of prefix $1 may keep its socket and
# lock in, one a line: Wine names it after the device and inode of the prefix
# directory, under /tmp/.wine-<uid>; Debian's Wine puts it under a private
# directory made with mkdtemp instead, whose name the prefix keeps in its
# file "wineserver" (relative to $TMPDIR, else /tmp).
wineserver_directories() {
    device=$(stat -c %d "$1") || return 0
    inode=$(stat -c %i "$1") || return 0
    server=$(printf 'server-%x-%x' "$device" "$inode")
    if [ -f "$1/wineserver" ]; then
        base=$(cat "$1/wineserver")
        case "$base" in
            */* | *[!A-Za-z0-9_-]*) ;;
            wine-?*) echo "${TMPDIR:-/tmp}/$base/$server" ;;
        esac
    fi
    echo "/tmp/.wine-$(id -u)/$server"
}

# True when directory $1 is ours: a real directory (no link), owned by us.
owned_directory() {
    [ -d "$1" ] && [ ! -L "$1" ] && [ "$(stat -c %u "$1")" = "$(id -u)" ]
}

# Removes wineserver directory $1 of a server that has ended (see
# wineserver_ended): only when it is ours and holds nothing but the "lock"
# file the server leaves behind; then its parent, when that is ours and
# empty. Anything else there means a live or foreign server, and all is left
# as it is.
remove_wineserver_directory() {
    owned_directory "$1" || return 0
    if [ -n "$(find "$1" -mindepth 1 ! -path "$1/lock" -print -quit)" ]; then
        return 0
    fi
    if [ -e "$1/lock" ]; then
        if [ -L "$1/lock" ] || [ ! -f "$1/lock" ]; then
            return 0
        fi
        rm -f "$1/lock"
    fi
    rmdir "$1" 2>/dev/null || return 0
    parent=$(dirname "$1")
    if owned_directory "$parent"; then
        rmdir "$parent" 2>/dev/null || true
    fi
}
