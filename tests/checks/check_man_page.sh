#!/bin/sh
# Checks a man page: groff renders it without a single warning, and the
# usage text it quotes is the program's usage text byte for byte, so the
# page cannot drift from the command.
# Usage: check_man_page.sh MAN_PAGE EXPECTED_USAGE
set -eu
page=$1
expected=$2

if ! command -v groff >/dev/null 2>&1; then
    echo "groff not found: run .ci/install-deps checks" >&2
    exit 1
fi

# -ww: every warning category. groff exits 0 even when it warns, so any
# output at all is the failure.
warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1) || {
    echo "groff failed on $page:" >&2
    printf '%s\n' "$warnings" >&2
    exit 1
}
if [ -n "$warnings" ]; then
    echo "groff warns about $page:" >&2
    printf '%s\n' "$warnings" >&2
    exit 1
fi

# Plain ASCII, no bold or underline sequences, so lines compare as text.
rendered=$(mktemp)
quoted=$(mktemp)
trap 'rm -f "$rendered" "$quoted"' EXIT
groff -man -Tascii -P-c -P-b -P-u "$page" >"$rendered"

# The quoted block starts at the first line that is "Syntax:" after its
# indent; that indent is taken off it and the lines that follow it.
lines=$(wc -l <"$expected")
awk -v lines="$lines" '
    !found && /^ *Syntax:$/ { found = 1; indent = index($0, "S") - 1 }
    found && taken < lines {
        line = $0
        if (substr(line, 1, indent) ~ /^ *$/) line = substr(line, indent + 1)
        print line
        taken++
    }
' "$rendered" >"$quoted"
if ! cmp -s "$quoted" "$expected"; then
    echo "the usage text quoted in $page differs from the program's:" >&2
    diff "$expected" "$quoted" >&2 || true
    exit 1
fi

# The usage example is also shown on its own under EXAMPLES.
example=$(tail -n 1 "$expected" | sed 's/^ *//')
count=$(sed 's/^ *//' "$rendered" | grep -cxF -- "$example" || true)
if [ "$count" -lt 2 ]; then
    echo "$page does not show the usage example under EXAMPLES: $example" >&2
    exit 1
fi
echo "$page renders cleanly and quotes the usage text exactly"
