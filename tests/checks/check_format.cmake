# Every C++ source of the repository is formatted with the committed
# .clang-format. The files are listed when the test runs, so a new file is
# checked without reconfiguring.
# Usage: cmake -DCLANG_FORMAT=... -DSOURCE_DIR=... -P check_format.cmake
set(patterns)
foreach(dir cli delivery platform tools tests bench)
    foreach(ext cpp cc h hpp)
        list(APPEND patterns ${SOURCE_DIR}/${dir}/*.${ext})
    endforeach()
endforeach()
file(GLOB_RECURSE sources LIST_DIRECTORIES false ${patterns})
list(SORT sources)
list(LENGTH sources count)
if(count EQUAL 0)
    message(FATAL_ERROR "no C++ sources found under ${SOURCE_DIR}")
endif()

execute_process(
    COMMAND ${CLANG_FORMAT} --style=file --dry-run -Werror ${sources}
    WORKING_DIRECTORY ${SOURCE_DIR}
    RESULT_VARIABLE result
    ERROR_VARIABLE findings)
if(NOT result EQUAL 0)
    # The findings first, then which files they are in, so a long list of
    # places still ends with the files to run clang-format -i on.
    message("${findings}")
    string(REGEX MATCHALL "[^\n]+:[0-9]+:[0-9]+: error" places "${findings}")
    set(unformatted)
    foreach(place IN LISTS places)
        string(REGEX REPLACE ":[0-9]+:[0-9]+: error$" "" file "${place}")
        list(APPEND unformatted ${file})
    endforeach()
    list(REMOVE_DUPLICATES unformatted)
    list(JOIN unformatted "\n  " unformatted)
    message(FATAL_ERROR "not formatted (fix with clang-format -i FILE):\n  ${unformatted}")
endif()
message(STATUS "clang-format: ${count} files formatted")
