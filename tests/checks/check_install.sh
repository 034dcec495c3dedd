#!/bin/sh
# Installs the build into a scratch prefix and uses what was installed: the
# command prints the usage text its documents quote, delivers a message,
# needs no shared library but the C library, and the man page sits where man
# looks for it. Nothing else may be installed.
# Usage: check_install.sh CMAKE BUILD_DIR SCRATCH_DIR SOURCE_DIR VERSION SOURCE...
# (VERSION and the product's SOURCEs as check_docs.sh takes them)
set -eu
cmake=$1
build=$2
scratch=$3
source=$4
shift 4
man_page=$source/docs/tarnpost.1

fail() {
    echo "$*" >&2
    exit 1
}

rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
    fail "cmake --install failed: $(cat "$scratch/install.log")"

installed=$(cd "$prefix" && find . -type f -o -type l | sort | tr '\n' ' ')
[ "$installed" = "./bin/tarnpost ./share/man/man1/tarnpost.1 " ] ||
    fail "installed files are not the command and its man page: $installed"
[ -x "$prefix/bin/tarnpost" ] || fail "bin/tarnpost is not executable"
cmp -s "$prefix/share/man/man1/tarnpost.1" "$man_page" ||
    fail "the installed man page differs from $man_page"

# The command runs wherever the C library does. A build with sanitizers
# needs their runtimes too, and is not held to this.
cache_value() {
    sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"
}
case $(cache_value TARNPOST_SANITIZE | tr '[:lower:]' '[:upper:]') in
    ON | YES | TRUE | Y | 1) ;;
    *)
        readelf=$(cache_value CMAKE_READELF)
        dynamic=$("${readelf:-readelf}" -d "$prefix/bin/tarnpost") ||
            fail "cannot read the dynamic section of bin/tarnpost"
        needed=$(echo "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | tr '\n' ' ')
        [ "$needed" = "libc.so.6 " ] ||
            fail "bin/tarnpost needs the shared libraries ${needed% }, not the C library alone"
        ;;
esac

# No argument: the usage text that the documents quote on stdout, nothing
# on stderr, status 0; the installed man page gives every text and the
# version, as check_docs.sh requires of the one in the source.
sh "$(dirname "$0")/check_docs.sh" "$prefix/bin/tarnpost" "$source/delivery/receiver_protocol.h" \
    "$prefix/share/man/man1/tarnpost.1" "$source/README.md" "$source/docs/README-windows.txt" \
    "$@" >/dev/null || fail "the installed command and man page do not agree with the documents"

# A delivery with no Receiver listening: the file is written all the same,
# and the failure is the one documented line.
mkdir -m 700 "$scratch/profile" "$scratch/runtime"
status=0
USERPROFILE=$scratch/profile XDG_RUNTIME_DIR=$scratch/runtime \
    "$prefix/bin/tarnpost" 'installed
copy' >"$scratch/stdout" 2>"$scratch/stderr" || status=$?
[ "$status" -eq 1 ] || fail "delivery without a Receiver exited $status, not 1"
[ ! -s "$scratch/stdout" ] || fail "a delivery wrote to stdout"
printf 'tarnpost: Program TARN not running (or an old version).\n' >"$scratch/want-stderr"
cmp -s "$scratch/stderr" "$scratch/want-stderr" ||
    fail "unexpected error line: $(cat "$scratch/stderr")"
printf 'installed\r\ncopy\r\n' >"$scratch/want-file"
cmp -s "$scratch/profile/TARN_Message.txt" "$scratch/want-file" ||
    fail "the message file does not hold the message with CR LF line ends"

rm -rf "$scratch"
echo "installed bin/tarnpost and share/man/man1/tarnpost.1 work"
