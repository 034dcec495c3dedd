# Packs the release and the test kit with cpack and unpacks the kit, as a
# user would, for the build tree's runs of the behaviour table.
# Usage: cmake -DCPACK=... -DBUILD_DIR=... -DPACKAGE_DIR=... -DKIT=NAME
#              -DUNPACKED=DIR -P unpack_kit.cmake

file(REMOVE_RECURSE ${PACKAGE_DIR} ${UNPACKED})
file(MAKE_DIRECTORY ${PACKAGE_DIR})
execute_process(
    COMMAND ${CPACK} -G ZIP -B ${PACKAGE_DIR}
    WORKING_DIRECTORY ${BUILD_DIR}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cpack failed:\n${output}")
endif()
get_filename_component(parent ${UNPACKED} DIRECTORY)
file(MAKE_DIRECTORY ${parent})
execute_process(
    COMMAND ${CMAKE_COMMAND} -E tar xf ${PACKAGE_DIR}/${KIT}.zip
    WORKING_DIRECTORY ${parent}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT EXISTS ${UNPACKED}/run-tests.cmd)
    message(FATAL_ERROR "cannot unpack ${PACKAGE_DIR}/${KIT}.zip into ${UNPACKED}")
endif()
message(STATUS "${KIT}.zip unpacked into ${UNPACKED}")
