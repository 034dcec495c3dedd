# CPack's post-build script for the Windows ZIPs (the release and the test
# kit): rewrites each package so that two builds of one commit give the same
# bytes, then writes SHA256SUMS for all of them beside them in the final
# package directory.
#
# CPack's own ZIP records each file's access and change times, its owner's
# uid and gid, its modification time unless SOURCE_DATE_EPOCH is set, and
# the time zone of the machine. The ZIP written
# here holds the same files under the same names, sorted, with only what a
# Windows user needs: the path, the contents, Unix permissions of 644 (755 for
# programs) and one time for every entry, taken from the commit:
#
# - SOURCE_DATE_EPOCH when set (seconds since 1970, UTC);
# - else the committer date of HEAD when the source directory is the top of a
#   git checkout;
# - else 1980-01-01 00:00:00 UTC, the earliest time a ZIP can hold, so a
#   source tree without git still packs the same every time.
#
# ZIP times have two-second steps in the time zone of the unpacking machine;
# the time is rounded down to an even second and written as UTC.
#
# CPack runs this with CPACK_PACKAGE_FILES naming the packages it made in its
# scratch directory; it copies them to CPACK_PACKAGE_DIRECTORY afterwards.
# CPACK_TARNPOST_SOURCE_DIR names the source directory.

set(earliest_zip_time 315532800)

# CPack copies its packages out even after this script failed: removing them
# first leaves no ZIP that differs from build to build.
function(fail)
    string(JOIN "" text ${ARGN})
    file(REMOVE ${CPACK_PACKAGE_FILES})
    message(FATAL_ERROR "${text}")
endfunction()

function(commit_time source_dir out_time out_origin)
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
            fail("SOURCE_DATE_EPOCH is not a number of seconds: '$ENV{SOURCE_DATE_EPOCH}'")
        endif()
        set(${out_time} "$ENV{SOURCE_DATE_EPOCH}" PARENT_SCOPE)
        set(${out_origin} "SOURCE_DATE_EPOCH" PARENT_SCOPE)
        return()
    endif()
    find_program(git NAMES git)
    if(git)
        # Only the checkout that is this source tree counts, not one that
        # happens to hold an unpacked source archive.
        execute_process(COMMAND ${git} -C ${source_dir} rev-parse --show-toplevel
            RESULT_VARIABLE result OUTPUT_VARIABLE top ERROR_QUIET
            OUTPUT_STRIP_TRAILING_WHITESPACE)
        file(REAL_PATH "${source_dir}" source_dir)
        if(result EQUAL 0 AND top STREQUAL source_dir)
            execute_process(COMMAND ${git} -C ${source_dir} log -1 --format=%ct
                RESULT_VARIABLE result OUTPUT_VARIABLE time ERROR_VARIABLE errors
                OUTPUT_STRIP_TRAILING_WHITESPACE)
            if(NOT result EQUAL 0 OR NOT time MATCHES "^[0-9]+$")
                fail("cannot read the commit's date with git: " "${errors}")
            endif()
            set(${out_time} ${time} PARENT_SCOPE)
            set(${out_origin} "the commit" PARENT_SCOPE)
            return()
        endif()
    endif()
    set(${out_time} ${earliest_zip_time} PARENT_SCOPE)
    set(${out_origin} "no commit: not a git checkout" PARENT_SCOPE)
endfunction()

function(rezip package time)
    find_program(zip NAMES zip)
    if(NOT zip)
        fail("packing ${package} needs Info-ZIP's zip "
            "(Debian package zip; bash .ci/install-deps windows installs it)")
    endif()

    # The files exactly as CPack packed them, unpacked afresh.
    get_filename_component(name ${package} NAME)
    set(work ${CPACK_TOPLEVEL_DIRECTORY}/reproducible)
    set(tree ${work}/tree)
    file(REMOVE_RECURSE ${work})
    file(MAKE_DIRECTORY ${tree})
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${package}
        WORKING_DIRECTORY ${tree} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        fail("cannot unpack ${package}")
    endif()
    # CPack names the one folder of every component's ZIP after the release;
    # each ZIP's own name keeps the release and the test kit apart when both
    # are unpacked in one place.
    get_filename_component(stem ${package} NAME_WLE)
    file(GLOB top RELATIVE ${tree} ${tree}/*)
    list(LENGTH top count)
    if(NOT count EQUAL 1 OR NOT IS_DIRECTORY ${tree}/${top})
        fail("${package} holds more than one folder at its top: " "${top}")
    endif()
    if(NOT top STREQUAL stem)
        file(RENAME ${tree}/${top} ${tree}/${stem})
    endif()
    file(GLOB_RECURSE entries LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/*)
    list(SORT entries)

    foreach(entry IN LISTS entries)
        set(permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
        if(entry MATCHES "\\.(exe|dll|bat|cmd)$")
            list(APPEND permissions OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)
        endif()
        file(CHMOD ${tree}/${entry} PERMISSIONS ${permissions})
    endforeach()
    execute_process(COMMAND touch -d @${time} -- ${entries}
        WORKING_DIRECTORY ${tree} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        fail("cannot set the times of the files in ${package}")
    endif()

    # -X leaves out the uid, gid and extra times, -D directory entries, -nw
    # wildcard matching; TZ=UTC0 turns the time into the same ZIP time on
    # every machine; ZIP and ZIPOPT would add options of the user's.
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env --unset=ZIP --unset=ZIPOPT TZ=UTC0
            ${zip} -q -X -D -nw ${work}/${name} ${entries}
        WORKING_DIRECTORY ${tree}
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        fail("zip failed for ${package}:\n" "${output}")
    endif()
    file(RENAME ${work}/${name} ${package})
    file(REMOVE_RECURSE ${work})
endfunction()

commit_time(${CPACK_TARNPOST_SOURCE_DIR} time origin)
if(time LESS earliest_zip_time)
    set(time ${earliest_zip_time})
endif()
math(EXPR time "${time} - ${time} % 2")
set(ENV{SOURCE_DATE_EPOCH} ${time})
string(TIMESTAMP stamp "%Y-%m-%d %H:%M:%S UTC" UTC)
message(STATUS "ZIP entries dated ${stamp} (${origin})")

set(sums "")
set(packages ${CPACK_PACKAGE_FILES})
list(SORT packages)  # one order of lines in SHA256SUMS
foreach(package IN LISTS packages)
    if(package MATCHES "\\.zip$")
        rezip(${package} ${time})
        file(SHA256 ${package} hash)
        get_filename_component(name ${package} NAME)
        string(APPEND sums "${hash}  ${name}\n")
    endif()
endforeach()
# In the format sha256sum -c reads, beside the ZIP once CPack has copied it.
if(NOT sums STREQUAL "")
    file(WRITE ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS "${sums}")
endif()
