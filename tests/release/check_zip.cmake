# The Windows ZIP as a user gets it: cpack makes it, it is unpacked, and the
# unpacked tarnpost.exe runs under Wine and prints the usage text that the
# README.txt beside it quotes.
# Usage: cmake -DCPACK=... -DBUILD_DIR=... -DSCRATCH=... -DPACKAGE=NAME
#              -DVERSION=... -DWINE_RUN=run.sh
#              -DWINE_PREFIX=... -DWINE_BITS=32|64 [-DWINE_SKIP_CODE=77]
#              -P check_zip.cmake
# When run.sh exits WINE_SKIP_CODE (Wine cannot run the program on this
# host), everything else has been checked: the script says why on a line
# "release.windows-zip: tarnpost.exe not run: REASON" and ends.

function(fail)
    string(JOIN "" text ${ARGN})
    message(FATAL_ERROR "${text}")
endfunction()

file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH}/package ${SCRATCH}/unpacked)

execute_process(
    COMMAND ${CPACK} -G ZIP -B ${SCRATCH}/package
    WORKING_DIRECTORY ${BUILD_DIR}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    fail("cpack failed:\n" "${output}")
endif()

file(GLOB zips ${SCRATCH}/package/*.zip)
if(NOT zips STREQUAL "${SCRATCH}/package/${PACKAGE}.zip")
    fail("expected one ZIP named ${PACKAGE}.zip, found: " "${zips}")
endif()

execute_process(
    COMMAND ${CMAKE_COMMAND} -E tar xf ${zips}
    WORKING_DIRECTORY ${SCRATCH}/unpacked
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    fail("cannot unpack ${zips}")
endif()

# One folder holding the program and its README, nothing else.
file(GLOB_RECURSE contents RELATIVE ${SCRATCH}/unpacked ${SCRATCH}/unpacked/*)
list(SORT contents)
if(NOT contents STREQUAL "${PACKAGE}/README.txt;${PACKAGE}/tarnpost.exe")
    list(JOIN contents ", " contents)
    fail("unexpected ZIP contents: " "${contents}")
endif()

# file(READ) drops carriage returns, so line ends are checked byte by byte:
# every CR (0d) must be followed by LF (0a), and every LF preceded.
function(require_crlf file what)
    file(READ ${file} hex HEX)
    string(REGEX REPLACE "(..)" " \\1" bytes "${hex}")
    string(REPLACE " 0d 0a" "" other "${bytes}")
    if(other MATCHES " 0[ad]" OR NOT bytes MATCHES " 0d 0a")
        fail("${what} has line ends other than CR LF")
    endif()
endfunction()

# The README is for Notepad: CR LF throughout, and its version filled in.
require_crlf(${SCRATCH}/unpacked/${PACKAGE}/README.txt "README.txt")
file(READ ${SCRATCH}/unpacked/${PACKAGE}/README.txt readme)
if(NOT readme MATCHES "^tarnpost ${VERSION} for Windows\n" OR readme MATCHES "@")
    fail("README.txt does not start with its title and version")
endif()

execute_process(
    COMMAND sh ${WINE_RUN} --prefix ${WINE_PREFIX} --bits ${WINE_BITS}
        ${SCRATCH}/unpacked/${PACKAGE}/tarnpost.exe
    OUTPUT_FILE ${SCRATCH}/stdout
    ERROR_FILE ${SCRATCH}/stderr
    RESULT_VARIABLE result)
file(READ ${SCRATCH}/stderr errors)
if(WINE_SKIP_CODE AND result EQUAL WINE_SKIP_CODE)
    file(REMOVE_RECURSE ${SCRATCH})
    string(STRIP "${errors}" errors)
    message(NOTICE "release.windows-zip: tarnpost.exe not run: ${errors}")
    return()
endif()
if(NOT result EQUAL 0)
    fail("the unpacked tarnpost.exe without an argument exited " "${result}" ": " "${errors}")
endif()
# The usage text, each line end written as CR LF by the Windows runtime, is
# the one README.txt quotes: its lines from "Syntax:" on that are indented
# by four blanks or empty, without the empty ones at the end.
require_crlf(${SCRATCH}/stdout "the usage text")
file(READ ${SCRATCH}/stdout printed)
string(REGEX REPLACE "([^\n]+)" "    \\1" printed "${printed}")
string(FIND "${readme}" "\n    Syntax:\n" start)
if(start EQUAL -1)
    fail("README.txt quotes no usage text")
endif()
math(EXPR start "${start} + 1")
string(SUBSTRING "${readme}" ${start} -1 quoted)
string(REGEX MATCH "^(    [^\n]*\n|\n)*" quoted "${quoted}")
string(REGEX REPLACE "\n\n+$" "\n" quoted "${quoted}")
if(NOT printed STREQUAL quoted)
    fail("the unpacked tarnpost.exe printed another usage text than README.txt quotes:\n"
        "${printed}" "README.txt:\n" "${quoted}")
endif()
if(NOT errors STREQUAL "")
    fail("the unpacked tarnpost.exe wrote to stderr: " "${errors}")
endif()

file(REMOVE_RECURSE ${SCRATCH})
message(STATUS "${PACKAGE}.zip unpacks to tarnpost.exe and README.txt; the program runs")
