# The Windows ZIP as a user gets it: cpack makes it, it is unpacked, and the
# unpacked tarnpost.exe runs under Wine and prints the usage text that the
# README.txt beside it quotes. The test kit's ZIP beside it holds the same
# tarnpost.exe (windows.kit.fresh-prefix runs the kit).
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

# The release and the test kit.
set(KIT ${PACKAGE}-tests)
file(GLOB zips RELATIVE ${SCRATCH}/package ${SCRATCH}/package/*.zip)
list(SORT zips)
if(NOT zips STREQUAL "${KIT}.zip;${PACKAGE}.zip")
    fail("expected ${PACKAGE}.zip and ${KIT}.zip, found: " "${zips}")
endif()

# Unpacks ZIP into SCRATCH/INTO, which must then hold one folder named as
# the ZIP with exactly the files EXPECTED.
function(unpack zip into expected)
    file(MAKE_DIRECTORY ${SCRATCH}/${into})
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E tar xf ${SCRATCH}/package/${zip}.zip
        WORKING_DIRECTORY ${SCRATCH}/${into}
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        fail("cannot unpack ${zip}.zip")
    endif()
    file(GLOB_RECURSE contents RELATIVE ${SCRATCH}/${into} ${SCRATCH}/${into}/*)
    list(SORT contents)
    list(TRANSFORM expected PREPEND ${zip}/)
    if(NOT contents STREQUAL expected)
        list(JOIN contents ", " contents)
        fail("unexpected contents of ${zip}.zip: " "${contents}")
    endif()
endfunction()

# One folder holding the program and its README, nothing else.
unpack(${PACKAGE} unpacked "README.txt;tarnpost.exe")
# The kit: the release's own program, what runs it, and how.
unpack(${KIT} kit "README-tests.txt;behaviour_test.exe;run-tests.cmd;tarn-receiver.exe;tarnpost.exe;wildcard_probe.exe")
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
    ${SCRATCH}/unpacked/${PACKAGE}/tarnpost.exe ${SCRATCH}/kit/${KIT}/tarnpost.exe
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    fail("the kit's tarnpost.exe is not the release's")
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
# Likewise the kit's README, and its script for cmd.exe.
require_crlf(${SCRATCH}/kit/${KIT}/README-tests.txt "README-tests.txt")
require_crlf(${SCRATCH}/kit/${KIT}/run-tests.cmd "run-tests.cmd")
file(READ ${SCRATCH}/kit/${KIT}/README-tests.txt kit_readme)
if(NOT kit_readme MATCHES "^tarnpost ${VERSION} test kit for Windows\n" OR kit_readme MATCHES "@")
    fail("README-tests.txt does not start with its title and version")
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
