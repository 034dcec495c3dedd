# Builds the program alone twice, in two scratch build directories whose
# paths differ (in length too), one after the other, from the source
# directory under two names (the second through a symbolic link), and
# requires the same bytes: whoever rebuilds a release from its commit gets
# the program that was shipped. The second configure alone takes longer than
# a second, so a link time stamp would differ between the two.
# Usage: cmake -DSOURCE_DIR=... -DSCRATCH=... -DGENERATOR=... -DMAKE_PROGRAM=...
#              -DBUILD_TYPE=... -DWARNINGS_AS_ERRORS=ON|OFF -DPROGRAM=NAME
#              [-DTOOLCHAIN=FILE | -DCXX_COMPILER=...]
#              -P check_reproducible.cmake

function(fail)
    string(JOIN "" text ${ARGN})
    message(FATAL_ERROR "${text}")
endfunction()

# The link goes first, so that nothing could ever reach through it.
file(REMOVE ${SCRATCH}/source-by-another-name)
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH}/second-build-directory)
file(CREATE_LINK ${SOURCE_DIR} ${SCRATCH}/source-by-another-name SYMBOLIC)

set(options -G ${GENERATOR} -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DTARNPOST_WARNINGS_AS_ERRORS=${WARNINGS_AS_ERRORS}
    -DTARNPOST_BUILD_TESTS=OFF)
if(TOOLCHAIN)
    list(APPEND options -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
else()
    list(APPEND options -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
endif()

set(programs)
foreach(build IN ITEMS "${SOURCE_DIR}|${SCRATCH}/a"
        "${SCRATCH}/source-by-another-name|${SCRATCH}/second-build-directory/b")
    string(REPLACE "|" ";" build ${build})
    list(GET build 0 source)
    list(GET build 1 binary)
    execute_process(COMMAND ${CMAKE_COMMAND} -S ${source} -B ${binary} ${options}
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        fail("configuring ${binary} failed:\n" "${output}")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${binary} --target tarnpost --parallel 2
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        fail("building tarnpost in ${binary} failed:\n" "${output}")
    endif()
    list(APPEND programs ${binary}/${PROGRAM})
endforeach()

list(GET programs 0 first)
list(GET programs 1 second)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${first} ${second}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    fail("two builds of one source differ:\n  " "${first}\n  " "${second}\n"
        "(the scratch directory is kept to compare them)")
endif()

file(SHA256 ${first} hash)
file(REMOVE ${SCRATCH}/source-by-another-name)
file(REMOVE_RECURSE ${SCRATCH})
message(STATUS "two builds of ${PROGRAM} are the same bytes, SHA-256 ${hash}")
