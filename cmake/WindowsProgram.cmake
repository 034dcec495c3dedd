# Windows-only parts of the program: version resource, application manifest,
# a static runtime and a small executable.
enable_language(RC)

# Four-part version numbers for the resource and the manifest.
set(TARNPOST_FILE_VERSION_COMMAS
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
set(TARNPOST_FILE_VERSION_DOTS
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(TARNPOST_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/tarnpost.manifest)
configure_file(${PROJECT_SOURCE_DIR}/cli/tarnpost.manifest ${TARNPOST_MANIFEST} @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cli/tarnpost.rc.in
    ${CMAKE_CURRENT_BINARY_DIR}/tarnpost.rc @ONLY)
target_sources(tarnpost PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/tarnpost.rc)
set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/tarnpost.rc
    APPEND PROPERTY OBJECT_DEPENDS ${TARNPOST_MANIFEST})

# A console program that needs nothing beyond KERNEL32, USER32 and msvcrt:
# the toolchain links the compiler's runtime into every program of the build.
# Unused code is dropped and the symbols stripped, which keeps the i686
# program within 64 KiB. The linker would stamp the PE header with the time
# of the link (and so change its checksum); leaving the stamp at zero makes
# the program a function of its sources alone, the same from every build.
foreach(target tarnpost tarnpost_usage tarnpost_delivery tarnpost_platform)
    target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections)
endforeach()
target_link_options(tarnpost PRIVATE
    -mconsole -s -Wl,--gc-sections -Wl,--no-insert-timestamp)

# Every Windows program of the build (tests, stand-in Receiver, benchmark
# helpers) runs under Wine in this build's own prefix. The scripts are told
# whether the build's programs are 32- or 64-bit: a host that cannot execute
# 32-bit programs runs only the 64-bit ones, and the scripts then exit with
# 77 instead of starting a 32-bit one.
set(TARNPOST_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(TARNPOST_WINE_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/wine)
math(EXPR TARNPOST_WINE_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${TARNPOST_WINE_SCRIPTS}/run.sh --prefix ${TARNPOST_WINE_PREFIX} --bits ${TARNPOST_WINE_BITS})
set_property(TARGET tarnpost PROPERTY CROSSCOMPILING_EMULATOR ${CMAKE_CROSSCOMPILING_EMULATOR})
# CTest fixture that prepares the prefix before and ends it after every test
# that requires it (defined in tests/windows).
set(TARNPOST_WINE_FIXTURE WinePrefix)
# Only a 32-bit build can meet a host that cannot run its programs; there a
# test that runs one is skipped with the scripts' reason. CTest still runs
# the tests of a fixture whose setup was skipped, and each of them skips in
# turn. A 64-bit build has no such case, so no exit status of its programs
# is taken for a skip.
if(TARNPOST_WINE_BITS EQUAL 32)
    set(TARNPOST_WINE_SKIP_CODE 77)
    set(TARNPOST_WINE_SKIP_PROPERTIES SKIP_RETURN_CODE ${TARNPOST_WINE_SKIP_CODE})
else()
    set(TARNPOST_WINE_SKIP_CODE "")
    set(TARNPOST_WINE_SKIP_PROPERTIES)
endif()
