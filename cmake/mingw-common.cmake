# Shared part of the MinGW-w64 toolchain files; TARNPOST_MINGW_TRIPLET names
# the target (i686-w64-mingw32 or x86_64-w64-mingw32).
set(CMAKE_C_COMPILER ${TARNPOST_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNPOST_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNPOST_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TARNPOST_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program of the build links the compiler's runtime in, so that each
# .exe runs on a bare Windows (and under Wine) without MinGW DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The Wine emulator that runs the built programs is set with the build's own
# prefix in cmake/WindowsProgram.cmake.
