# Cross-compiling for 64-bit Windows with the posix thread-model mingw-w64 compilers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUORVIA_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${QUORVIA_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVIA_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${QUORVIA_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVIA_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Test programs run under 64-bit Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
