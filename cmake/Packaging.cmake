# Install rules and the CPack ZIP of the Windows program.
#
# Natively, `cmake --install build/native --prefix DIR` gives DIR/bin/tarnpost
# and DIR/share/man/man1/tarnpost.1, the layout every Unix user expects.
#
# For Windows nobody runs an installer for one small command: `cpack` in a
# win32 or win64 build directory makes tarnpost-VERSION-win32.zip (or -win64)
# holding tarnpost.exe and README.txt side by side, to be copied anywhere,
# and SHA256SUMS beside it. Two builds of one commit give the same ZIP.

include(GNUInstallDirs)

if(WIN32)
    install(TARGETS tarnpost RUNTIME DESTINATION .)

    # Notepad on older Windows shows a file with bare line feeds as one long
    # line, so the user's README gets CR LF line ends.
    set(TARNPOST_WINDOWS_README ${PROJECT_BINARY_DIR}/README.txt)
    configure_file(${PROJECT_SOURCE_DIR}/docs/README-windows.txt ${TARNPOST_WINDOWS_README}
        @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${TARNPOST_WINDOWS_README} DESTINATION .)

    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(TARNPOST_WINDOWS_FLAVOUR win32)
    else()
        set(TARNPOST_WINDOWS_FLAVOUR win64)
    endif()

    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_NAME tarnpost)
    set(CPACK_PACKAGE_VENDOR "tarnpost")
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
    # Kept apart: include(CPack) leaves the source package's name in
    # CPACK_PACKAGE_FILE_NAME.
    set(TARNPOST_WINDOWS_PACKAGE tarnpost-${PROJECT_VERSION}-${TARNPOST_WINDOWS_FLAVOUR})
    set(CPACK_PACKAGE_FILE_NAME ${TARNPOST_WINDOWS_PACKAGE})
    # One folder inside the ZIP, so unpacking never scatters files.
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
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
