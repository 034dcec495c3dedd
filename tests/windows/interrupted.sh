#!/bin/sh
# Usage: interrupted.sh PREFIX BITS TARNPOST.exe TARN-RECEIVER.exe
# A Ctrl+C that reaches tarnpost while it waits for TARN's reply must end it
# as Windows' own handler does, with STATUS_CONTROL_C_EXIT (0xC000013A, of
# which a Unix parent sees the low byte, 58): Wine's default handler ends a
# program with status 0, which a caller would take for a delivery. Wine
# makes a Ctrl+C of a SIGINT sent to a program's process, which is how this
# sends one. The stand-in Receiver is busy before it reads the file;
# tarnpost must be gone before it has read it. Its notification stays in
# the window's queue, so the delivery after it must let TARN read the first
# message before it rewrites the file: each is read once.
set -eu
scripts=$(cd "$(dirname "$0")/../../cmake/wine" && pwd)
prefix=$1
bits=$2
tarnpost=$3
receiver=$4
replyAfterMs=8000

work=$(mktemp -d)
receiver_pid=
cleanup() {
    [ -z "$receiver_pid" ] || wait "$receiver_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

windows_path() {
    printf 'Z:%s' "$1" | tr / '\\'
}

# The process of the Windows program tarnpost.exe whose arguments hold $1.
# It is not always the one started here: the 32-bit loader hands a 64-bit
# program to a process of its own. Wine names the program first, by its Unix
# or its Windows path.
tarnpost_process() {
    for entry in /proc/[0-9]*; do
        arguments=$(tr '\0' '\n' <"$entry/cmdline" 2>/dev/null) || continue
        case "$(printf '%s\n' "$arguments" | head -n 1)" in
            */tarnpost.exe | *\\tarnpost.exe) ;;
            *) continue ;;
        esac
        if printf '%s\n' "$arguments" | grep -qxF "$1"; then
            echo "${entry#/proc/}"
        fi
    done
}

mkdir "$work/record"
# Where 32-bit programs cannot run, run.sh says so and exits 77 (skipped).
"$scripts/run.sh" --prefix "$prefix" --bits "$bits" "$receiver" --count 2 \
    --delay "$replyAfterMs" --ready "$(windows_path "$work/ready")" \
    --record "$(windows_path "$work/record")" >"$work/receiver" 2>&1 &
receiver_pid=$!
for _ in $(seq 600); do
    [ -e "$work/ready" ] && break
    if ! kill -0 "$receiver_pid" 2>/dev/null; then
        status=0
        wait "$receiver_pid" || status=$?
        receiver_pid=
        [ "$status" -eq 77 ] && exit 77
        echo "the stand-in Receiver ended (status $status) before it was ready:" >&2
        cat "$work/receiver" >&2
        exit 1
    fi
    sleep 0.1
done

message="interrupted while TARN is busy ($$)"
"$scripts/run.sh" --prefix "$prefix" --bits "$bits" "$tarnpost" "$message" \
    >"$work/out" 2>"$work/err" &
started=$!
# Once TARN is busy with the message, tarnpost has told it and waits.
for _ in $(seq 1200); do
    grep -q "TARN busy" "$work/receiver" && break
    sleep 0.05
done
program=$(tarnpost_process "$message")
if [ -z "$program" ]; then
    echo "no process of tarnpost.exe found" >&2
    exit 1
fi
kill -INT $program
status=0
wait "$started" || status=$?
replied=$(grep -c '^TARN message 1 ' "$work/receiver" || true)

echo "tarnpost ended with status $status, TARN having read $replied messages; stdout '$(cat "$work/out")', stderr '$(cat "$work/err")'"
if [ "$status" -ne 58 ] || [ "$replied" -ne 0 ] || [ -s "$work/out" ] || [ -s "$work/err" ]; then
    echo "expected status 58 (0xC000013A) while TARN was still busy, and nothing printed" >&2
    exit 1
fi

status=0
"$scripts/run.sh" --prefix "$prefix" --bits "$bits" "$tarnpost" "the next one" \
    >"$work/out" 2>"$work/err" || status=$?
wait "$receiver_pid" || true
receiver_pid=
read_back=$(cat "$work/record/000001.msg" "$work/record/000002.msg" 2>/dev/null | tr -d '\r')
echo "the next delivery ended with status $status; TARN read: $read_back"
if [ "$status" -ne 0 ] || [ "$read_back" != "$(printf '%s\n%s' "$message" "the next one")" ]; then
    echo "expected status 0 and each message read once, in order" >&2
    cat "$work/receiver" "$work/err" >&2
    exit 1
fi
