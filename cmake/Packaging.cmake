# Install rules and the CPack ZIP of the Windows program.
#
# Natively, `cmake --install build/native --prefix DIR` gives DIR/bin/tarnpost
# and DIR/share/man/man1/tarnpost.1, the layout every Unix user expects.
#
# For Windows nobody runs an installer for one small command: `cpack` in a
# win32 or win64 build directory makes tarnpost-VERSION-win32.zip (or -win64)
# holding tarnpost.exe and README.txt side by side, to be copied anywhere,
# and SHA256SUMS beside it. Two builds of one commit give the same ZIP.
# Beside it, when the tests are built, the test kit
# tarnpost-VERSION-win32-tests.zip: the same tarnpost.exe with the behaviour
# tests, to run on any Windows with run-tests.cmd (cmake/TestKit.cmake).

include(GNUInstallDirs)

if(WIN32)
    install(TARGETS tarnpost RUNTIME DESTINATION . COMPONENT program)

    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(TARNPOST_WINDOWS_FLAVOUR win32)
        set(TARNPOST_WINDOWS_BITS 32)
    else()
        set(TARNPOST_WINDOWS_FLAVOUR win64)
        set(TARNPOST_WINDOWS_BITS 64)
    endif()

    # Notepad on older Windows shows a file with bare line feeds as one long
    # line, so the user's README gets CR LF line ends. It names the files of
    # its own ZIP, so each flavour gets its own.
    set(TARNPOST_WINDOWS_README ${PROJECT_BINARY_DIR}/README.txt)
    configure_file(${PROJECT_SOURCE_DIR}/docs/README-windows.txt ${TARNPOST_WINDOWS_README}
        @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${TARNPOST_WINDOWS_README} DESTINATION . COMPONENT program)

    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_NAME tarnpost)
    set(CPACK_PACKAGE_VENDOR "tarnpost")
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
    # Kept apart: include(CPack) leaves the source package's name in
    # CPACK_PACKAGE_FILE_NAME.
    set(TARNPOST_WINDOWS_PACKAGE tarnpost-${PROJECT_VERSION}-${TARNPOST_WINDOWS_FLAVOUR})
    set(CPACK_PACKAGE_FILE_NAME ${TARNPOST_WINDOWS_PACKAGE})
    # One ZIP for each component: the release ("program") and the test kit
    # ("tests"), whose install rules come with the tests.
    set(TARNPOST_KIT_PACKAGE ${TARNPOST_WINDOWS_PACKAGE}-tests)
    set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_GROUPING IGNORE)
    set(CPACK_COMPONENTS_ALL program)
    if(TARNPOST_BUILD_TESTS)
        list(APPEND CPACK_COMPONENTS_ALL tests)
    endif()
    set(CPACK_ARCHIVE_PROGRAM_FILE_NAME ${TARNPOST_WINDOWS_PACKAGE})
    set(CPACK_ARCHIVE_TESTS_FILE_NAME ${TARNPOST_KIT_PACKAGE})
    # One folder inside each ZIP, so unpacking never scatters files; the
    # post-build script names it after its ZIP.
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
    set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
    # The same bytes from every build of one commit, and SHA256SUMS beside.
    set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/ReproducibleZip.cmake)
    set(CPACK_TARNPOST_SOURCE_DIR ${PROJECT_SOURCE_DIR})
    include(CPack)
else()
    install(TARGETS tarnpost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/docs/tarnpost.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
