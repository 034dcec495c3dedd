# The test kit: the behaviour table as a Windows program with everything it
# runs beside it, packed by cpack as tarnpost-VERSION-win32-tests.zip (or
# -win64) next to the release ZIP (cmake/Packaging.cmake). Unpacked anywhere,
# run-tests.cmd runs every row on that machine; under Wine the build tree's
# tests run it the same way (tests/behaviour, tests/windows).

# The kit's programs are the same bytes from every build of one commit, like
# tarnpost.exe: no link time in the header, no debug information naming the
# build machine's directories.
foreach(target behaviour_test wildcard_probe tarn-receiver)
    target_compile_options(${target} PRIVATE
        -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
        -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
    target_link_options(${target} PRIVATE -s -Wl,--no-insert-timestamp)
endforeach()

# Notepad and cmd.exe both want CR LF line ends.
set(kit_readme ${PROJECT_BINARY_DIR}/README-tests.txt)
set(kit_script ${PROJECT_BINARY_DIR}/run-tests.cmd)
configure_file(${PROJECT_SOURCE_DIR}/docs/README-tests.txt ${kit_readme} @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/tests/windows/run-tests.cmd ${kit_script} @ONLY
    NEWLINE_STYLE CRLF)

# tarnpost.exe is the release's own file, installed a second time.
install(TARGETS tarnpost tarn-receiver behaviour_test wildcard_probe
    RUNTIME DESTINATION . COMPONENT tests)
install(FILES ${kit_script} ${kit_readme} DESTINATION . COMPONENT tests)
