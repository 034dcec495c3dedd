# The Windows ZIPs, the release and the test kit, are the same bytes however
# and whenever they are packed: cpack runs twice, at least two seconds apart,
# in two time zones and under two umasks, with one SOURCE_DATE_EPOCH, and the
# ZIPs must match. Every entry, in sorted order, carries that time; without
# SOURCE_DATE_EPOCH it carries the commit's. SHA256SUMS beside the ZIPs names
# both and passes sha256sum -c.
# Usage: cmake -DCPACK=... -DBUILD_DIR=... -DSCRATCH=... -DPACKAGE=NAME
#              -DSOURCE_DIR=... -P check_zip_reproducible.cmake

function(fail)
    string(JOIN "" text ${ARGN})
    message(FATAL_ERROR "${text}")
endfunction()

# Packs into SCRATCH/NAME with the given environment settings and umask.
function(pack name umask)
    execute_process(
        COMMAND sh -c "umask ${umask} && exec \"$0\" \"$@\"" ${CMAKE_COMMAND} -E env ${ARGN}
            ${CPACK} -G ZIP -B ${SCRATCH}/${name}
        WORKING_DIRECTORY ${BUILD_DIR}
        RESULT_VARIABLE result
        OUTPUT_VARIABLE output
        ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        fail("cpack (${name}) failed:\n" "${output}")
    endif()
endfunction()

# Every entry of SCRATCH/NAME's ZIP, unpacked where ZIP times are UTC, must
# bear TIME (seconds since 1970), and the entries come in sorted order.
# The release ZIP and the test kit's, and what each holds in sorted order.
set(KIT ${PACKAGE}-tests)
set(zips ${PACKAGE} ${KIT})
set(${PACKAGE}_entries README.txt tarnpost.exe)
set(${KIT}_entries README-tests.txt behaviour_test.exe run-tests.cmd tarn-receiver.exe
    tarnpost.exe wildcard_probe.exe)

function(expect_entries name time)
    foreach(package IN LISTS zips)
        expect_zip_entries(${name} ${package} ${time})
    endforeach()
endfunction()

function(expect_zip_entries name package time)
    set(zip ${SCRATCH}/${name}/${package}.zip)
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip}
        RESULT_VARIABLE result OUTPUT_VARIABLE listed)
    set(entries ${${package}_entries})
    list(TRANSFORM entries PREPEND ${package}/)
    list(TRANSFORM entries APPEND "\n")
    string(JOIN "" expected ${entries})
    if(NOT result EQUAL 0 OR NOT listed STREQUAL expected)
        fail("${zip} lists, in this order:\n" "${listed}")
    endif()
    set(unpacked ${SCRATCH}/${name}/unpacked)
    file(MAKE_DIRECTORY ${unpacked})
    execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC0 ${CMAKE_COMMAND} -E tar xf ${zip}
        WORKING_DIRECTORY ${unpacked} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        fail("cannot unpack ${zip}")
    endif()
    foreach(entry IN LISTS ${package}_entries)
        file(TIMESTAMP ${unpacked}/${package}/${entry} stamp "%s" UTC)
        if(NOT stamp STREQUAL time)
            fail("${zip}: ${entry} is dated ${stamp}, not ${time}")
        endif()
    endforeach()
endfunction()

# One line for each ZIP, in sorted order, and sha256sum agrees with them.
function(expect_sums name)
    set(directory ${SCRATCH}/${name})
    file(STRINGS ${directory}/SHA256SUMS lines)
    if(NOT lines MATCHES "^[0-9a-f]+  ${KIT}\\.zip;[0-9a-f]+  ${PACKAGE}\\.zip$")
        fail("${directory}/SHA256SUMS does not name the two ZIPs alone:\n" "${lines}")
    endif()
    execute_process(COMMAND sha256sum -c SHA256SUMS
        WORKING_DIRECTORY ${directory}
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        fail("sha256sum -c SHA256SUMS in ${directory} failed:\n" "${output}")
    endif()
endfunction()

file(REMOVE_RECURSE ${SCRATCH})
string(TIMESTAMP started "%s" UTC)
set(epoch 1700000000)

pack(utc 022 SOURCE_DATE_EPOCH=${epoch} TZ=UTC0)
expect_entries(utc ${epoch})
expect_sums(utc)

# Without SOURCE_DATE_EPOCH: the commit's time, rounded down to the ZIP's
# two-second step; 1980-01-01 outside a git checkout.
set(commit_time 315532800)
file(REAL_PATH ${SOURCE_DIR} source)
execute_process(COMMAND git -C ${source} rev-parse --show-toplevel
    RESULT_VARIABLE result OUTPUT_VARIABLE top ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
if(result EQUAL 0 AND top STREQUAL source)
    execute_process(COMMAND git -C ${source} log -1 --format=%ct
        OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE)
    math(EXPR commit_time "${commit_time} - ${commit_time} % 2")
endif()
pack(commit 022 --unset=SOURCE_DATE_EPOCH TZ=UTC0)
expect_entries(commit ${commit_time})

# The second packing of the same files starts at least two seconds (one ZIP
# time step) after the first, east of UTC, with a umask of 077.
string(TIMESTAMP now "%s" UTC)
math(EXPR wait "${started} + 3 - ${now}")
if(wait GREATER 0)
    execute_process(COMMAND ${CMAKE_COMMAND} -E sleep ${wait})
endif()
pack(elsewhere 077 SOURCE_DATE_EPOCH=${epoch} "TZ=<+0545>-5:45")
expect_sums(elsewhere)

foreach(package IN LISTS zips)
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
        ${SCRATCH}/utc/${package}.zip ${SCRATCH}/elsewhere/${package}.zip
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        fail("two packings of one build differ:\n  " "${SCRATCH}/utc/${package}.zip\n  "
            "${SCRATCH}/elsewhere/${package}.zip\n(the scratch directory is kept to compare them)")
    endif()
endforeach()

file(REMOVE_RECURSE ${SCRATCH})
message(STATUS "${PACKAGE}.zip is the same from two packings, dated by SOURCE_DATE_EPOCH or the commit")
