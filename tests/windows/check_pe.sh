#!/bin/sh
# Usage: check_pe.sh OBJDUMP WINDRES PROGRAM.exe FORMAT VERSION DESCRIPTION
# Checks, on the build host, what Windows will see of tarnpost.exe: the
# machine (FORMAT: pei-i386 or pei-x86-64), a console program, an import
# list of exactly KERNEL32.dll, USER32.dll and msvcrt.dll, the version
# resource, a manifest that runs it asInvoker in the ANSI code page, and
# for the 32-bit program, the one users install, a size of at most 64 KiB.
set -u
objdump=$1 windres=$2 program=$3 format=$4 version=$5 description=$6
failures=0

fail() {
    echo "check_pe: $program: $*" >&2
    failures=$((failures + 1))
}

headers=$("$objdump" -f -p "$program") || { echo "check_pe: cannot read $program" >&2; exit 1; }

echo "$headers" | grep -q "file format $format\$" || fail "not of format $format"
case $format in
    pei-i386) magic=010b architecture=i386 limit=65536 ;;
    pei-x86-64) magic=020b architecture=i386:x86-64 limit= ;;
    *) fail "unknown format $format"; magic=none architecture=none limit= ;;
esac
size=$(wc -c <"$program")
[ -z "$limit" ] || [ "$size" -le "$limit" ] || fail "$size bytes, more than $limit (64 KiB)"
echo "$headers" | grep -q "^architecture: $architecture," || fail "machine is not $architecture"
echo "$headers" | grep -Eq "^Magic[[:space:]]+$magic" || fail "optional header magic is not $magic"
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+00000003' || fail "not a console (CUI) program"

imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -f | tr '\n' ' ')
[ "$imports" = "KERNEL32.dll msvcrt.dll USER32.dll " ] ||
    fail "imports '$imports' instead of exactly KERNEL32.dll, msvcrt.dll, USER32.dll"

resources=$("$windres" -i "$program" -O rc 2>/dev/null) || fail "no resources"
expect_resource() {
    echo "$resources" | grep -Fq "$1" || fail "resource lacks: $1"
}
major_minor_patch=$(echo "$version" | tr '.' ' ')
set -- $major_minor_patch
expect_resource "FILEVERSION $1, $2, $3, 0"
expect_resource "PRODUCTVERSION $1, $2, $3, 0"
expect_resource "VALUE \"ProductName\", \"tarnpost\""
expect_resource "VALUE \"FileDescription\", \"$description\""
expect_resource "VALUE \"FileVersion\", \"$version\""
expect_resource "VALUE \"ProductVersion\", \"$version\""
expect_resource "1 24 /* RT_MANIFEST */"
expect_resource "requestedExecutionLevel level=\"\"asInvoker\"\""
if echo "$resources" | grep -qi 'activeCodePage'; then
    fail "the manifest must not choose an active code page"
fi

[ $failures -eq 0 ] || exit 1
echo "check_pe: $program: $format console program of $size bytes, imports $imports, version $version, asInvoker"
