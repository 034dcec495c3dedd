#!/bin/sh
# Usage: run_kit.sh KIT.zip BITS [OPTION...]
# The test kit as a Windows user gets it, with nothing of this project's
# Wine set-up: the ZIP unpacked into a fresh folder outside the build tree,
# a fresh Wine prefix (wineboot -i, the null graphics driver, and the server
# waited for: a prefix still starting up can fail the first window), and
# `wine cmd /c run-tests.cmd OPTION...` in the unpacked folder. First the kit
# must refuse to run beside a window of TARN's class and tell it nothing;
# then every row that runs must pass. BITS (32 or 64) is the kind of the
# kit's programs: where Wine cannot run 32-bit programs, a 32-bit kit is
# skipped with exit status 77 and the reason.
set -eu
# Debian's Wine runs without the preloader that keeps free the addresses Wine
# needs: the kernel puts the heap of its 64-bit loader (a fixed program at
# 0x7d000000) anywhere in the GiB above it, and about once in a thousand
# starts the heap covers the shared user data's place at 0x7ffe0000. That
# process then dies before it runs ("failed to map the shared user data:
# c0000018"): a program fails to start with Windows error 1359, or cmd.exe
# with start.exe's "Internal error". Without address randomization the heap
# starts right after the loader, far below: the whole run goes without it,
# where the host allows that.
if [ "$(cat /proc/self/personality 2>/dev/null)" = 00000000 ] &&
    setarch "$(uname -m)" -R true 2>/dev/null; then
    exec setarch "$(uname -m)" -R sh "$0" "$@"
fi
zip=$(cd "$(dirname "$1")" && pwd -P)/$(basename "$1")
bits=$2
shift 2
kit_name=$(basename "$zip" .zip)

fail() {
    echo "run_kit: $*" >&2
    exit 1
}

# "wine" starts the 32-bit loader first; where it cannot run, only the 64-bit
# loader can, and only 64-bit programs.
WINE=wine
if ! wine --version >/dev/null 2>&1; then
    if [ "$bits" = 32 ]; then
        echo "skipped: this host cannot run 32-bit programs ('wine --version' fails), so Wine cannot run the win32 kit" >&2
        exit 77
    fi
    WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnpost-kit.XXXXXX")
export WINEPREFIX="$work/prefix"
# Wine's own home, so nothing lands in the caller's; quiet; no Mono or Gecko
# prompts, no menu entries; no display, so only the null driver can serve.
export HOME="$work/home"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_STATE_HOME
mkdir -p "$HOME"

receiver=
# Every process of the prefix ends with its server, which must be gone before
# the folder is.
finish() {
    status=$?
    [ -z "$receiver" ] || kill "$receiver" 2>/dev/null || true
    wineserver -k </dev/null >/dev/null 2>&1 || true
    timeout 30 wineserver -w </dev/null >/dev/null 2>&1 || echo "run_kit: the wineserver outlived 'wineserver -k'" >&2
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT
trap 'exit 1' INT TERM

windows_path() {
    printf 'Z:%s' "$1" | tr / '\\'
}

# Wine's output goes to files: a process of the prefix that outlived its
# parent could otherwise hold the caller's pipe open.
started=$(date +%s)
timeout 300 "$WINE" wineboot -i </dev/null >"$work/wineboot.log" 2>&1 ||
    fail "wineboot -i failed: $(tail -5 "$work/wineboot.log")"
timeout 60 "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f \
    </dev/null >"$work/reg.log" 2>&1 || fail "cannot select the null graphics driver"
timeout 60 wineserver -w </dev/null >/dev/null 2>&1 || fail "the prefix's wineserver does not end"
# One session for the whole run, as on a user's machine: a server that stays
# until the end (finish ends it), and the desktop up before the first step.
# Debian's Wine otherwise ends its server as soon as a step's last program
# has ended, and every step starts a session of its own: its first programs
# then race the desktop's start-up, or reach a server that is still ending
# the last session, and a busy host loses such a process before it runs.
wineserver -p </dev/null >/dev/null 2>&1 || fail "cannot start the prefix's wineserver"
if ! timeout 120 "$WINE" wineboot </dev/null >"$work/session.log" 2>&1 ||
    ! timeout 120 "$WINE" rundll32.exe user32.dll,GetDesktopWindow </dev/null >>"$work/session.log" 2>&1; then
    fail "the prefix's services and desktop did not start: $(tail -5 "$work/session.log")"
fi
echo "run_kit: fresh prefix in $(($(date +%s) - started)) s"

# True when OUTPUT is all that start.exe says when Wine lost the cmd.exe it
# started before cmd ran: Wine then hands the command to start.exe, which
# reports the failure as "Internal error" (Windows error 1359).
lost_before_it_ran() {
    tr -d '\r' <"$1" | grep -q '^ShellExecuteEx failed: Internal error' &&
        ! tr -d '\r' <"$1" | grep -q -v -e '^ShellExecuteEx failed: Internal error' -e '^$' \
            -e '^Application could not be started, or no application associated'
}

# run_tests OUTPUT LIMIT OPTION...: `wine cmd /c run-tests.cmd OPTION...` in
# the kit's folder, its output in OUTPUT and its exit status in $status.
# Lost before it ran, nothing of the kit ran: only then is it run again, at
# most twice, each time counted in $lost_starts.
lost_starts=0
run_tests() {
    output=$1
    limit=$2
    shift 2
    for attempt in 1 2 3; do
        status=0
        timeout "$limit" "$WINE" cmd /c run-tests.cmd "$@" </dev/null >"$output" 2>&1 || status=$?
        if [ "$attempt" -eq 3 ] || ! lost_before_it_ran "$output"; then
            return 0
        fi
        lost_starts=$((lost_starts + 1))
        echo "run_kit: Wine lost cmd.exe before it ran (ShellExecuteEx: Internal error); once more"
    done
}

(cd "$work" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"
kit="$work/$kit_name"
[ -f "$kit/run-tests.cmd" ] || fail "$zip holds no $kit_name/run-tests.cmd"
cd "$kit"

# A window of TARN's class exists: the kit must not start a row, and says
# whether it found TARN or a stand-in. tarn-receiver.exe --title TARN passes
# for TARN itself, which --stop must leave alone; told once (by a tarnpost
# that writes where it does not look), it ends.
# refusal_beside [OPTION...]: the kit run beside a stand-in started with OPTION...
refusal_beside() {
    rm -rf "$work/record" "$work/ready" && mkdir "$work/record"
    timeout 120 "$WINE" tarn-receiver.exe --dir "$(windows_path "$work")" "$@" \
        --record "$(windows_path "$work/record")" --ready "$(windows_path "$work/ready")" \
        </dev/null >"$work/receiver.out" 2>&1 &
    receiver=$!
    waited=0
    while [ ! -e "$work/ready" ]; do
        kill -0 "$receiver" 2>/dev/null || fail "the stand-in did not start: $(cat "$work/receiver.out")"
        [ "$waited" -lt 600 ] || fail "the stand-in's window did not come up in 60 s"
        sleep 0.1
        waited=$((waited + 1))
    done
    run_tests "$work/refused.out" 120
    refused=$status
    stopped=0
    timeout 60 "$WINE" tarn-receiver.exe --stop </dev/null >/dev/null 2>&1 || stopped=$?
}
refusal_beside --title TARN --count 1
[ "$stopped" -eq 1 ] && kill -0 "$receiver" 2>/dev/null ||
    fail "tarn-receiver.exe --stop closed a window that was not a stand-in's (exit $stopped)"
timeout 60 "$WINE" tarnpost.exe "the end" </dev/null >/dev/null 2>&1 || fail "TARN was not told"
wait "$receiver" || true
receiver=
if [ "$refused" -ne 2 ] || ! grep -q "not run: a window of class AfxTarnAppClassName exists: TARN is running" "$work/refused.out" ||
    ! grep -q "stopped after 1 notifications" "$work/receiver.out"; then
    cat "$work/refused.out" "$work/receiver.out" >&2
    fail "beside TARN the kit exited $refused, not 2 with its reason, or told TARN"
fi
echo "run_kit: beside TARN the kit refuses: $(grep 'not run' "$work/refused.out" | tr -d '\r')"
refusal_beside
wait "$receiver" || true
receiver=
if [ "$refused" -ne 2 ] || ! grep -q "not run: a window of class AfxTarnAppClassName exists: a stand-in is running" "$work/refused.out" ||
    [ -n "$(ls -A "$work/record")" ] || ! grep -q "stopped after 0 notifications" "$work/receiver.out"; then
    cat "$work/refused.out" "$work/receiver.out" >&2
    fail "beside a stand-in the kit exited $refused, not 2 with its reason, or told it"
fi
echo "run_kit: beside a stand-in the kit refuses: $(grep 'not run' "$work/refused.out" | tr -d '\r')"

# Without being told the places may be written, the rows whose file lies
# outside their scratch folder skip, and nothing lands there.
outside='Directories/*/WindowsDirectory*:Directories/*/DriveLetterAlone:Faults/*/DiskFullWhileWriting:Faults/*/MessageFileLinksToADevice'
run_tests "$work/outside.out" 120 "--gtest_filter=$outside"
summary=$(tr -d '\r' <"$work/outside.out" | tail -n 1)
if [ "$status" -ne 0 ] || [ "$summary" != "behaviour: 0 passed, 0 failed, 6 skipped" ] ||
    [ -e "$WINEPREFIX/drive_c/windows/TARN_Message.txt" ] || [ -e "$WINEPREFIX/drive_c/TARN_Message.txt" ]; then
    tr -d '\r' <"$work/outside.out" >&2
    fail "without --system-folders and --full-disk the rows outside the scratch folder did not all skip"
fi
echo "run_kit: without options the rows outside the scratch folder skip: $summary"

started=$(date +%s)
run_tests "$work/kit.out" 900 "--gtest_output=xml:$(windows_path "$work/report.xml")" "$@"
tr -d '\r' <"$work/kit.out"
summary=$(tr -d '\r' <"$work/kit.out" | tail -n 1)
echo "run_kit: $kit_name ran in $(($(date +%s) - started)) s, exit status $status"
lost_in_rows=$(tr -d '\r' <"$work/kit.out" | sed -n 's/^behaviour: \([0-9]*\) program starts made again.*/\1/p')
echo "run_kit: starts made again because Wine lost the new process: $lost_starts of cmd.exe, ${lost_in_rows:-0} in the rows"
echo "$summary" | grep -Eq '^behaviour: [0-9]+ passed, 0 failed, [0-9]+ skipped$' ||
    fail "the kit did not end with a summary of no failures"
[ "$status" -eq 0 ] || fail "the kit exited $status"
[ -s "$work/report.xml" ] || fail "the kit wrote no XML report"
grep -q '<property name="stderr" value="tarnpost: Program TARN ended while handling the message' \
    "$work/report.xml" || fail "the report does not record which line the dying TARN gave"
# Its scratch folder under %TEMP% is gone.
leftover=$(find "$WINEPREFIX/drive_c/users" -maxdepth 4 -name 'tarnpost-*' -print -quit)
if [ -n "$leftover" ]; then
    find "$leftover" >&2
    fail "the kit left $leftover behind"
fi
