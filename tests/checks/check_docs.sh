#!/bin/sh
# Holds the documents to the command they describe: each quotes the usage
# text byte for byte as PROGRAM prints it, and names the window class, the
# window message and the message file as PROTOCOL_HEADER defines them. The
# man page also renders without a single groff warning and shows the usage
# example again under EXAMPLES.
#
# The tests take the usage text from cli/usage.cpp itself; the documents are
# the one statement of it written independently, so a changed byte on either
# side fails here until the other follows.
# Usage: check_docs.sh PROGRAM PROTOCOL_HEADER MAN_PAGE README WINDOWS_README
set -eu
program=$1
header=$2
man_page=$3
readme=$4
windows_readme=$5

fail() {
    echo "$*" >&2
    exit 1
}

command -v groff >/dev/null 2>&1 || fail "groff not found: run .ci/install-deps checks"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The usage text as the command shows it: no argument, status 0, nothing on
# standard error.
status=0
"$program" >"$scratch/usage" 2>"$scratch/stderr" || status=$?
[ "$status" -eq 0 ] || fail "$program without an argument exited $status"
[ ! -s "$scratch/stderr" ] ||
    fail "$program without an argument wrote to stderr: $(cat "$scratch/stderr")"
[ -s "$scratch/usage" ] || fail "$program without an argument printed nothing"

# quotes_usage TEXT DOCUMENT: TEXT, DOCUMENT as a reader sees it, quotes the
# usage text whole. The quote starts at the first line that is "Syntax:"
# after its indent and ends before a line that is less indented or closes a
# Markdown code block; that indent is taken off its lines, and the empty
# lines at its end are not part of it.
quotes_usage() {
    awk '
        !found && /^ *Syntax:$/ { found = 1; indent = index($0, "S") - 1 }
        found {
            if ($0 ~ /^```/ || ($0 !~ /^ *$/ && substr($0, 1, indent) !~ /^ *$/)) exit
            quote[++count] = substr($0, indent + 1)
            if ($0 !~ /^ *$/) last = count
        }
        END { for (i = 1; i <= last; i++) print quote[i] }
    ' "$1" >"$scratch/quoted"
    if ! cmp -s "$scratch/quoted" "$scratch/usage"; then
        echo "the usage text quoted in $2 differs from the program's:" >&2
        diff "$scratch/usage" "$scratch/quoted" >&2 || true
        exit 1
    fi
}

# names TEXT DOCUMENT MACRO...: TEXT, DOCUMENT as a reader sees it, holds the
# value of each MACRO of the header (a text without its quotes, a number
# without its suffix).
names() {
    text=$1
    document=$2
    shift 2
    for macro in "$@"; do
        value=$(sed -n -e "s/^#define $macro \"\(.*\)\"\$/\1/p" \
            -e "s/^#define $macro \(0x[0-9A-Fa-f]*\)u\$/\1/p" "$header")
        [ -n "$value" ] || fail "$header defines no $macro"
        grep -qwF -- "$value" "$text" || fail "$document does not name $value ($macro)"
    done
}

# -ww: every warning category. groff exits 0 even when it warns, so any
# output at all is the failure.
warnings=$(groff -man -Tutf8 -ww -z "$man_page" 2>&1) ||
    fail "groff failed on $man_page: $warnings"
[ -z "$warnings" ] || fail "groff warns about $man_page: $warnings"

# Plain ASCII, no bold or underline sequences, so lines compare as text.
rendered=$scratch/man-page.txt
groff -man -Tascii -P-c -P-b -P-u "$man_page" >"$rendered"
quotes_usage "$rendered" "$man_page"
names "$rendered" "$man_page" TARN_CLASS_NAME TARN_MESSAGE_WAITING TARN_MESSAGE_FILE_NAME

# The usage example is also shown on its own under EXAMPLES.
example=$(tail -n 1 "$scratch/usage" | sed 's/^ *//')
count=$(sed 's/^ *//' "$rendered" | grep -cxF -- "$example" || true)
[ "$count" -ge 2 ] || fail "$man_page does not show the usage example under EXAMPLES: $example"

quotes_usage "$readme" "$readme"
names "$readme" "$readme" TARN_CLASS_NAME TARN_MESSAGE_WAITING TARN_MESSAGE_FILE_NAME

quotes_usage "$windows_readme" "$windows_readme"
names "$windows_readme" "$windows_readme" TARN_MESSAGE_FILE_NAME

echo "the man page and both READMEs quote the usage text and name what TARN expects"
