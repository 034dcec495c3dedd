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
#
# Every text the product can print, taken from SOURCE... (the files the
# product is compiled from), stands word for word in all three documents,
# and the version they name is VERSION, the one the build gives the program.
# Usage: check_docs.sh PROGRAM PROTOCOL_HEADER MAN_PAGE README WINDOWS_README
#                      VERSION SOURCE...
set -eu
program=$1
header=$2
man_page=$3
readme=$4
windows_readme=$5
version=$6
shift 6

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

# The texts the product can print after "tarnpost: ": every string literal
# of its sources that reads as a sentence (a blank inside, a full stop at
# its end), adjacent literals joined as the compiler joins them, escapes
# undone, without the "tarnpost: " that main writes before some and the line
# end after some (a line end inside a text reads as a blank). Comments and
# character literals are skipped, so nothing has to be listed here by hand.
# The usage text's source is left to the check above, which holds it whole.
for source in "$@"; do
    shift
    case $source in
        *cli/usage.cpp) ;;
        *) set -- "$@" "$source" ;;
    esac
done
[ $# -gt 0 ] || fail "no product sources given"
awk '
    function flush(    text, k, ch) {
        text = ""
        for (k = 1; k <= length(pending); k++) {
            ch = substr(pending, k, 1)
            if (ch == "\\") {
                ch = substr(pending, ++k, 1)
                if (ch == "n") ch = "\n"
            }
            text = text ch
        }
        sub(/\n+$/, "", text)
        gsub(/\n/, " ", text)
        sub(/^tarnpost: /, "", text)
        if (text ~ / / && text ~ /\.$/) print text
        pending = ""
        joinable = 0
    }
    FNR == 1 { flush() }
    {
        n = length($0)
        i = 1
        while (i <= n) {
            c = substr($0, i, 1)
            if (inComment) {
                if (substr($0, i, 2) == "*/") { inComment = 0; i += 2 } else i++
                continue
            }
            if (substr($0, i, 2) == "//") break
            if (substr($0, i, 2) == "/*") { inComment = 1; i += 2; continue }
            if (c == "\"" || c == "\047") {
                j = i + 1
                while (j <= n && substr($0, j, 1) != c) j += substr($0, j, 1) == "\\" ? 2 : 1
                if (c == "\"") {
                    if (!joinable) flush()
                    pending = pending substr($0, i + 1, j - i - 1)
                    joinable = 1
                } else flush()
                i = j + 1
                continue
            }
            if (c != " " && c != "\t") flush()
            i++
        }
    }
    END { flush() }
' "$@" | sort -u >"$scratch/texts"
[ -s "$scratch/texts" ] || fail "found no texts in the product sources: $*"

# Texts that only the POSIX build can print, which the Windows README leaves
# out; each must still be one of the product's.
posix_only="A standard stream is closed and the null device cannot be opened in its place."
grep -qxF -- "$posix_only" "$scratch/texts" ||
    fail "the product no longer prints \"$posix_only\": take it off the POSIX-only list"

# A README as one line, its line breaks and runs of blanks made one blank,
# so that a text it wraps still reads as one.
flatten() {
    tr '\n' ' ' <"$1" | tr -s ' ' >"$2"
}
flatten "$readme" "$scratch/readme.flat"
flatten "$windows_readme" "$scratch/windows-readme.flat"
# The man page wide enough that groff breaks no text in two.
man_wide=$scratch/man-page-wide.txt
groff -man -Tascii -P-c -P-b -P-u -rLL=5000n "$man_page" >"$man_wide"

# Each conversion (%s, %u, %lu, ...) stands for one word that a document
# puts in its place (PATH, N, TARN, USERPROFILE); the rest must be there as
# it is. The READMEs give each text as the user sees it, after "tarnpost: ";
# the man page lists the texts alone, each at the start of a line.
while IFS= read -r text; do
    pattern=$(printf '%s\n' "$text" |
        sed -e 's/%[-+ #0-9.]*[hlz]*[diouxXcsp]/\x01/g' -e 's/[][\.^$*+?(){}|/]/\\&/g' \
            -e 's/\x01/[^ ]+/g')
    grep -qE -- "^ *$pattern" "$man_wide" ||
        fail "$man_page does not give the text \"$text\" word for word at a line's start"
    grep -qE -- "tarnpost: $pattern" "$scratch/readme.flat" ||
        fail "$readme does not give the line \"tarnpost: $text\" word for word"
    [ "$text" = "$posix_only" ] ||
        grep -qE -- "tarnpost: $pattern" "$scratch/windows-readme.flat" ||
        fail "$windows_readme does not give the line \"tarnpost: $text\" word for word"
done <"$scratch/texts"

# The version: the man page's header names it, and wherever a document names
# a version of tarnpost it is this one (the READMEs for Windows take theirs
# from the build).
header_version=$(sed -n 's/^\.TH .*"tarnpost \([^"]*\)".*$/\1/p' "$man_page")
[ "$header_version" = "$version" ] ||
    fail "$man_page names version ${header_version:-none} in its header, not $version"
for document in "$man_page" "$readme" "$windows_readme"; do
    other=$(grep -oE 'tarnpost[ -][0-9]+(\.[0-9]+)+' "$document" | grep -vxE "tarnpost[ -]$version" |
        head -n 1) || true
    [ -z "$other" ] || fail "$document names $other, not version $version"
done

echo "the man page and both READMEs quote the usage text, name what TARN expects,"
echo "give the program's $(wc -l <"$scratch/texts") texts and its version $version"
